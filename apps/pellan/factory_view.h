#pragma once

#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>

#include "captions.h"
#include "diag/line_record.h"
#include "gui_options.h"

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
    // The phase of the line's job under its progress bar; empty between jobs.
    void ShowLinePhase(int line, const QString& text);
    // The line's last result, passed or failed, with its text.
    void ShowLineResult(int line, const QString& text, bool passed);
    QString ShownLinePhase(int line) const;
    QString ShownLineResult(int line) const;

  signals:
    void portSettingsRequested();
    void languageRequested(UiLanguage language);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    QWidget* BuildLinePanel(int line);
    QWidget* BuildSidePanel();
    QCheckBox* Option(int id, const char* source, std::atomic<int32_t>* field);
    template <typename Widget>
    Widget* Captioned(Widget* widget, const char* source);
    void ChooseNvMode(int mode);
    void ChooseNvFolder();
    void ChooseDefaultNvFile();
    void ChooseRecordFile(int editId, bool boot);

    CPellanView& m_view;
    FormState& m_state;
    ControlMap& m_controls;
    Captions m_captions;
    std::array<QLabel*, kLineCount> m_pictures{};
    std::array<QLabel*, kLineCount> m_phases{};
    std::array<QLabel*, kLineCount> m_results{};
    std::array<int, kLineCount> m_states{};
    std::array<QButtonGroup*, kLineCount> m_jobKinds{};
    QButtonGroup* m_nvModes = nullptr;
};

}  // namespace pellan::gui
