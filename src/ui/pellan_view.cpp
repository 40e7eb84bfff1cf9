#include "ui/pellan_view.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "line/station_firmware.h"
#include "platform/paths.h"
#include "ui/line_controls.h"
#include "ui/line_polling.h"

namespace pellan {
namespace {

// The line whose job or polling loop runs on this thread (-1 on others): a message box names it.
thread_local int t_threadLine = -1;

bool ValidLine(int line) {
    return line >= 0 && line < kLineCount;
}

std::string Format(const char* pattern, int value) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Joins a thread unless it is the calling thread itself (a job that ends the program from its own
// thread), which is left to finish on its own.
void JoinOrDetach(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace

// A line's status display as its procedures see it.
class CPellanView::Reporter final : public LineReporter {
  public:
    Reporter(CPellanView& view, int line) : m_view(view), m_line(line) {}
    void ShowMessage(const std::string& text, int stamped) override {
        m_view.ShowLineMessage(m_line, text, stamped);
    }
    void SetProgress(int percent) override { m_view.SetLineProgress(m_line, percent); }
    void SetState(int state) override { m_view.SetLineState(m_line, state); }
    void FinishJob(const std::string& text, int code) override {
        m_view.FinishLineJob(m_line, text, code);
    }
    void MessageBox(const std::string& text) override { m_view.MessageBox(text); }
    bool Confirm(const std::string& question) override { return m_view.Sink().Confirm(question); }

  private:
    CPellanView& m_view;
    int m_line;
};

// A line's ports as its procedures see them: the document's, looked up through the line's binding.
class CPellanView::Ports final : public LinePorts {
  public:
    Ports(CPellanDoc& doc, int line) : m_doc(doc), m_line(line) {}
    int DiagPort() override { return m_doc.LineDiagPort(m_line); }
    int AtPort() override { return m_doc.LineAtPort(m_line); }
    bool ReopenDiag(int port, int baud) override {
        return m_doc.ReopenDiagPort(m_line, port, baud);
    }
    bool ReopenAt(int port, int baud) override { return m_doc.ReopenAtPort(m_line, port, baud); }
    bool CloseDiag() override { return m_doc.CloseDiagPort(m_line); }
    bool QueryPhone() override { return m_doc.QueryPhone(m_line); }
    bool Discover() override { return m_doc.DiscoverPorts(m_line); }

  private:
    CPellanDoc& m_doc;
    int m_line;
};

struct CPellanView::LinePanel {
    LinePanel(CPellanView& view, int line)
        : account(view.m_doc.Clock()),
          reporter(view, line),
          ports(view.m_doc, line),
          context{line,
                  view.m_doc.Env(),
                  view.m_doc.Clock(),
                  view.m_doc.Runtime(line),
                  view.m_doc.Record(line),
                  view.m_doc.Record(0),
                  account,
                  view.m_doc.DocLock(),
                  reporter,
                  ports,
                  {view.m_doc.m_language, view.m_doc.m_nvMode, view.m_singleSwitch,
                   view.m_allowOtherImei}} {}
    mutable std::mutex mutex;
    JobAccount account;
    Reporter reporter;
    Ports ports;
    LineContext context;
    std::string log;
    std::string portText = "NULL";
    int state = 0;
    JobEnd jobEnd;
    std::thread job;
    std::thread polling;
    std::shared_ptr<PollControl> poll;
};

CPellanView::CPellanView(CPellanDoc& doc, ViewSink& sink)
    : m_doc(doc), m_sink(sink), m_now(NowLocal) {
    for (int line = 0; line < kLineCount; ++line) {
        auto& panel = m_panels[static_cast<size_t>(line)];
        panel = std::make_unique<LinePanel>(*this, line);
        panel->account.AddListener(
            [this, line](const JobEvent& event) { m_sink.JobEventReported(line, event); });
    }
    if (!m_doc.SettingsMessage().empty()) {
        MessageBox(m_doc.SettingsMessage());
    }
}

CPellanView::~CPellanView() {
    m_closing = true;
    std::array<std::thread, kLineCount> polling;
    for (int line = 0; line < kLineCount; ++line) {
        LinePanel& panel = *m_panels[static_cast<size_t>(line)];
        std::lock_guard lock(panel.mutex);
        if (panel.poll) {
            panel.poll->Stop();
        }
        polling[static_cast<size_t>(line)] = std::move(panel.polling);
    }
    for (auto& thread : polling) {
        JoinOrDetach(thread);
    }
    for (int line = 0; line < kLineCount; ++line) {
        WaitLineJob(line);
    }
}

CPellanView::LinePanel* CPellanView::Panel(int line) const {
    return ValidLine(line) ? m_panels[static_cast<size_t>(line)].get() : nullptr;
}

JobAccount& CPellanView::Account(int line) {
    return m_panels.at(static_cast<size_t>(line))->account;
}

LineContext& CPellanView::Context(int line) {
    return m_panels.at(static_cast<size_t>(line))->context;
}

void CPellanView::SetWallClock(std::function<LocalTime()> now) {
    std::lock_guard lock(m_mutex);
    m_now = std::move(now);
}

// ---- line status display ----

void CPellanView::ShowLineMessage(int line, const std::string& text, int stamped) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    std::string entry;
    if (stamped != 0) {
        std::function<LocalTime()> now;
        {
            std::lock_guard lock(m_mutex);
            now = m_now;
        }
        entry = FormatLogStamp(now());
    }
    entry += text;
    {
        std::lock_guard lock(panel->mutex);
        panel->log += entry;
        panel->log += '\n';
    }
    m_sink.LineLogAppended(line, entry);
    panel->account.Status(entry);
    m_sink.ControlText(ctl::kMessageText + line, text);
    if (line == 0) {
        m_sink.ControlText(ctl::kStatusLine, text);
    }
}

std::string CPellanView::LineLog(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return {};
    }
    std::lock_guard lock(panel->mutex);
    return panel->log;
}

void CPellanView::ReplaceLineLog(int line, const std::string& log) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    {
        std::lock_guard lock(panel->mutex);
        panel->log = log;
    }
    m_sink.LineLogReplaced(line, log);
    std::string entry = log;
    while (!entry.empty() && entry.back() == '\n') {
        entry.pop_back();
    }
    panel->account.Status(entry);
}

void CPellanView::SetLineProgress(int line, int percent) {
    if (!ValidLine(line)) {
        return;
    }
    const int bar = ctl::kProgressBar + line;
    if (percent == 0) {
        m_sink.ControlProgressRange(bar, 0, 100);
        m_sink.ControlProgress(bar, 0);
    } else {
        m_sink.ControlProgress(bar, std::clamp(percent, 0, 100));
    }
    m_sink.ControlText(ctl::kProgressText + line, Format("%d/100", std::min(percent, 100)));
}

void CPellanView::SetLineState(int line, int state) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    if (state < 0 || state > 3) {
        MessageBox("出现不可知的状态类型！");
        return;
    }
    {
        std::lock_guard lock(panel->mutex);
        panel->state = state;
    }
    m_sink.LineState(line, state);
}

