#include "qt_view_sink.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>

#include <optional>

#include "form_view.h"

namespace pellan::gui {

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

bool OnWindowThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

QtViewSink::QtViewSink(QObject* parent) : QObject(parent) {
    qRegisterMetaType<JobEvent>();
    // The buttons in the interface's language (Qt's own translations need not be installed).
    m_presenter = [](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(tr("OK"));
        box.exec();
    };
    m_questionPresenter = [](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(tr("Yes"));
        box.button(QMessageBox::No)->setText(tr("No"));
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };
}

void QtViewSink::SetQuestionPresenter(QuestionPresenter presenter) {
    std::lock_guard lock(m_mutex);
    m_questionPresenter = std::move(presenter);
}

// Asked on the window thread; a job thread waits for the answer. A program that is going says no.
bool QtViewSink::Confirm(const std::string& question) {
    const QString text = Q(question);
    const QString caption = CaptionFor(question);
    auto ask = [this, caption, text] {
        QuestionPresenter presenter;
        {
            std::lock_guard lock(m_mutex);
            presenter = m_questionPresenter;
        }
        return presenter ? presenter(caption, text) : false;
    };
    if (OnWindowThread()) {
        return ask();
    }
    if (IsShutDown()) {
        return false;
    }
    auto answer = std::make_shared<std::optional<bool>>();
    QMetaObject::invokeMethod(
        this,
        [this, ask, answer] {
            const bool yes = ask();
            std::lock_guard lock(m_mutex);
            *answer = yes;
            m_answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(m_mutex);
    m_answered.wait(lock, [&] { return answer->has_value() || m_shutDown; });
    return answer->value_or(false);
}

QtViewSink::~QtViewSink() {
    Shutdown();
}

void QtViewSink::LineLogAppended(int line, const std::string& entry) {
    emit lineLogAppended(line, Q(entry));
}

void QtViewSink::LineLogReplaced(int line, const std::string& log) {
    emit lineLogReplaced(line, Q(log));
}

void QtViewSink::JobEventReported(int line, const JobEvent& event) {
    emit jobEvent(line, event);
}

void QtViewSink::ControlText(int controlId, const std::string& text) {
    emit controlText(controlId, Q(text));
}

void QtViewSink::ControlProgress(int controlId, int position) {
    emit controlProgress(controlId, position);
}

void QtViewSink::ControlProgressRange(int controlId, int low, int high) {
    emit controlProgressRange(controlId, low, high);
}

void QtViewSink::ControlEnabled(int controlId, bool enabled) {
    emit controlEnabled(controlId, enabled);
}

void QtViewSink::LineState(int line, int state) {
    emit lineState(line, state);
}

void QtViewSink::ProgramEndRequested() {
    emit programEndRequested();
}

void QtViewSink::SetBoxPresenter(BoxPresenter presenter) {
    std::lock_guard lock(m_mutex);
    m_presenter = std::move(presenter);
}

QString QtViewSink::CaptionFor(const std::string& text) {
    // The update job shows its result text in a box captioned "Success"; both languages.
    static const QRegularExpression success(
        QStringLiteral("^(Update success!  It costs \\d+ minutes and \\d+ seconds\\.|"
                       "线路\\d+下载成功！共花了\\d+分\\d+秒)$"));
    return success.match(Q(text)).hasMatch() ? QStringLiteral("Success") : QString(kFormTitle);
}

void QtViewSink::Present(const QString& text) {
    BoxPresenter presenter;
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown) {
            return;
        }
        presenter = m_presenter;
    }
    presenter(CaptionFor(text.toStdString()), text);
}

void QtViewSink::MessageBox(const std::string& text) {
    const QString qtext = Q(text);
    if (OnWindowThread()) {
        Present(qtext);
        return;
    }
    // Another thread: the window thread shows the box; only this thread waits for the answer.
    if (IsShutDown()) {
        return;
    }
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        this,
        [this, qtext, done] {
            Present(qtext);
            std::lock_guard lock(m_mutex);
            *done = true;
            m_answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(m_mutex);
    m_answered.wait(lock, [&] { return *done || m_shutDown; });
}

void QtViewSink::Shutdown() {
    std::lock_guard lock(m_mutex);
    m_shutDown = true;
    m_answered.notify_all();
}

bool QtViewSink::IsShutDown() const {
    std::lock_guard lock(m_mutex);
    return m_shutDown;
}

}  // namespace pellan::gui
