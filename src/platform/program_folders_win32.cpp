#include <windows.h>

#include <cstdlib>
#include <system_error>

#include "platform/program_folders.h"

namespace pellan::platform {

namespace {

// Whether this user may create files in `folder`. The access rights of a folder below
// "Program Files" are not visible in its attributes, so a probe file is made and removed.
bool FolderWritable(const std::filesystem::path& folder) {
    const std::filesystem::path probe = folder / "pellan-write-test.tmp";
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // The probe of an earlier crashed run proves the folder writable all the same.
        return GetLastError() == ERROR_FILE_EXISTS;
    }
    CloseHandle(file);
    return true;
}

std::filesystem::path PerUserFolder() {
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        return std::filesystem::path(local) / "pellan";
    }
    std::error_code ec;
    return std::filesystem::temp_directory_path(ec) / "pellan";
}

}  // namespace

// A program unpacked into a folder of its own keeps everything beside it, as the updater always
// did. One installed below "Program Files", where a user may not write, keeps the settings, NV
// backups and job logs in the user's local application data ("%LOCALAPPDATA%\pellan").
ProgramFolders SystemProgramFolders(const std::filesystem::path& programFolder) {
    if (FolderWritable(programFolder)) {
        return {programFolder, programFolder, programFolder, true};
    }
    const std::filesystem::path folder = PerUserFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return {folder, folder, folder, false};
}

}  // namespace pellan::platform