int CPellanView::LineStateOf(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return -1;
    }
    std::lock_guard lock(panel->mutex);
    return panel->state;
}

JobEnd CPellanView::LastJobEnd(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return {};
    }
    std::lock_guard lock(panel->mutex);
    return panel->jobEnd;
}

void CPellanView::FinishLineJob(int line, const std::string& text, int code) {
    if (!ValidLine(line)) {
        return;
    }
    {
        LinePanel& panel = *m_panels[static_cast<size_t>(line)];
        std::lock_guard lock(panel.mutex);
        panel.jobEnd = {text, code};
    }
    ShowLineMessage(line, text, 1);
    Account(line).Result(code == 0 || code == 1, code, text);
    const bool dloadMode = m_doc.Link(line).m_mode == MODE_DLOAD;
    switch (code) {
        case 0:
            SetLineState(line, 2);
            m_doc.ResetStick(line, dloadMode);
            break;
        case 1:
            SetLineState(line, 2);
            break;
        case 2:
        case 4:
            SetLineState(line, 3);
            m_doc.ResetStick(line, dloadMode);
            break;
        case 3:
            SetLineState(line, 3);
            break;
        case 5:
            SetLineState(line, 3);
            if (dloadMode) {
                MessageBox(Format(Text("Line%d fail，please reset the modem manually",
                                       "线路%d任务失败，请手动重启相应手机"),
                                  line + 1));
            }
            break;
        default:
            break;
    }
    m_doc.Runtime(line).running = 0;
    EnableLineControls(line, 1);
    SetLineProgress(line, 0);
    ResumeLinePolling(line);
}

void CPellanView::ShowLinePort(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    const int port = m_doc.LineDiagPort(line);
    const std::string text = port != 0 ? Format("COM%d", port) : "NULL";
    {
        std::lock_guard lock(panel->mutex);
        panel->portText = text;
    }
    m_sink.ControlText(ctl::kDiagPortText + line, text);
    if (line == 0) {
        m_sink.ControlText(ctl::kPortInformation, text);
    }
}

std::string CPellanView::LinePortText(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return {};
    }
    std::lock_guard lock(panel->mutex);
    return panel->portText;
}

