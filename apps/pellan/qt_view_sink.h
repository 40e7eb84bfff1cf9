#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "ui/view_sink.h"

namespace pellan::gui {

// The view's display operations as Qt sees them. Job and polling threads call the ViewSink
// methods; every call becomes a queued signal that the window thread turns into widget changes,
// so no widget is ever touched from another thread. A message box asked for by another thread
// is shown by the window thread while the asking thread waits for its answer.
class QtViewSink final : public QObject, public ViewSink {
    Q_OBJECT

  public:
    // Shows one box modally on the window thread and returns when it was answered.
    using BoxPresenter = std::function<void(const QString& caption, const QString& text)>;

    explicit QtViewSink(QObject* parent = nullptr);
    ~QtViewSink() override;

    void LineLogAppended(int line, const std::string& entry) override;
    void LineLogReplaced(int line, const std::string& log) override;
    void JobEventReported(int line, const JobEvent& event) override;
    void ControlText(int controlId, const std::string& text) override;
    void ControlProgress(int controlId, int position) override;
    void ControlProgressRange(int controlId, int low, int high) override;
    void ControlEnabled(int controlId, bool enabled) override;
    void LineState(int line, int state) override;
    void MessageBox(const std::string& text) override;
    void ProgramEndRequested() override;

    // A question with Yes and No, No the default; true only for Yes. Tests answer it their way.
    bool Confirm(const std::string& question) override;
    using QuestionPresenter = std::function<bool(const QString& caption, const QString& text)>;
    void SetQuestionPresenter(QuestionPresenter presenter);

    void SetBoxPresenter(BoxPresenter presenter);
    // The program is going: boxes still waiting count as answered, later ones are not shown.
    // Called before the view is destroyed, whose end waits for the job threads.
    void Shutdown();
    bool IsShutDown() const;

    // The caption of a box: "Success" for the update's result text, otherwise the program's title.
    static QString CaptionFor(const std::string& text);

  signals:
    void lineLogAppended(int line, const QString& entry);
    void lineLogReplaced(int line, const QString& log);
    void jobEvent(int line, const pellan::JobEvent& event);
    void controlText(int controlId, const QString& text);
    void controlProgress(int controlId, int position);
    void controlProgressRange(int controlId, int low, int high);
    void controlEnabled(int controlId, bool enabled);
    void lineState(int line, int state);
    void programEndRequested();

  private:
    void Present(const QString& text);

    BoxPresenter m_presenter;
    QuestionPresenter m_questionPresenter;
    mutable std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_shutDown = false;
};

}  // namespace pellan::gui

Q_DECLARE_METATYPE(pellan::JobEvent)
