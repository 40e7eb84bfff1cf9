#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "line/line_station.h"

namespace pellan::history {
class HistoryRecorder;
}

namespace pellan {

class LineStation;

// What a line's job notes for its history row while it runs; used by the line's job thread only.
struct JobFacts {
    std::chrono::steady_clock::time_point started;
    std::string startedUtc;
    std::string port;
    std::string location;  // the USB port of the line's stick; empty without locations
    std::string versionBefore;
    std::string versionAfter;  // known after a successful update; the NV jobs change none
    std::string firmwareDigest;
    std::string imei;
    uint32_t blocksRewrittenAtStart = 0;
    int retries = 0;
};

// The history the front end gave the station's lines (none: nothing is recorded).
void SetLineHistory(LineStation& station, std::shared_ptr<history::HistoryRecorder> recorder);
std::shared_ptr<history::HistoryRecorder> LineHistory(LineStation& station);

// At the start of a job of `kind`, on its thread: notes what the row needs from before the job and
// opens the store, which, when it cannot be used, is told once as a status line of the line.
void BeginJobHistory(LineStation& station, int line, JobKind kind);
JobFacts& LineJobFacts(LineStation& station, int line);

// At the job's end: its row, with the job's last result (or `successText` of an update that ended
// well, code 0). A store that fails now is told once by a message box, since the line's last
// status text is the job's result.
void RecordJobHistory(LineStation& station, int line, JobKind kind, const std::string& successText);

// After the line's backup into `nvmPath` succeeded: the copy in the archive by stick and its row.
// `afterResult`: the job has shown its result already, so problems go to a message box.
void ArchiveLineBackup(LineStation& station, int line, const std::string& nvmPath,
                       bool afterResult);

// MD5 over the names and contents of the files in `folder` (sorted by name), in hex; empty when a
// file cannot be read.
std::string FolderDigest(const std::string& folder);

}  // namespace pellan
