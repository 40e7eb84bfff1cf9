#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <string>

#include "captions.h"
#include "form_actions.h"

class QComboBox;

namespace pellan::gui {

// The port settings dialog: a DIAG port (and a hidden DATA port) per line, chosen from "NULL" and
// COM1..COM99 so that a list's index is the port number. OK is refused, with a message box, while
// two lines share a port.
class PortSettingsDialog final : public QDialog {
    Q_OBJECT

  public:
    // `showMessage` shows a refusal (the view's message box).
    PortSettingsDialog(const PortList& diag, const PortList& data,
                       std::function<void(const std::string&)> showMessage,
                       QWidget* parent = nullptr);

    PortList DiagPorts() const;
    PortList DataPorts() const;
    QComboBox* DiagList(int line) const { return m_diag[static_cast<size_t>(line)]; }
    QComboBox* DataList(int line) const { return m_data[static_cast<size_t>(line)]; }

    void accept() override;

  protected:
    void changeEvent(QEvent* event) override;

  private:
    Captions m_captions;
    std::array<QComboBox*, kLineCount> m_diag{};
    std::array<QComboBox*, kLineCount> m_data{};
    std::function<void(const std::string&)> m_showMessage;
};

}  // namespace pellan::gui
