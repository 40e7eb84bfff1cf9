// pellan-cli: the updater without a window. It drives one line of the same view and jobs as the
// desktop program, prints every status line as it enters the line log and answers message boxes
// itself (they go to standard error).
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli_options.h"
#include "cli_sink.h"
#include "firmware/firmware_set.h"
#include "history_commands.h"
#include "line/connection_manager.h"
#include "line/job_history.h"
#include "line/standard_jobs.h"
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
constexpr int kExitUsage = 2;
constexpr int kBaud = 115200;

// The program's end for a failed command: the reason is the last line of standard output.
int Failed(CliSink& sink, const std::string& text) {
    sink.PrintLine(text);
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
    if (!ChooseNvFolder(doc, nvFolder, error)) {
        return false;
    }
    if (!options.defaultNv.empty() && !ChooseDefaultNvFile(doc, options.defaultNv, error)) {
        return false;
    }
    if (!options.firmwareDir.empty() && !UseFirmwareFolder(options.firmwareDir, error)) {
        return false;
    }
    return true;
}

int RunPorts(CPellanDoc& doc, CliSink& sink, int line) {
    if (!doc.DiscoverPorts(line)) {
        return Failed(sink, "No stick found.");
    }
    sink.PrintLine("DIAG port: COM" + std::to_string(doc.Record(line).diagPort));
    sink.PrintLine("AT port: COM" + std::to_string(doc.Record(line).atPort));
    return kExitSuccess;
}

int RunInfo(CPellanDoc& doc, CliSink& sink, int line) {
    if (!doc.DiscoverPorts(line)) {
        return Failed(sink, "No stick found.");
    }
    doc.ReopenDiagPort(line, doc.Record(line).diagPort, kBaud);
    doc.ReopenAtPort(line, doc.Record(line).atPort, kBaud);
    const bool answered = doc.QueryPhone(line);
    sink.PrintLine("DIAG port: COM" + std::to_string(doc.Record(line).diagPort));
    sink.PrintLine("AT port: COM" + std::to_string(doc.Record(line).atPort));
    if (!answered) {
        return Failed(sink, "No Phone");
    }
    sink.PrintLine("Current version: " + doc.DisplayText(line, 0));
    sink.PrintLine("Second version: " + doc.DisplayText(line, 1));
    sink.PrintLine("Identity: " + doc.DisplayText(line, 2));
    sink.PrintLine("Fallback version: " + doc.FallbackVersion(line));
    return kExitSuccess;
}

// Polls the line until its stick answers, then starts the job of `kind` and waits for its end.
int RunLineJob(CPellanView& view, CliSink& sink, int line, JobKind kind) {
    CPellanDoc& doc = view.Doc();
    doc.Runtime(line).jobKind = kind;
    view.StartLinePolling(line);
    if (doc.Runtime(line).phoneState.load() != 2) {
        std::fprintf(stderr, "Waiting for the stick of line %d...\n", line + 1);
    }
    while (doc.Runtime(line).phoneState.load() != 2) {
        doc.Clock().SleepMs(50);
    }
    sink.JobStarted();
    if (!view.StartLineJob(line)) {
        const std::string box = sink.LastMessageBox();
        return Failed(sink, box.empty() ? "The job was not started." : box);
    }
    view.WaitLineJob(line);
    const std::string text = sink.ResultText();
    if (sink.Passed()) {
        sink.PrintLine(text);
        return kExitSuccess;
    }
    return Failed(sink, text);
}

int Run(const CliOptions& options, const HistoryOptions& historyOptions) {
    platform::SystemEnv system(options.deviceRoot, options.fast);
    platform::Env& env = system.Get();
    CliSink sink(options.line, platform::StdoutIsTerminal());
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
    const int line = options.line;
    const std::shared_ptr<history::HistoryRecorder> recorder = history::MakeStationHistory(
        historyOptions.address, folders.config, GetField(doc.Record(line).nvFolder));
    SetLineHistory(view, recorder);
    if (options.command == "history") {
        return RunHistory(*recorder, historyOptions, sink);
    }
    if (options.command == "ports") {
        return RunPorts(doc, sink, line);
    }
    if (options.command == "info") {
        return RunInfo(doc, sink, line);
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
        return Failed(sink, sink.LastMessageBox());
    }
    const JobKind kind = options.command == "backup-nv"    ? JOB_NV_BACKUP
                         : options.command == "restore-nv" ? JOB_NV_RESTORE
                                                           : JOB_UPDATE;
    if (historyOptions.fromArchive &&
        !ChooseArchivedBackup(view, line, historyOptions, sink, error)) {
        DeleteFirmwareSet(view);
        return Failed(sink, error);
    }
    const int result = RunLineJob(view, sink, line, kind);
    if (!sink.EndRequested()) {
        // What closing the window does: the successful update has done both itself.
        DeleteFirmwareSet(view);
        StartConnectionManager(view);
    }
    return result;
}

}  // namespace
}  // namespace pellan::cli

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(pellan::cli::UsageText(), stdout);
            std::fputs(pellan::cli::HistoryUsageText(), stdout);
            return 0;
        }
    }
    std::string error;
    std::vector<std::string> args(argv + 1, argv + argc);
    pellan::cli::HistoryOptions history;
    std::optional<pellan::cli::CliOptions> options;
    if (pellan::cli::TakeHistoryOptions(args, history, error)) {
        std::vector<const char*> rest{argv[0]};
        for (const std::string& arg : args) {
            rest.push_back(arg.c_str());
        }
        options = pellan::cli::ParseCliOptions(static_cast<int>(rest.size()), rest.data(), error);
    }
    if (options && !pellan::cli::CheckHistoryOptions(history, options->command, error)) {
        options.reset();
    }
    if (!options) {
        std::fprintf(stderr, "pellan-cli: %s\n%s%s", error.c_str(), pellan::cli::UsageText(),
                     pellan::cli::HistoryUsageText());
        return pellan::cli::kExitUsage;
    }
    return pellan::cli::Run(*options, history);
}
