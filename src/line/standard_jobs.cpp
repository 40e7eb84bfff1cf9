#include "line/standard_jobs.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <system_error>

#include "firmware/firmware_set.h"
#include "line/line_station.h"
#include "line/station_firmware.h"
#include "line/update_job.h"
#include "nv/nv_backup.h"
#include "nv/nv_restore.h"
#include "platform/log_stamp.h"

namespace pellan {

namespace {

std::mutex g_controllersMutex;
std::map<const LineStation*, std::shared_ptr<LineController>> g_controllers;

std::shared_ptr<LineController> NewController(LineStation& station) {
    return std::make_shared<LineController>(station.Env());
}

// Runs a job procedure with the bookkeeping the end of a successful update relies on. The NV jobs
// get their log file and history row here; the update writes both itself, before the program
// ends.
std::function<void(LineStation&, int)> Tracked(void (*job)(LineStation&, int), JobKind kind) {
    return [job, kind](LineStation& station, int line) {
        LineController& controller = LineControllerOf(station);
        std::atomic<int>& phase = controller.phase[static_cast<size_t>(line)];
        phase = static_cast<int>(LineJobPhase::RUNNING);
        const auto startedAt = std::chrono::system_clock::now();
        const bool nvJob = kind == JOB_NV_BACKUP || kind == JOB_NV_RESTORE;
        OpenJobLog(station, line, kind, startedAt);
        if (nvJob) {
            BeginJobHistory(station, line, kind);
        }
        job(station, line);
        if (nvJob) {
            if (kind == JOB_NV_BACKUP && station.LastJobEnd(line).code == 1) {
                ArchiveLineBackup(station, line, GetField(station.Context(line).record.nvmFilePath),
                                  true);
            }
            RecordJobHistory(station, line, kind, {});
        }
        station.Context(line).account.Result(false, -1, "The job ended without a result.");
        CloseJobLog(station, line);
        phase = static_cast<int>(LineJobPhase::IDLE);
    };
}

std::filesystem::path LogFolder(LineStation& station, int line) {
    LineController& controller = LineControllerOf(station);
    {
        std::lock_guard<std::mutex> lock(controller.mutex);
        if (!controller.logFolder.empty()) {
            return controller.logFolder;
        }
    }
    // Beside the NV backups, where the user looks for the job's files; never by making a missing
    // NV folder, which would hide the missing folder from the next job's check.
    const std::string nvFolder = GetField(station.Context(line).record.nvFolder);
    std::error_code ec;
    if (!nvFolder.empty() && std::filesystem::is_directory(nvFolder, ec)) {
        return std::filesystem::path(nvFolder) / "Logs";
    }
    return station.ProgramFolder() / "Logs";
}

}  // namespace

const char* JobKindKey(JobKind kind) {
    switch (kind) {
        case JOB_UPDATE:
            return "update";
        case JOB_REPAIR:
            return "repair";
        case JOB_NV_BACKUP:
            return "backup-nv";
        case JOB_NV_RESTORE:
            return "restore-nv";
    }
    return "unknown";
}

LineController& LineControllerOf(LineStation& station) {
    std::lock_guard<std::mutex> lock(g_controllersMutex);
    std::shared_ptr<LineController>& controller = g_controllers[&station];
    if (!controller) {
        controller = NewController(station);
    }
    return *controller;
}

void ReleaseLineController(LineStation& station) {
    std::lock_guard<std::mutex> lock(g_controllersMutex);
    g_controllers.erase(&station);
}

void InstallStandardJobs(LineStation& station) {
    {
        std::lock_guard<std::mutex> lock(g_controllersMutex);
        g_controllers[&station] = NewController(station);
    }
    station.SetJobProcedures(
        JOB_UPDATE, {[](LineStation& s, int line) { return CheckLineFirmware(s, line, true); },
                     Tracked(&UpdateJob, JOB_UPDATE)});
    station.SetJobProcedures(
        JOB_REPAIR, {[](LineStation& s, int line) { return CheckLineFirmware(s, line, false); },
                     [](LineStation&, int) {}});
    station.SetJobProcedures(
        JOB_NV_BACKUP,
        {[](LineStation& s, int line) { return CheckBackupNvStart(s.Context(line)); },
         Tracked([](LineStation& s, int line) { BackupNvJob(s.Context(line)); }, JOB_NV_BACKUP)});
    station.SetJobProcedures(
        JOB_NV_RESTORE,
        {[](LineStation& s, int line) { return CheckRestoreNvStart(s.Context(line)); },
         Tracked([](LineStation& s, int line) { RestoreNvJob(s.Context(line)); }, JOB_NV_RESTORE)});
}

std::filesystem::path OpenJobLog(LineStation& station, int line, JobKind kind,
                                 std::chrono::system_clock::time_point startedAt) {
    CloseJobLog(station, line);
    std::unique_ptr<JobLogFile> log = JobLogFile::Create(LogFolder(station, line), line, startedAt);
    if (!log) {
        return {};
    }
    LineContext& context = station.Context(line);
    const LocalTime at = LocalTimeAt(startedAt);
    char started[64];
    std::snprintf(started, sizeof started, "%04d-%02d-%02d %02d:%02d:%02d", at.year, at.month,
                  at.day, at.hour, at.minute, at.second);
    std::string header = std::string("pellan ") + PELLAN_VERSION + " job log\n" +
                         "Job: " + JobKindKey(kind) + " on line " + std::to_string(line + 1) +
                         ", started " + started + "\n";
    if (kind == JOB_UPDATE || kind == JOB_REPAIR) {
        const std::string folder = GetField(context.firstRecord.firmwareFolder);
        header += "Firmware set: " + folder + "\n";
        for (const ImageDigest& file : FolderImages(folder)) {
            header += "  " + file.name + "  " + std::to_string(file.size) + " bytes  MD5 " +
                      (file.md5.empty() ? "(unreadable)" : file.md5) + "\n";
        }
    }
    const std::string location = station.Bindings().Location(line);
    header += "Stick: port COM" + std::to_string(context.ports.DiagPort()) + ", location " +
              (location.empty() ? "-" : location) + ", current version " +
              CurrentVersionText(station, line) + ", second version " +
              GetField(context.runtime.secondVersion) + "\n\n";
    log->WriteText(header);
    LineController& controller = LineControllerOf(station);
    const auto slot = static_cast<size_t>(line);
    JobLogFile* file = log.get();
    controller.jobLogs[slot] = std::move(log);
    controller.jobLogListeners[slot] = station.Context(line).account.AddListener(
        [file](const JobEvent& event) { file->Write(event); });
    return file->Path();
}

void CloseJobLog(LineStation& station, int line) {
    LineController& controller = LineControllerOf(station);
    const auto slot = static_cast<size_t>(line);
    if (!controller.jobLogs[slot]) {
        return;
    }
    station.Context(line).account.RemoveListener(controller.jobLogListeners[slot]);
    controller.jobLogs[slot]->Close();
    controller.jobLogs[slot].reset();
}

std::string CurrentVersionText(LineStation& station, int line) {
    const LineContext& context = station.Context(line);
    const std::string read = GetField(context.runtime.currentVersion);
    return context.runtime.phoneState.load() == 2 && !read.empty() ? read
                                                                   : station.FallbackVersion(line);
}

}  // namespace pellan
