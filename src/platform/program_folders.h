#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace pellan::platform {

// Where the program keeps what the Windows build keeps beside the program file: the settings
// file, the NV backups and the job logs. A program unpacked into a folder of its own keeps them
// there, as on Windows. An installed program (/usr/bin is not the user's to write) uses the
// user's XDG base folders instead, each with a "pellan" folder:
//   config  $XDG_CONFIG_HOME/pellan  (~/.config/pellan)       the settings file
//   data    $XDG_DATA_HOME/pellan    (~/.local/share/pellan)  the NV backups (default NV folder)
//   state   $XDG_STATE_HOME/pellan   (~/.local/state/pellan)  the job logs (its Logs folder)
// A variable that is unset, empty or not an absolute path counts as unset, as the XDG base
// directory rules say.
struct ProgramFolders {
    std::filesystem::path config;
    std::filesystem::path data;
    std::filesystem::path state;
    // True when all three are the program's own folder.
    bool besideProgram = true;
};

// The choice itself. `lookup` reads an environment variable (nullopt: unset). `fallbackHome`
// stands for the home folder when HOME is unusable too.
ProgramFolders ChooseProgramFolders(
    const std::filesystem::path& programFolder, bool programFolderWritable,
    const std::function<std::optional<std::string>(const char*)>& lookup,
    const std::filesystem::path& fallbackHome);

// The folders of this process for `programFolder`: writability is tested for the real user,
// the environment is the process's, and the XDG folders are created (owner only) when they are
// used and missing.
ProgramFolders SystemProgramFolders(const std::filesystem::path& programFolder);

}  // namespace pellan::platform
