#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "nv/nvm_file.h"
#include "platform/log_stamp.h"

namespace pellan {

// The NVM files on disk. A backup is the only copy of a stick's calibration and IMEI, so a file is
// replaced only by a complete, flushed successor, and a replaced backup is kept beside it.

// The name the earlier backup gets when a new one replaces it: "Channel1.nvm" becomes
// "Channel1-20261206-074549.nvm" (local time, as the line log), keeping the extension so the copy
// can be chosen as a default NV file.
std::filesystem::path StampedBackupName(const std::filesystem::path& target, const LocalTime& when);

// Writes `bytes` as the file `target`: first into a temporary file in the same folder, flushed to
// the disk, then renamed over `target`. An existing, different `target` is first kept as a
// time-stamped copy (its name goes to `keptCopy`, which is cleared when nothing was kept). On
// failure `target` is unchanged, no temporary file remains and `error` says what failed.
bool StoreNvmFile(const std::filesystem::path& target, const std::vector<uint8_t>& bytes,
                  std::string& keptCopy, std::string& error);

// True when the NVM file could be written at `path`, without changing an existing one: an existing
// file is opened for writing without truncation, a missing one is created and removed again.
bool NvmFileCanBeCreated(const std::filesystem::path& path);

enum class NvmLoad { OK, CANNOT_OPEN, MALFORMED };

// Reads an NVM file for a restore. MALFORMED: the size is not 115,600 bytes, or no record carries
// the end marker.
NvmLoad LoadNvmFile(const std::filesystem::path& path, NvmTable& table);

}  // namespace pellan