void CPellanView::ShowLineVersions(int line) {
    if (!ValidLine(line)) {
        return;
    }
    const std::string current = m_doc.DisplayText(line, 0);
    m_sink.ControlText(VersionControlId(line, VersionText::Integrate), m_doc.DisplayText(line, 1));
    m_sink.ControlText(VersionControlId(line, VersionText::BoardInternal),
                       m_doc.DisplayText(line, 2));
    m_sink.ControlText(VersionControlId(line, VersionText::OuterBoard), current);
    if (line == 0) {
        m_sink.ControlText(ctl::kCurrentVersion, current);
    }
}

void CPellanView::EnableLineControls(int line, int enable) {
    if (!ValidLine(line)) {
        return;
    }
    const bool released = m_portsReleased.load() != 0;
    bool anyRunning = released;
    bool allRunning = true;
    for (int n = 0; n < kLineCount; ++n) {
        const bool running = m_doc.Runtime(n).running.load() != 0;
        anyRunning = anyRunning || running;
        allRunning = allRunning && running;
    }
    allRunning = allRunning || released;
    for (const int id : ControlsLockedWhileRunning()) {
        m_sink.ControlEnabled(id, !anyRunning);
    }
    m_sink.ControlEnabled(ctl::kStopAll, anyRunning);
    m_sink.ControlEnabled(ctl::kStartAll, !allRunning);
    m_sink.ControlEnabled(ctl::kStartButton + line, enable != 0);
    m_sink.ControlEnabled(ctl::kStopButton + line, enable == 0);
}

void CPellanView::MessageBox(const std::string& text) {
    const int line = t_threadLine;
    if (ValidLine(line)) {
        m_sink.LineMessageBox(line, text);
    } else {
        m_sink.MessageBox(text);
    }
}

bool CPellanView::CanClose() {
    if (!AnyLineRunning()) {
        return true;
    }
    MessageBox(
        Text("Still running,not allowed to close the program!", "正在运行，不允许关闭程序!"));
    return false;
}

// ---- jobs ----

void CPellanView::SetJobProcedures(JobKind kind, JobProcedures procedures) {
    const int index = static_cast<int>(kind);
    if (index < JOB_UPDATE || index > JOB_NV_RESTORE) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_jobs[static_cast<size_t>(index)] = std::move(procedures);
}

JobProcedures CPellanView::Procedures(JobKind kind) const {
    const int index = static_cast<int>(kind);
    if (index < JOB_UPDATE || index > JOB_NV_RESTORE) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    return m_jobs[static_cast<size_t>(index)];
}

bool CPellanView::StartLineJob(int line) {
    // The refusals of the start are boxes of this line too.
    const int callerLine = t_threadLine;
    t_threadLine = line;
    const bool started = StartLineJobOnThisThread(line);
    t_threadLine = callerLine;
    return started;
}

bool CPellanView::StartLineJobOnThisThread(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr || m_closing || m_doc.Runtime(line).running.load() != 0) {
        return false;
    }
    if (m_useVersionArmprg.load() == 0) {
        m_doc.BuildLinePaths();
    } else {
        const std::string path =
            (std::filesystem::path(GetField(m_doc.Record(0).firmwareFolder)) / "armprg.bin")
                .string();
        if (!platform::FolderExists(path)) {
            MessageBox(path + Text(" is not exist, please select again", "不存在，请重新选择！"));
            return false;
        }
        for (int n = 0; n < kLineCount; ++n) {
            SetField(m_doc.Record(n).armprgPath, path);
        }
    }
    SetLineState(line, 0);
    m_doc.m_uiConsistent = m_uiConsistent.load();
    m_doc.m_eraseBoot = m_eraseBoot.load();
    // A job starts at the chosen rhythm, also after an earlier job fell back to the paced one.
    m_doc.Link(line).m_pacedReplies = m_pacedReplies.load() != 0;
    m_doc.At(line).m_pacedReplies = m_pacedReplies.load() != 0;
    if (m_doc.m_nvMode.load() == NV_MODE_DEFAULT_FILE &&
        !platform::FolderExists(GetField(m_doc.Record(line).defaultNvFile))) {
        MessageBox(Text("Default NV is not exist", "缺省NV文件不存在"));
        return false;
    }
    const auto kind = static_cast<JobKind>(m_doc.Runtime(line).jobKind);
    const JobProcedures procedures = Procedures(kind);
    if (!procedures.run) {
        MessageBox(Format("No job procedure is installed for job kind %d.", kind));
        return false;
    }
    if (procedures.check && !procedures.check(*this, line)) {
        return false;
    }

    for (int n = 0; n < kLineCount; ++n) {
        if (m_doc.Runtime(n).running.load() == 0) {
            EnableLineControls(n, 0);
        }
    }
    // Claimed in one step, so that two starts of the same line can never both run a job.
    int32_t idle = 0;
    if (!m_doc.Runtime(line).running.compare_exchange_strong(idle, 1)) {
        return false;
    }
    EnableLineControls(line, 0);

    std::thread previous;
    {
        std::lock_guard lock(panel->mutex);
        if (panel->poll) {
            panel->poll->RequestPause();
        }
        previous = std::move(panel->job);
    }
    // A job that ended through FinishLineJob may still be returning from its procedure.
    JoinOrDetach(previous);
    SetLineState(line, 1);
    SetLineProgress(line, 0);
    {
        std::lock_guard lock(panel->mutex);
        panel->job = std::thread(&CPellanView::RunJobThread, this, line, procedures);
    }
    m_doc.Clock().SleepMs(100);
    for (int n = 0; n < kLineCount; ++n) {
        if (m_doc.Runtime(n).running.load() == 0) {
            EnableLineControls(n, 1);
        }
    }
    return true;
}

