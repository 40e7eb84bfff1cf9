#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace pellan::platform {

// Files that must survive a crash or a power cut right after they were written (the NV backups).
// Each call reports the system's reason in `error` when it fails and leaves `error` alone when it
// succeeds.

// Writes `len` bytes into `path` and forces them onto the disk before returning. With `exclusive`
// the file must not exist yet (it is never overwritten); otherwise it is created or truncated.
// On failure a partly written file may remain at `path`; the caller removes it.
bool WriteFileDurably(const std::filesystem::path& path, const uint8_t* data, size_t len,
                      bool exclusive, std::string& error);

// Forces what was written into the existing file `path` (by any handle) onto the disk.
bool SyncFile(const std::filesystem::path& path, std::string& error);

// Forces the folder's entries (a file created or renamed in it) onto the disk.
bool SyncFolder(const std::filesystem::path& folder, std::string& error);

}  // namespace pellan::platform
