#include "line/standard_jobs.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <system_error>

#include "firmware/firmware_set.h"
#include "line/update_job.h"
#include "nv/nv_backup.h"
#include "nv/nv_restore.h"
#include "ui/log_stamp.h"
#include "ui/pellan_view.h"

namespace pellan {

namespace {

std::mutex g_controllersMutex;
std::map<const CPellanView*, std::shared_ptr<LineController>> g_controllers;

std::shared_ptr<LineController> NewController(CPellanView& view) {
    return std::make_shared<LineController>(view.Doc().Env());
}

// Runs a job procedure with the bookkeeping the end of a successful update relies on. The NV jobs
// get their log file and history row here; the update writes both itself, before the program
// ends.
std::function<void(CPellanView&, int)> Tracked(void (*job)(CPellanView&, int), JobKind kind) {
    return [job, kind](CPellanView& view, int line) {
        LineController& controller = LineControllerOf(view);
        std::atomic<int>& phase = controller.phase[static_cast<size_t>(line)];
        phase = static_cast<int>(LineJobPhase::RUNNING);
        const auto startedAt = std::chrono::system_clock::now();
        const bool nvJob = kind == JOB_NV_BACKUP || kind == JOB_NV_RESTORE;
        if (nvJob) {
            BeginJobHistory(view, line, kind);
        }
        job(view, line);
        if (nvJob) {
            if (kind == JOB_NV_BACKUP && view.LastJobEnd(line).code == 1) {
                ArchiveLineBackup(view, line, GetField(view.Doc().Record(line).nvmFilePath), true);
            }
            RecordJobHistory(view, line, kind, {});
            WriteLineLogFile(view, line, startedAt);
        }
        phase = static_cast<int>(LineJobPhase::IDLE);
    };
}

std::string FileStamp(std::chrono::system_clock::time_point at) {
    const LocalTime local = LocalTimeAt(at);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d_%02d%02d%02d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second);
    return stamp;
}

std::filesystem::path LogFolder(CPellanView& view, int line) {
    LineController& controller = LineControllerOf(view);
    {
        std::lock_guard<std::mutex> lock(controller.mutex);
        if (!controller.logFolder.empty()) {
            return controller.logFolder;
        }
    }
    // Beside the NV backups, where the user looks for the job's files; never by making a missing
    // NV folder, which would hide the missing folder from the next job's check.
    const std::string nvFolder = GetField(view.Doc().Record(line).nvFolder);
    std::error_code ec;
    if (!nvFolder.empty() && std::filesystem::is_directory(nvFolder, ec)) {
        return std::filesystem::path(nvFolder) / "Logs";
    }
    return view.Doc().ProgramFolder() / "Logs";
}

}  // namespace

LineController& LineControllerOf(CPellanView& view) {
    std::lock_guard<std::mutex> lock(g_controllersMutex);
    std::shared_ptr<LineController>& controller = g_controllers[&view];
    if (!controller) {
        controller = NewController(view);
    }
    return *controller;
}

void ReleaseLineController(CPellanView& view) {
    std::lock_guard<std::mutex> lock(g_controllersMutex);
    g_controllers.erase(&view);
}

void InstallStandardJobs(CPellanView& view) {
    {
        std::lock_guard<std::mutex> lock(g_controllersMutex);
        g_controllers[&view] = NewController(view);
    }
    view.SetJobProcedures(
        JOB_UPDATE, {[](CPellanView& v, int line) { return CheckLineFirmware(v, line, true); },
                     Tracked(&UpdateJob, JOB_UPDATE)});
    view.SetJobProcedures(
        JOB_REPAIR, {[](CPellanView& v, int line) { return CheckLineFirmware(v, line, false); },
                     [](CPellanView&, int) {}});
    view.SetJobProcedures(JOB_NV_BACKUP,
                          {&CheckBackupNvStart, Tracked(&BackupNvJob, JOB_NV_BACKUP)});
    view.SetJobProcedures(JOB_NV_RESTORE,
                          {&CheckRestoreNvStart, Tracked(&RestoreNvJob, JOB_NV_RESTORE)});
}

std::filesystem::path WriteLineLogFile(CPellanView& view, int line,
                                       std::chrono::system_clock::time_point startedAt) {
    const std::filesystem::path folder = LogFolder(view, line);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string base = "Line" + std::to_string(line + 1) + "_" + FileStamp(startedAt);
    std::filesystem::path file = folder / (base + ".log");
    // Two jobs of one line started within a second keep their own files.
    for (int n = 2; std::filesystem::exists(file, ec); ++n) {
        file = folder / (base + "_" + std::to_string(n) + ".log");
    }
    std::ofstream out(file, std::ios::binary);
    if (!out) {
        return {};
    }
    out << view.LineLog(line);
    out.close();
    return out ? file : std::filesystem::path();
}

}  // namespace pellan
