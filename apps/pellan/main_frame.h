#pragma once

#include <QMainWindow>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>

#include "captions.h"
#include "control_map.h"
#include "diag/job_account.h"
#include "form_actions.h"
#include "gui_options.h"

class QAction;
class QTranslator;

namespace pellan {
class CPellanView;
namespace platform {
class NamedMutex;
}
}  // namespace pellan

namespace pellan::gui {

class FactoryView;
class HistoryWindow;
class FormView;
class QtViewSink;

// The frame with the form. It keeps only caption, system menu and minimize box, at the form's
// size; its commands (port settings, exit, help, about, the factory view) are on the form's
// context menu and on keys, since the frame shows no menu bar.
class CMainFrame final : public QMainWindow {
    Q_OBJECT

  public:
    CMainFrame(CPellanView& view, QtViewSink& sink, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The form's start-up. False when the program must end (a message box has said why).
    bool StartUp();

    ControlMap& Controls() { return m_controls; }
    FormView* Form() const { return m_form; }
    FactoryView* Factory() const { return m_factory; }
    FormState& State() { return m_state; }
    // True once a successful update has asked the program to end.
    bool EndRequested() const { return m_endRequested; }

    void ShowFactoryView(bool show);
    // The interface's language: the captions of every window through the translator, and the
    // document's language flag, which picks the texts of the core's messages.
    void SetLanguage(UiLanguage language);
    UiLanguage Language() const { return m_language; }
    // An installed program's settings live in the user's config folder (the document's folder):
    // `data` is where the NV folder starts and `program` where the help document lies. Unset,
    // both are the document's folder.
    void SetFolders(std::filesystem::path data, std::filesystem::path program) {
        m_dataFolder = std::move(data);
        m_programFolder = std::move(program);
    }
    void OpenPortSettings();       // refused while a line runs
    HistoryWindow* OpenHistory();  // the recorded jobs; closing it deletes it
    void ShowHelp();
    void ShowAbout();
    // The help document that ShowHelp opens.
    std::filesystem::path HelpDocument() const;

  signals:
    // The program is to end now (the window closed, or the end after a successful update).
    void programEnded();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    std::filesystem::path m_dataFolder;
    std::filesystem::path m_programFolder;
    void ConnectSink();
    void BuildCommands();
    void OnLineState(int line, int state);
    void OnJobEvent(int line, const JobEvent& event);
    void ShowLineActivity(int line);
    void OnProgramEndRequested();
    void EndWhenOtherLinesAreDone();

    CPellanView& m_view;
    QtViewSink& m_sink;
    ControlMap m_controls;
    FormState m_state;
    FormView* m_form = nullptr;
    FactoryView* m_factory = nullptr;
    QAction* m_factoryAction = nullptr;
    Captions m_captions;
    UiLanguage m_language = UiLanguage::ENGLISH;
    std::unique_ptr<QTranslator> m_translator;
    // Per line: the phase its job is in (none between jobs) and its last job's result.
    std::array<std::optional<JobEvent>, kLineCount> m_phase{};
    std::array<std::optional<JobEvent>, kLineCount> m_result{};
    std::unique_ptr<platform::NamedMutex> m_uiMutex;
    bool m_endRequested = false;
    bool m_ended = false;
};

}  // namespace pellan::gui
