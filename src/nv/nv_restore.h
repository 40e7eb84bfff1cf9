#pragma once

#include <array>
#include <string>

#include "diag/line_record.h"

namespace pellan {

struct LineContext;

// Writes the NV items of the NVM file `path` back into the line's stick by the document's NvMode
// (progress from 83, or 3 per record in NV_MODE_NONE). False when the file cannot be opened, when
// it is not a well-formed NVM file (exact size and an end marker; a message box says so and the
// stick is not touched), or when an item write fails twice, which leaves the stick offline.
bool RestoreNvFromFile(LineContext& line, const std::string& path);

// The line job "Restore NV".
void RestoreNvJob(LineContext& line);

// The checks before a "Restore NV" job starts (after the default NV file check that every job
// kind gets): a stick found on the line and an NV folder chosen.
bool CheckRestoreNvStart(LineContext& line);

// The file a restore of `line` reads in the document's NvMode: the line's NVM file in modes 0..2,
// the default NV file (line 1's copy, for every line) in mode 3, empty in any other mode.
std::string NvRestoreSource(const LineContext& line);

// The default NV file chooser: the file must exist; its path goes into all eight line records.
// Refused (nothing changed, `error` says why) when the file does not exist or its path would not
// fit the records.
bool ChooseDefaultNvFile(std::array<LineRecord, kLineCount>& records, const std::string& path,
                         std::string& error);

}  // namespace pellan
