// pellan-cli: the updater without a window. It drives one line of the same view and jobs as the
// desktop program, prints every status line as it enters the line log and answers message boxes
// itself (they go to standard error).
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_sink.h"
#include "firmware/firmware_set.h"
#include "history_commands.h"
#include "line/connection_manager.h"
#include "line/job_history.h"
#include "line/standard_jobs.h"
#include "line/station_firmware.h"
#include "nv/nv_backup.h"
#include "nv/nv_restore.h"
#include "platform/program_folders.h"
#include "platform/system_env.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan::cli {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kBaud = 115200;

// The program's end for a failed command: the reason is the last line of standard output.
int Failed(CliSink& sink, const std::string& text) {
    sink.PrintFinal(-1, text, false);
    return kExitFailed;
}

// Document values that the form's controls would set.
bool ApplyOptions(const CliOptions& options, CPellanDoc& doc, const platform::Env& env,
                  const std::filesystem::path& dataFolder, std::string& error) {
    if (options.language) {
        doc.m_language = *options.language;
    }
    if (options.nvMode) {
        doc.m_nvMode = *options.nvMode;
    }
    // The NV folder starts as the program's folder (the user's data folder when the program's
    // own is not writable); against a device root it is the root, so a simulated run leaves
    // nothing beside the program.
    std::string nvFolder = options.nvDir;
    if (nvFolder.empty()) {
        nvFolder = (env.deviceRoot.empty() ? dataFolder : env.deviceRoot).string();
    }
    if (!ChooseNvFolder(doc.Records(), nvFolder, error)) {
        return false;
    }
    if (!options.defaultNv.empty() &&
        !ChooseDefaultNvFile(doc.Records(), options.defaultNv, error)) {
        return false;
    }
    if (!options.firmwareDir.empty() && !UseFirmwareFolder(options.firmwareDir, error)) {
        return false;
    }
    return true;
}

// Waits (on the program's clock, in real seconds) until `done` holds or the --wait limit passed.
template <typename Done>
bool WaitUntil(CPellanDoc& doc, const CliOptions& options, uint32_t pollMs, Done done) {
    const uint32_t start = doc.Clock().TickMs();
    while (!done()) {
        if (options.waitSeconds &&
            doc.Clock().TickMs() - start >= static_cast<uint32_t>(*options.waitSeconds) * 1000u) {
            return false;
        }
        doc.Clock().SleepMs(pollMs);
    }
    return true;
}

// Discovery of one line; without --wait a single search, as the command always did.
bool FindStick(CPellanDoc& doc, const CliOptions& options, int line) {
    if (!options.waitSeconds) {
        return doc.DiscoverPorts(line);
    }
    return WaitUntil(doc, options, 50, [&] { return doc.DiscoverPorts(line); });
}

// Prints the summary of several lines: one line each, in line order, with its final text.
int Summary(CliSink& sink, const std::vector<int>& lines, const std::map<int, std::string>& texts,
            const std::set<int>& passed) {
    for (const int line : lines) {
        const auto it = texts.find(line);
        sink.PrintSummary(line, it != texts.end() ? it->second : std::string(),
                          passed.count(line) != 0);
    }
    return passed.size() == lines.size() ? kExitSuccess : kExitFailed;
}

