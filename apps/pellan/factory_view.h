#pragma once

#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>

#include "ui/line_record.h"

class QButtonGroup;
class QCheckBox;
class QLabel;

namespace pellan {
class CPellanView;
}

namespace pellan::gui {

class ControlMap;
class FormState;

// The controls that the shipped form keeps hidden, in a window of their own: the eight line
// panels, Start All and stop all, the NV mode, the NV and file choosers, the options, the port
// actions and the port settings. Off by default.
class FactoryView final : public QWidget {
    Q_OBJECT

  public:
    FactoryView(CPellanView& view, FormState& state, ControlMap& controls,
                QWidget* parent = nullptr);

    // The form's defaults of these controls (start-up step 6) and the values of the fields.
    void ApplyDefaults();
    // A line's state picture.
    void ShowLineState(int line, int state);
    int ShownLineState(int line) const { return m_states[static_cast<size_t>(line)]; }

  signals:
    void portSettingsRequested();

  private:
    QWidget* BuildLinePanel(int line);
    QWidget* BuildSidePanel();
    QCheckBox* Option(int id, const QString& text, std::atomic<int32_t>* field);
    void ChooseNvMode(int mode);
    void ChooseNvFolder();
    void ChooseDefaultNvFile();
    void ChooseRecordFile(int editId, bool boot);

    CPellanView& m_view;
    FormState& m_state;
    ControlMap& m_controls;
    std::array<QLabel*, kLineCount> m_pictures{};
    std::array<int, kLineCount> m_states{};
    std::array<QButtonGroup*, kLineCount> m_jobKinds{};
    QButtonGroup* m_nvModes = nullptr;
};

}  // namespace pellan::gui
