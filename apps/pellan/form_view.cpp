#include "form_view.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "control_map.h"
#include "ui/view_sink.h"

namespace pellan::gui {

namespace {

struct Warning {
    int id;
    const char* text;
};

// In the order the form shows them.
constexpr Warning kWarnings[] = {
    {1222,
     "Do not switch off your computer or start any other applications until the update is "
     "complete."},
    {1223,
     "The update will fail if your computer goes to sleep, standby or hibernates during the "
     "update. "},
    {1224, "Make sure the stick is connected to mains power."},
    {1226, "Do not insert or remove any USB devices until the update is complete."},
    {1227, "In Windows 7 or Vista please right click the tool and select 'Run as administrator'."},
    {1225, "Do not use a USB hub. Please connect directly to the PC."},
};

QLabel* Text(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* Caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QStringLiteral("color: #4a5560;"));
    return label;
}

QLabel* Value(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setStyleSheet(QStringLiteral("font-weight: 600; color: #1d2733;"));
    label->setMinimumWidth(190);
    return label;
}

}  // namespace

FormView::FormView(ControlMap& controls, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("form"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(14, 12, 14, 12);
    outer->setSpacing(10);

    // Instructions and warnings on a light sheet.
    auto* sheet = new QFrame(this);
    sheet->setObjectName(QStringLiteral("instructions"));
    sheet->setStyleSheet(
        QStringLiteral("QFrame#instructions { background: #ffffff; border: 1px solid #c9d1d9;"
                       " border-radius: 4px; }"));
    auto* text = new QVBoxLayout(sheet);
    text->setContentsMargins(14, 10, 14, 10);
    text->setSpacing(3);
    text->addWidget(
        Text(QStringLiteral("This upgrade tool is compatible with Windows XP (SP2/SP3), "
                            "Windows Vista (SP1/SP2) and Windows7 SP1."),
             sheet));
    text->addSpacing(4);
    QLabel* follow = Text(QStringLiteral("Follow these steps to update your USB stick:"), sheet);
    follow->setStyleSheet(QStringLiteral("font-weight: 600;"));
    text->addWidget(follow);
    for (const char* step :
         {"1.Remove your SIM card and T-Flash card from the stick then insert the stick into the "
          "PC.",
          "2.Wait until the tool detects your stick and display the current port and version.",
          "3.After the \"Update\" button becomes available, click it to start the update."}) {
        QLabel* label = Text(QString::fromUtf8(step), sheet);
        label->setContentsMargins(10, 0, 0, 0);
        text->addWidget(label);
    }
    text->addSpacing(6);
    for (const Warning& warning : kWarnings) {
        QLabel* label = Text(QString::fromUtf8(warning.text), sheet);
        label->setObjectName(QStringLiteral("warning%1").arg(warning.id));
        // RGB(255, 40, 0) on the sheet's own background.
        label->setStyleSheet(QStringLiteral("color: rgb(255, 40, 0); background: transparent;"));
        controls.Add(warning.id, label);
        text->addWidget(label);
    }
    text->addSpacing(6);
    text->addWidget(Text(
        QStringLiteral("The update should take approximately 10 minutes to complete."), sheet));
    outer->addWidget(sheet);

    // Line 1: versions and port.
    auto* info = new QGridLayout();
    info->setHorizontalSpacing(10);
    info->setVerticalSpacing(6);
    info->setContentsMargins(4, 2, 4, 0);
    QLabel* current = Value(QStringLiteral("No phone"), this);
    controls.Add(ctl::kCurrentVersion, current);
    QLabel* port = Value(QStringLiteral("NULL"), this);
    controls.Add(ctl::kPortInformation, port);
    info->addWidget(Caption(QStringLiteral("Current version:"), this), 0, 0);
    info->addWidget(current, 0, 1);
    info->addWidget(Caption(QStringLiteral("Port Information:"), this), 0, 3);
    info->addWidget(port, 0, 4);
    info->addWidget(Caption(QStringLiteral("Update version:"), this), 1, 0);
    info->addWidget(Value(QString::fromLatin1(kUpdateVersion), this), 1, 1);
    info->setColumnStretch(2, 1);
    info->setColumnMinimumWidth(4, 80);
    outer->addLayout(info);

    // Status line, progress and UPDATE.
    auto* status = new QLabel(QStringLiteral("Searching..."), this);
    status->setObjectName(QStringLiteral("statusLine"));
    status->setTextFormat(Qt::PlainText);
    status->setStyleSheet(QStringLiteral(
        "QLabel#statusLine { background: #eef2f6; border: 1px solid #d5dce3; border-radius: 3px;"
        " padding: 4px 8px; color: #1d2733; }"));
    status->setMinimumHeight(26);
    controls.Add(ctl::kStatusLine, status);
    outer->addWidget(status);

    auto* bottom = new QHBoxLayout();
    bottom->setSpacing(10);
    bottom->addWidget(Caption(QStringLiteral("Progress: "), this));
    auto* progressText = new QLabel(QStringLiteral("0/100"), this);
    progressText->setMinimumWidth(52);
    progressText->setStyleSheet(QStringLiteral("font-weight: 600;"));
    controls.Add(ctl::kProgressText, progressText);
    bottom->addWidget(progressText);
    auto* bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setFixedHeight(20);
    controls.Add(ctl::kProgressBar, bar);
    bottom->addWidget(bar, 1);
    m_update = new QPushButton(QStringLiteral("UPDATE"), this);
    m_update->setObjectName(QStringLiteral("update"));
    m_update->setEnabled(false);
    m_update->setMinimumSize(112, 32);
    m_update->setDefault(true);
    m_update->setStyleSheet(QStringLiteral(
        "QPushButton#update { font-weight: 700; letter-spacing: 1px; color: white;"
        " background: #1e6fd9; border: 1px solid #1658ad; border-radius: 4px; padding: 4px 18px; }"
        "QPushButton#update:hover { background: #2b7de6; }"
        "QPushButton#update:pressed { background: #1658ad; }"
        "QPushButton#update:disabled { color: #eef2f6; background: #a9b7c6;"
        " border-color: #98a6b5; }"));
    controls.Add(ctl::kStartButton, m_update);
    bottom->addWidget(m_update);
    outer->addLayout(bottom);

    connect(m_update, &QPushButton::clicked, this, &FormView::updateClicked);
}

}  // namespace pellan::gui