// `ports` and `info` of each listed line in turn; each line binds its own stick.
int RunQuery(CPellanDoc& doc, CliSink& sink, const CliOptions& options, bool info) {
    std::map<int, std::string> texts;
    std::set<int> passed;
    for (const int line : options.lines) {
        std::string last = "No stick found.";
        bool ok = false;
        if (FindStick(doc, options, line)) {
            bool answered = true;
            if (info) {
                doc.ReopenDiagPort(line, doc.LineDiagPort(line), kBaud);
                doc.ReopenAtPort(line, doc.LineAtPort(line), kBaud);
                answered = doc.QueryPhone(line);
            }
            sink.PrintLine(line, "DIAG port: COM" + std::to_string(doc.LineDiagPort(line)));
            last = "AT port: COM" + std::to_string(doc.LineAtPort(line));
            if (info && answered) {
                sink.PrintLine(line, last);
                sink.PrintLine(line, "Current version: " + doc.DisplayText(line, 0));
                sink.PrintLine(line, "Second version: " + doc.DisplayText(line, 1));
                sink.PrintLine(line, "Identity: " + doc.DisplayText(line, 2));
                last = "Fallback version: " + doc.FallbackVersion(line);
            } else if (info) {
                sink.PrintLine(line, last);
                last = "No Phone";
            }
            ok = answered;
        }
        sink.PrintLine(line, last);
        texts[line] = last;
        if (ok) {
            passed.insert(line);
        }
    }
    if (!sink.Several()) {
        return passed.empty() ? kExitFailed : kExitSuccess;
    }
    return Summary(sink, options.lines, texts, passed);
}

// With --lines all: every line polls; once a first stick is found and no line has taken a new
// one for 3 s, the lines that hold a stick are the station's. The others stop and let go.
std::vector<int> SettleStation(CPellanView& view, const CliOptions& options) {
    CPellanDoc& doc = view.Doc();
    constexpr uint32_t kSettleMs = 3000;
    int held = 0;
    uint32_t changed = doc.Clock().TickMs();
    std::vector<int> lines;
    WaitUntil(doc, options, 50, [&] {
        int now = 0;
        for (int line = 0; line < kLineCount; ++line) {
            now += doc.Bindings().Holds(line) ? 1 : 0;
        }
        if (now != held) {
            held = now;
            changed = doc.Clock().TickMs();
        }
        return held > 0 && doc.Clock().TickMs() - changed >= kSettleMs;
    });
    for (int line = 0; line < kLineCount; ++line) {
        if (doc.Bindings().Holds(line)) {
            lines.push_back(line);
        } else {
            view.PauseLinePolling(line);
            doc.Bindings().Release(line);
        }
    }
    return lines;
}

// Polls every listed line until its stick answers, starts each line's job of `kind` as soon as
// it does, and waits for all of them. A line without a stick after --wait S fails with
// "No stick found." (and lets go of the search).
int RunLineJobs(CPellanView& view, CliSink& sink, const CliOptions& options, JobKind kind,
                bool& allPassed) {
    CPellanDoc& doc = view.Doc();
    allPassed = false;
    for (const int line : options.lines) {
        doc.Runtime(line).jobKind = kind;
        view.StartLinePolling(line);
    }
    std::vector<int> lines = options.lines;
    if (options.allLines) {
        lines = SettleStation(view, options);
        if (lines.empty()) {
            sink.PrintFinal(-1, "No stick found.", false);
            return kExitFailed;
        }
    }
    std::map<int, std::string> texts;
    std::set<int> pending(lines.begin(), lines.end());
    std::vector<int> started;
    for (const int line : lines) {
        if (doc.Runtime(line).phoneState.load() != 2) {
            std::fprintf(stderr, "Waiting for the stick of line %d...\n", line + 1);
        }
    }
    WaitUntil(doc, options, 50, [&] {
        for (auto it = pending.begin(); it != pending.end();) {
            const int line = *it;
            if (doc.Runtime(line).phoneState.load() != 2 || !doc.Bindings().Holds(line)) {
                ++it;
                continue;
            }
            sink.JobStarted(line);
            if (view.StartLineJob(line)) {
                started.push_back(line);
            } else {
                const std::string box = sink.LastMessageBox(line);
                texts[line] = box.empty() ? "The job was not started." : box;
            }
            it = pending.erase(it);
        }
        return pending.empty();
    });
    for (const int line : pending) {
        view.PauseLinePolling(line);
        doc.Bindings().Release(line);
        texts[line] = "No stick found.";
    }
    std::set<int> passed;
    for (const int line : started) {
        view.WaitLineJob(line);
        texts[line] = sink.ResultText(line);
        if (sink.Passed(line)) {
            passed.insert(line);
        }
    }
    // A refused line, or one whose job ended, goes on polling and showing its stick; the summary
    // must be the last thing printed.
    for (const int line : lines) {
        view.PauseLinePolling(line);
    }
    allPassed = passed.size() == lines.size();
    if (!sink.Several()) {
        const int line = lines.front();
        sink.PrintFinal(line, texts[line], allPassed);
        return allPassed ? kExitSuccess : kExitFailed;
    }
    return Summary(sink, lines, texts, passed);
}

