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
        OpenJobLog(view, line, kind, startedAt);
        if (nvJob) {
            BeginJobHistory(view, line, kind);
        }
        job(view, line);
        if (nvJob) {
            if (kind == JOB_NV_BACKUP && view.LastJobEnd(line).code == 1) {
                ArchiveLineBackup(view, line, GetField(view.Doc().Record(line).nvmFilePath), true);
            }
            RecordJobHistory(view, line, kind, {});
        }
        view.Account(line).Result(false, -1, "The job ended without a result.");
        CloseJobLog(view, line);
        phase = static_cast<int>(LineJobPhase::IDLE);
    };
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

std::filesystem::path OpenJobLog(CPellanView& view, int line, JobKind kind,
                                 std::chrono::system_clock::time_point startedAt) {
    CloseJobLog(view, line);
    std::unique_ptr<JobLogFile> log = JobLogFile::Create(LogFolder(view, line), line, startedAt);
    if (!log) {
        return {};
    }
    CPellanDoc& doc = view.Doc();
    const LocalTime at = LocalTimeAt(startedAt);
    char started[64];
    std::snprintf(started, sizeof started, "%04d-%02d-%02d %02d:%02d:%02d", at.year, at.month,
                  at.day, at.hour, at.minute, at.second);
    std::string header = std::string("pellan ") + PELLAN_VERSION + " job log\n" +
                         "Job: " + JobKindKey(kind) + " on line " + std::to_string(line + 1) +
                         ", started " + started + "\n";
    if (kind == JOB_UPDATE || kind == JOB_REPAIR) {
        const std::string folder = GetField(doc.Record(0).firmwareFolder);
        header += "Firmware set: " + folder + "\n";
        for (const ImageDigest& file : FolderImages(folder)) {
            header += "  " + file.name + "  " + std::to_string(file.size) + " bytes  MD5 " +
                      (file.md5.empty() ? "(unreadable)" : file.md5) + "\n";
        }
    }
    const std::string location = doc.Bindings().Location(line);
    header += "Stick: port COM" + std::to_string(doc.LineDiagPort(line)) + ", location " +
              (location.empty() ? "-" : location) + ", current version " +
              CurrentVersionText(doc, line) + ", second version " +
              GetField(doc.Runtime(line).secondVersion) + "\n\n";
    log->WriteText(header);
    LineController& controller = LineControllerOf(view);
    const auto slot = static_cast<size_t>(line);
    JobLogFile* file = log.get();
    controller.jobLogs[slot] = std::move(log);
    controller.jobLogListeners[slot] =
        view.Account(line).AddListener([file](const JobEvent& event) { file->Write(event); });
    return file->Path();
}

void CloseJobLog(CPellanView& view, int line) {
    LineController& controller = LineControllerOf(view);
    const auto slot = static_cast<size_t>(line);
    if (!controller.jobLogs[slot]) {
        return;
    }
    view.Account(line).RemoveListener(controller.jobLogListeners[slot]);
    controller.jobLogs[slot]->Close();
    controller.jobLogs[slot].reset();
}

std::string CurrentVersionText(CPellanDoc& doc, int line) {
    const std::string read = GetField(doc.Runtime(line).currentVersion);
    return doc.Runtime(line).phoneState.load() == 2 && !read.empty() ? read
                                                                     : doc.FallbackVersion(line);
}

}  // namespace pellan
