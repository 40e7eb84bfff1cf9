#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/program_folders.h"

namespace pellan::platform {

ProgramFolders SystemProgramFolders(const std::filesystem::path& programFolder) {
    const bool writable = access(programFolder.c_str(), W_OK) == 0;
    // Without any home folder (a bare service account) a folder of this user in the temporary
    // area, as the firmware working folder does.
    const std::filesystem::path fallbackHome =
        std::filesystem::temp_directory_path() / ("pellan-" + std::to_string(getuid()));
    ProgramFolders folders = ChooseProgramFolders(
        programFolder, writable,
        [](const char* name) -> std::optional<std::string> {
            const char* value = std::getenv(name);
            return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        },
        fallbackHome);
    if (!folders.besideProgram) {
        for (const std::filesystem::path& folder : {folders.config, folders.data, folders.state}) {
            std::error_code ec;
            if (std::filesystem::create_directories(folder, ec)) {
                // NV backups hold the stick's IMEI: other users have no business reading them.
                std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace, ec);
            }
        }
    }
    return folders;
}

}  // namespace pellan::platform