int Run(const CliOptions& options, const HistoryOptions& historyOptions) {
    platform::SystemEnv system(options.deviceRoot, options.fast);
    platform::Env& env = system.Get();
    CliSink sink(options.lines, platform::StdoutIsTerminal(), historyOptions.json);
    const platform::ProgramFolders folders =
        platform::SystemProgramFolders(platform::ProgramFileFolder());
    CPellanDoc doc(env, folders.config);
    CPellanView view(doc, sink);
    InstallStandardJobs(view);
    if (!folders.besideProgram) {
        LineController& controller = LineControllerOf(view);
        std::lock_guard<std::mutex> lock(controller.mutex);
        controller.logFolder = folders.state / "Logs";
    }
    struct ControllerRelease {
        CPellanView& view;
        ~ControllerRelease() { ReleaseLineController(view); }
    } release{view};

    std::string error;
    if (!ApplyOptions(options, doc, env, folders.data, error)) {
        return Failed(sink, error);
    }
    view.m_pacedReplies = options.pacedReplies ? 1 : 0;
    view.m_singleSwitch = options.singleSwitch ? 1 : 0;
    view.m_allowOtherImei = options.otherImei ? 1 : 0;
    const int firstLine = options.lines.front();
    const std::shared_ptr<history::HistoryRecorder> recorder = history::MakeStationHistory(
        historyOptions.address, folders.config, GetField(doc.Record(firstLine).nvFolder));
    SetLineHistory(view, recorder);
    if (options.command == "history") {
        return RunHistory(*recorder, historyOptions, sink);
    }
    if (options.command == "ports" || options.command == "info") {
        return RunQuery(doc, sink, options, options.command == "info");
    }

    bool uiRunning = false;
    const std::unique_ptr<platform::NamedMutex> mutex = TakeConnectionManagerMutex(env, uiRunning);
    if (uiRunning) {
        view.MessageBox(kUiRunningText);
        return Failed(sink, kUiRunningText);
    }
    // The form's start-up writes the firmware set for every job: the jobs take the programmer's
    // path from it.
    if (!InstallFirmwareSet(view)) {
        return Failed(sink, sink.LastMessageBox(options.lines.front()));
    }
    const JobKind kind = options.command == "backup-nv"    ? JOB_NV_BACKUP
                         : options.command == "restore-nv" ? JOB_NV_RESTORE
                                                           : JOB_UPDATE;
    if (historyOptions.fromArchive) {
        // One archived backup belongs to one stick: it is never restored into several at once.
        if (options.lines.size() != 1 || options.allLines) {
            return Failed(sink, "--from-archive restores one line's stick; name one line.");
        }
        if (!ChooseArchivedBackup(view, firstLine, historyOptions, sink, error)) {
            DeleteFirmwareSet(view);
            return Failed(sink, error);
        }
    }
    bool allPassed = false;
    const int result = RunLineJobs(view, sink, options, kind, allPassed);
    if (!allPassed || !sink.EndRequested()) {
        // What closing the window does: the successful update has done both itself.
        DeleteFirmwareSet(view);
        StartConnectionManager(view);
    }
    return result;
}

}  // namespace
}  // namespace pellan::cli

int main(int argc, char* argv[]) {
    int status = 0;
    const std::optional<pellan::cli::CliOptions> options =
        pellan::cli::ParseCliOptions(argc, argv, status);
    if (!options) {
        return status;
    }
    return pellan::cli::Run(*options, options->history);
}
