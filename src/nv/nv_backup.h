#pragma once

#include <array>
#include <string>

#include "diag/line_record.h"

namespace pellan {

struct LineContext;

// Reads the items of NvBackupList from the line's stick and stores them as the NVM file `path`
// (progress 7 towards 15 meanwhile). A single item that cannot be read keeps zero data and its
// failure status; only a file that cannot be written makes the call fail. The earlier file at
// `path` is replaced only by the complete new one and is kept beside it under a time-stamped name.
// On failure the line link's m_lastError names the file and the file error, so callers that show
// m_lastError report the disk fault, not the link's last protocol error.
bool BackupNvToFile(LineContext& line, const std::string& path);

// The line job "Backup NV".
void BackupNvJob(LineContext& line);

// True when the NV folder exists; otherwise a message box names it. It does not create it.
bool CheckNvFolder(LineContext& line, const std::string& folder);

// The checks before a "Backup NV" job starts: a stick found on the line, an NV folder chosen, and
// an NVM file that can be written (an existing backup is not truncated by the check).
bool CheckBackupNvStart(LineContext& line);

// The NVM file path of a line in an NV folder that ends with the path separator.
std::string NvmFilePath(const std::string& nvFolder, int line);

// The NV folder chooser: every line's NV folder becomes `folder` with a trailing separator and
// its NVM file path is rebuilt. Refused (nothing changed, `error` says why) when the folder is
// empty or the paths would not fit the line records.
bool ChooseNvFolder(std::array<LineRecord, kLineCount>& records, const std::string& folder,
                    std::string& error);

}  // namespace pellan
