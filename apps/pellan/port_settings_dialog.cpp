#include "port_settings_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pellan::gui {

namespace {

constexpr int kHighestPort = 99;
constexpr int kFirstDiagList = 1135;
// The DATA lists of lines 1..8.
constexpr int kDataListIds[kLineCount] = {1143, 1145, 1147, 1149, 1144, 1146, 1148, 1150};

QComboBox* MakePortList(int id, int port, QWidget* parent) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QStringLiteral("list%1").arg(id));
    list->addItem(QStringLiteral("NULL"));
    for (int n = 1; n <= kHighestPort; ++n) {
        list->addItem(QStringLiteral("COM%1").arg(n));
    }
    list->setMaxVisibleItems(16);
    list->setCurrentIndex(port >= 0 && port <= kHighestPort ? port : 0);
    list->setMinimumWidth(96);
    return list;
}

}  // namespace

PortSettingsDialog::PortSettingsDialog(const gui::PortList& diag, const gui::PortList& data,
                                       std::function<void(const std::string&)> showMessage,
                                       QWidget* parent)
    : QDialog(parent), m_showMessage(std::move(showMessage)) {
    m_captions.Add([this] { setWindowTitle(tr("Port Setting")); });
    setObjectName(QStringLiteral("portSettings"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 14, 16, 12);
    outer->setSpacing(12);
    auto* title = new QLabel(this);
    m_captions.Add([title] { title->setText(tr("Port Setting")); });
    title->setStyleSheet(QStringLiteral("font-size: 13pt; font-weight: 600;"));
    outer->addWidget(title);

    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    for (int line = 0; line < kLineCount; ++line) {
        const int row = line % 4;
        const int column = line < 4 ? 0 : 3;
        auto* label = new QLabel(this);
        m_captions.Add([label, line] { label->setText(tr("Line%1----DIAG").arg(line + 1)); });
        m_diag[static_cast<size_t>(line)] =
            MakePortList(kFirstDiagList + line, diag[static_cast<size_t>(line)], this);
        grid->addWidget(label, row, column);
        grid->addWidget(m_diag[static_cast<size_t>(line)], row, column + 1);
        // The DATA lists are kept but not shown: the AT port comes from discovery.
        m_data[static_cast<size_t>(line)] =
            MakePortList(kDataListIds[line], data[static_cast<size_t>(line)], this);
        m_data[static_cast<size_t>(line)]->hide();
        auto* dataLabel = new QLabel(this);
        m_captions.Add(
            [dataLabel, line] { dataLabel->setText(tr("Line%1----DATA").arg(line + 1)); });
        dataLabel->hide();
    }
    grid->setColumnMinimumWidth(2, 24);
    outer->addLayout(grid);

    // Buttons of its own: a box's standard buttons take Qt's translations, which need not be there.
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QString(), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(QString(), QDialogButtonBox::RejectRole);
    m_captions.Add([ok, cancel] {
        ok->setText(tr("OK"));
        cancel->setText(tr("Cancel"));
    });
    outer->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &PortSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PortSettingsDialog::reject);
    setFixedSize(sizeHint());
}

void PortSettingsDialog::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) {
        m_captions.Retranslate();
    }
    QDialog::changeEvent(event);
}

PortList PortSettingsDialog::DiagPorts() const {
    gui::PortList ports{};
    for (size_t i = 0; i < ports.size(); ++i) {
        ports[i] = m_diag[i]->currentIndex();
    }
    return ports;
}

PortList PortSettingsDialog::DataPorts() const {
    gui::PortList ports{};
    for (size_t i = 0; i < ports.size(); ++i) {
        ports[i] = m_data[i]->currentIndex();
    }
    return ports;
}

void PortSettingsDialog::accept() {
    const std::string refusal = CheckPortAssignment(DiagPorts(), DataPorts());
    if (!refusal.empty()) {
        m_showMessage(refusal);
        return;
    }
    QDialog::accept();
}

}  // namespace pellan::gui
