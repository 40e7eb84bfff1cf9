#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "nv/nvm_file.h"

namespace pellan {

// The NV archive by stick: every backup is also kept as "nv-archive/<IMEI>/<time>.nvm" beside the
// line's NVM files, and no later backup replaces one there, so that a stick's calibration can be
// found by its IMEI long after its line has backed up other sticks. A backup whose IMEI item is
// unread or zero goes to "nv-archive/ESN-<esn>/" instead.
constexpr const char* kNvArchiveFolder = "nv-archive";

// The IMEI that the backup's own item 550 holds, as fifteen digits; empty when the item was not
// read, is all zeros, or holds a nibble that is no decimal digit.
std::string BackupImei(const NvmTable& table);

// True for fifteen decimal digits.
bool ValidImeiText(const std::string& imei);

// The archive folder of a backup: its IMEI, else "ESN-" and the ESN in eight hex digits, else
// "ESN-unknown" when the stick gave no ESN either (kNoEsn).
std::string ArchiveFolderName(const NvmTable& table, uint32_t esn, uint32_t noEsn);

// Writes `bytes` as `<archiveRoot>/<folder>/<stamp>.nvm`: into a temporary file, flushed, then
// linked to its name, which must not exist yet (a numbered name is taken instead); an archived
// file is never replaced. `written` gets the file's path.
bool ArchiveNvmFile(const std::filesystem::path& archiveRoot, const std::string& folder,
                    const std::vector<uint8_t>& bytes, const std::string& stamp,
                    std::filesystem::path& written, std::string& error);

// The archived backups of one stick folder that a restore may use, newest first: well-formed NVM
// files whose item 550 holds an IMEI (the folder's own, for an IMEI folder).
std::vector<std::filesystem::path> UsableArchivedBackups(const std::filesystem::path& archiveRoot,
                                                         const std::string& folder);

}  // namespace pellan
