#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "diag/line_record.h"
#include "line/connection_manager.h"
#include "line/job_history.h"
#include "line/job_log.h"

namespace pellan {

class LineStation;

// Where a line's job stands, as the end of a successful update needs to know it.
enum class LineJobPhase : int { IDLE, RUNNING, ENDING };

// The line controller's state kept per station: the connection manager with its flags, the job
// settings that are not part of the line records, and what each line's job is doing.
struct LineController {
    explicit LineController(platform::Env& env) : connectionManager(env) {}

    CConnectionManager connectionManager;

    // The stick identities the update accepts: a stick passes when its identity contains one
    // of them. An empty marker only counts when both are empty (then every stick passes).
    std::array<std::string, 2> modelMarkers{"HX402A", ""};
    // Folder of the job log files; empty: "Logs" inside the line's NV folder (where the
    // failure message sends the user), or inside the program folder when the NV folder is not
    // set or does not exist.
    std::filesystem::path logFolder;

    // The ninth text of the stick's version set as ReadStickVersion read it, per line.
    std::array<std::string, kLineCount> stickIdentity;
    std::array<std::atomic<int>, kLineCount> phase{};
    // The history of the jobs and NV backups, and what each line's job notes for its row.
    std::shared_ptr<history::HistoryRecorder> history;
    std::array<JobFacts, kLineCount> facts;
    // The open job log of each line and its listener on the line's account (job thread only).
    std::array<std::unique_ptr<JobLogFile>, kLineCount> jobLogs;
    std::array<int, kLineCount> jobLogListeners{};

    mutable std::mutex mutex;  // guards modelMarkers, logFolder, stickIdentity and history
    // Update jobs between their connection-manager stop and their end (EnterStation).
    std::mutex stationMutex;
    int stationJobs = 0;
};

// The station's line controller, created on first use with the document's environment.
LineController& LineControllerOf(LineStation& station);
// Forgets the station's controller; front ends call it before they destroy the station.
void ReleaseLineController(LineStation& station);

// Installs the four job kinds with their start checks: 1 update, 2 repair (does nothing),
// 3 NV backup, 4 NV restore. Gives the station a fresh line controller.
void InstallStandardJobs(LineStation& station);

// Opens the job's log file in the log folder ("Line1_20120305_090703.log", see JobLogFile) with
// its header (program version, job, firmware set, stick) and lets it follow the line's account.
// Returns the file, or empty when it could not be created.
std::filesystem::path OpenJobLog(LineStation& station, int line, JobKind kind,
                                 std::chrono::system_clock::time_point startedAt);
// The stick's current version as read, or the fallback text when no version set was read.
std::string CurrentVersionText(LineStation& station, int line);
// Ends the job log of the line (it is forced onto the disk); nothing when none is open.
void CloseJobLog(LineStation& station, int line);

}  // namespace pellan