void CPellanView::RunJobThread(int line, JobProcedures procedures) {
    t_threadLine = line;
    LinePanel& panel = *Panel(line);
    std::shared_ptr<PollControl> poll;
    {
        std::lock_guard lock(panel.mutex);
        poll = panel.poll;
    }
    // The job owns the line's ports only once its polling loop stands still between passes (or
    // has ended). A job that was started runs even when the view is closing meanwhile: the
    // view's end waits for it.
    while (poll && !poll->WaitUntilPaused()) {
        poll->RequestPause();  // the pause was withdrawn meanwhile (ports reconnected): ask again
    }
    Account(line).BeginJob(JobKindKey(static_cast<JobKind>(m_doc.Runtime(line).jobKind)));
    try {
        procedures.run(*this, line);
    } catch (const std::exception& error) {
        FinishLineJob(line, std::string("Internal error: ") + error.what(), 3);
    } catch (...) {
        FinishLineJob(line, "Internal error", 3);
    }
    // Every job's account ends with a result, also one whose procedure gave none.
    Account(line).Result(
        false, -1,
        "The job ended without a result.");  // A line that succeeded while this one ran left the
                                             // firmware set for the last job to delete.
    DeleteDeferredFirmwareSet(*this);
}

void CPellanView::StopLine(int line) {
    if (ValidLine(line)) {
        m_doc.Runtime(line).running = 0;
    }
}

void CPellanView::WaitLineJob(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    std::thread job;
    {
        std::lock_guard lock(panel->mutex);
        job = std::move(panel->job);
    }
    JoinOrDetach(job);
}

bool CPellanView::AnyLineRunning() const {
    for (int line = 0; line < kLineCount; ++line) {
        if (m_doc.Runtime(line).running.load() != 0) {
            return true;
        }
    }
    return false;
}

// ---- polling ----

void CPellanView::StartLinePolling(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr || m_closing) {
        return;
    }
    auto control = std::make_shared<PollControl>(m_doc.Clock());
    if (m_doc.Runtime(line).running.load() != 0) {
        control->RequestPause();  // the line's job owns the ports until it finishes
    }
    std::lock_guard lock(panel->mutex);
    if (panel->poll) {
        panel->poll->Stop();
    }
    panel->poll = control;
    panel->polling = std::thread(
        [this, line, control](std::thread previous) {
            // Two loops must never use the line's ports at once.
            if (previous.joinable()) {
                previous.join();
            }
            t_threadLine = line;
            PollLine(*this, line, *control);
        },
        std::move(panel->polling));
}

void CPellanView::PauseLinePolling(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    std::shared_ptr<PollControl> poll;
    {
        std::lock_guard lock(panel->mutex);
        poll = panel->poll;
    }
    if (poll) {
        poll->RequestPause();
        poll->WaitUntilPaused();
    }
}

void CPellanView::ResumeLinePolling(int line) {
    LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return;
    }
    std::lock_guard lock(panel->mutex);
    if (panel->poll) {
        panel->poll->Resume();
    }
}

bool CPellanView::HasLinePolling(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return false;
    }
    std::lock_guard lock(panel->mutex);
    return panel->poll != nullptr && !panel->poll->Ended();
}

bool CPellanView::LinePollingPaused(int line) const {
    const LinePanel* panel = Panel(line);
    if (panel == nullptr) {
        return false;
    }
    std::lock_guard lock(panel->mutex);
    return panel->poll != nullptr && panel->poll->Paused();
}

}  // namespace pellan
