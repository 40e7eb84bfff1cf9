#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "diag/job_account.h"
#include "line/line_station.h"
#include "platform/log_stamp.h"
#include "ui/pellan_doc.h"
#include "ui/view_sink.h"

namespace pellan {

// The form view without a GUI toolkit: the line status display, the option fields of the form,
// the start of line jobs and the polling threads. Front ends observe it through a ViewSink. It is
// the station of the line jobs: each line's procedures get that line's context from it.
class CPellanView : public LineStation {
  public:
    CPellanView(CPellanDoc& doc, ViewSink& sink);
    ~CPellanView() override;
    CPellanView(const CPellanView&) = delete;
    CPellanView& operator=(const CPellanView&) = delete;

    CPellanDoc& Doc() { return m_doc; }
    ViewSink& Sink() { return m_sink; }
    const char* Text(const char* english, const char* chinese) const {
        return m_doc.Text(english, chinese);
    }

    // ---- line status display (any thread) ----
    void ShowLineMessage(int line, const std::string& text, int stamped);
    void SetLineProgress(int line, int percent);
    void SetLineState(int line, int state);
    void FinishLineJob(int line, const std::string& text, int code);
    void ShowLinePort(int line) override;
    void ShowLineVersions(int line) override;
    void EnableLineControls(int line, int enable);
    void MessageBox(const std::string& text) override;
    std::string LineLog(int line) const;
    // Replaces a line's whole log (the update job's header).
    void ReplaceLineLog(int line, const std::string& log) override;
    // The DIAG port text last shown by ShowLinePort ("COM%d" or "NULL") and the line's state.
    std::string LinePortText(int line) const;
    int LineStateOf(int line) const;
    // The text and code of the line's last FinishLineJob (code -1 before the first), which the
    // job history records.
    JobEnd LastJobEnd(int line) const override;
    // The account of the line's jobs (phases, counts, retries, result), which the sink, the job
    // log and the history observe beside the display.
    JobAccount& Account(int line);
    // Where the line log's time stamps come from (the local clock unless a test sets another).
    void SetWallClock(std::function<LocalTime()> now);

    // ---- jobs and polling ----
    // ---- the station of the line jobs ----
    LineContext& Context(int line) override;
    platform::Env& Env() override { return m_doc.Env(); }
    const std::filesystem::path& ProgramFolder() const override { return m_doc.ProgramFolder(); }
    StickBindings& Bindings() override { return m_doc.Bindings(); }
    std::string FallbackVersion(int line) override { return m_doc.FallbackVersion(line); }
    bool CheckDownloadMode() const override { return m_checkDownloadMode.load() != 0; }
    void RequestLineEnd(int line) override { m_sink.LineEndRequested(line); }
    void SetJobProcedures(JobKind kind, JobProcedures procedures) override;
    bool StartLineJob(int line);
    void StopLine(int line);  // the stop button: a request the job polls
    // Starts (or restarts) the line's polling thread. A thread already there is asked to end;
    // the new one waits for it before it touches the line's ports.
    void StartLinePolling(int line);
    // Pauses the line's polling loop at its next safe point and waits until it is there (the
    // port actions, which close and reopen the line's ports); ResumeLinePolling lets it go on.
    // Without a polling thread both do nothing.
    void PauseLinePolling(int line);
    void ResumeLinePolling(int line);
    bool HasLinePolling(int line) const;
    bool LinePollingPaused(int line) const;
    // Waits until a job thread of the line has ended (tests and orderly shutdown).
    void WaitLineJob(int line);
    bool AnyLineRunning() const;
    // The close guard: false, with the message box, while any line runs.
    bool CanClose();

    // Option fields of the form (hidden check boxes), with their values at start.
    std::atomic<int32_t> m_checkDownloadMode{1};
    std::atomic<int32_t> m_singleSwitch{1};
    std::atomic<int32_t> m_useVersionArmprg{1};
    std::atomic<int32_t> m_eraseBoot{1};
    std::atomic<int32_t> m_uiConsistent{0};
    std::atomic<int32_t> m_portsReleased{0};
    // 1: every reply of a job is taken by the paced rule (two counts a poll apart agree) instead
    // of at its closing flag, for sticks that want the slower rhythm. Off by default.
    std::atomic<int32_t> m_pacedReplies{0};
    // A standalone NV restore may write a file that holds another stick's IMEI (asked for
    // explicitly: pellan-cli --other-imei).
    std::atomic<int32_t> m_allowOtherImei{0};
    // Per line: 1 after the DIAG port was made present by the port hide/restore action.
    std::array<std::atomic<int32_t>, kLineCount> m_diagPortHidden{};

  private:
    struct LinePanel;
    class Reporter;
    class Ports;

    LinePanel* Panel(int line) const;
    JobProcedures Procedures(JobKind kind) const;
    void RunJobThread(int line, JobProcedures procedures);
    bool StartLineJobOnThisThread(int line);
    void SetControlsLocked(bool anyRunning, bool allRunning);

    CPellanDoc& m_doc;
    ViewSink& m_sink;
    std::array<std::unique_ptr<LinePanel>, kLineCount> m_panels;
    mutable std::mutex m_mutex;           // the job table and the wall clock
    std::array<JobProcedures, 5> m_jobs;  // by job kind 1..4
    std::function<LocalTime()> m_now;
    std::atomic<bool> m_closing{false};
};

}  // namespace pellan
