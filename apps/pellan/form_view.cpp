#include "form_view.h"

#include <QCoreApplication>
#include <QEvent>
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

constexpr const char* kContext = "pellan::gui::FormView";

// What the program needs from the machine: Windows versions and the administrator's right where
// the described program ran; on other systems the stick's serial drivers and the dialout group.
#ifdef _WIN32
constexpr const char* kCompatibility = QT_TRANSLATE_NOOP(
    "pellan::gui::FormView",
    "This upgrade tool is compatible with Windows XP (SP2/SP3), Windows Vista (SP1/SP2) and "
    "Windows7 SP1.");
constexpr const char* kAdministrator = QT_TRANSLATE_NOOP(
    "pellan::gui::FormView",
    "In Windows 7 or Vista please right click the tool and select 'Run as administrator'.");
#else
constexpr const char* kCompatibility = QT_TRANSLATE_NOOP(
    "pellan::gui::FormView",
    "This upgrade tool is compatible with Linux, with the kernel's USB serial drivers "
    "(usb-serial/option or cdc-acm) for the stick's ports.");
constexpr const char* kAdministrator =
    QT_TRANSLATE_NOOP("pellan::gui::FormView",
                      "On Linux your user must be in the dialout group to use the stick's ports "
                      "(sudo adduser $USER dialout, then log in again).");
#endif

struct Warning {
    int id;
    const char* text;
};

// In the order the form shows them.
constexpr Warning kWarnings[] = {
    {1222, QT_TRANSLATE_NOOP("pellan::gui::FormView",
                             "Do not switch off your computer or start any other applications "
                             "until the update is complete.")},
    {1223, QT_TRANSLATE_NOOP("pellan::gui::FormView",
                             "The update will fail if your computer goes to sleep, standby or "
                             "hibernates during the update. ")},
    {1224, QT_TRANSLATE_NOOP("pellan::gui::FormView",
                             "Make sure the stick is connected to mains power.")},
    {1226, QT_TRANSLATE_NOOP("pellan::gui::FormView",
                             "Do not insert or remove any USB devices until the update is "
                             "complete.")},
    {1227, kAdministrator},
    {1225, QT_TRANSLATE_NOOP("pellan::gui::FormView",
                             "Do not use a USB hub. Please connect directly to the PC.")},
};

constexpr const char* kSteps[] = {
    QT_TRANSLATE_NOOP("pellan::gui::FormView",
                      "1.Remove your SIM card and T-Flash card from the stick then insert the "
                      "stick into the PC."),
    QT_TRANSLATE_NOOP("pellan::gui::FormView",
                      "2.Wait until the tool detects your stick and display the current port "
                      "and version."),
    QT_TRANSLATE_NOOP("pellan::gui::FormView",
                      "3.After the \"Update\" button becomes available, click it to start the "
                      "update."),
};

QLabel* Value(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setStyleSheet(QStringLiteral("font-weight: 600; color: #1d2733;"));
    label->setMinimumWidth(190);
    label->setProperty(kValueProperty, true);
    return label;
}

}  // namespace

QLabel* FormView::Text(const char* source, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    m_captions.Add(
        [label, source] { label->setText(QCoreApplication::translate(kContext, source)); });
    return label;
}

QLabel* FormView::Caption(const char* source) {
    QLabel* label = Text(source, this);
    label->setWordWrap(false);
    label->setStyleSheet(QStringLiteral("color: #4a5560;"));
    return label;
}

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
    text->addWidget(Text(kCompatibility, sheet));
    text->addSpacing(4);
    QLabel* follow = Text(QT_TR_NOOP("Follow these steps to update your USB stick:"), sheet);
    follow->setStyleSheet(QStringLiteral("font-weight: 600;"));
    text->addWidget(follow);
    for (const char* step : kSteps) {
        QLabel* label = Text(step, sheet);
        label->setContentsMargins(10, 0, 0, 0);
        text->addWidget(label);
    }
    text->addSpacing(6);
    for (const Warning& warning : kWarnings) {
        QLabel* label = Text(warning.text, sheet);
        label->setObjectName(QStringLiteral("warning%1").arg(warning.id));
        // RGB(255, 40, 0) on the sheet's own background.
        label->setStyleSheet(QStringLiteral("color: rgb(255, 40, 0); background: transparent;"));
        controls.Add(warning.id, label);
        text->addWidget(label);
    }
    text->addSpacing(6);
    text->addWidget(
        Text(QT_TR_NOOP("The update should take approximately 10 minutes to complete."), sheet));
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
    info->addWidget(Caption(QT_TR_NOOP("Current version:")), 0, 0);
    info->addWidget(current, 0, 1);
    info->addWidget(Caption(QT_TR_NOOP("Port Information:")), 0, 3);
    info->addWidget(port, 0, 4);
    info->addWidget(Caption(QT_TR_NOOP("Update version:")), 1, 0);
    info->addWidget(Value(QString::fromLatin1(kUpdateVersion), this), 1, 1);
    info->setColumnStretch(2, 1);
    info->setColumnMinimumWidth(4, 80);
    outer->addLayout(info);

    // Status line, progress and UPDATE.
    auto* status = new QLabel(QStringLiteral("Searching..."), this);
    status->setObjectName(QStringLiteral("statusLine"));
    status->setTextFormat(Qt::PlainText);
    status->setProperty(kValueProperty, true);
    status->setStyleSheet(QStringLiteral(
        "QLabel#statusLine { background: #eef2f6; border: 1px solid #d5dce3; border-radius: 3px;"
        " padding: 4px 8px; color: #1d2733; }"));
    status->setMinimumHeight(26);
    controls.Add(ctl::kStatusLine, status);
    outer->addWidget(status);

    auto* bottom = new QGridLayout();
    bottom->setHorizontalSpacing(10);
    bottom->setVerticalSpacing(2);
    bottom->addWidget(Caption(QT_TR_NOOP("Progress: ")), 0, 0);
    auto* progressText = new QLabel(QStringLiteral("0/100"), this);
    progressText->setMinimumWidth(52);
    progressText->setStyleSheet(QStringLiteral("font-weight: 600;"));
    progressText->setProperty(kValueProperty, true);
    controls.Add(ctl::kProgressText, progressText);
    bottom->addWidget(progressText, 0, 1);
    auto* bar = new QProgressBar(this);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setFixedHeight(20);
    controls.Add(ctl::kProgressBar, bar);
    bottom->addWidget(bar, 0, 2);
    m_phase = new QLabel(this);
    m_phase->setObjectName(QStringLiteral("phase"));
    m_phase->setTextFormat(Qt::PlainText);
    m_phase->setProperty(kValueProperty, true);
    m_phase->setStyleSheet(QStringLiteral("color: #4a5560;"));
    m_phase->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_phase->setMinimumHeight(18);
    bottom->addWidget(m_phase, 1, 2);
    m_update = new QPushButton(this);
    m_update->setObjectName(QStringLiteral("update"));
    m_captions.Add([this] { m_update->setText(tr("UPDATE")); });
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
    bottom->addWidget(m_update, 0, 3, 2, 1, Qt::AlignTop);
    bottom->setColumnStretch(2, 1);
    outer->addLayout(bottom);

    connect(m_update, &QPushButton::clicked, this, &FormView::updateClicked);
}

void FormView::ShowPhase(const QString& text) {
    m_phase->setText(text);
    m_phase->setToolTip(text);
}

QString FormView::ShownPhase() const {
    return m_phase->text();
}

void FormView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        m_captions.Retranslate();
    }
    QWidget::changeEvent(event);
}

}  // namespace pellan::gui
