#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Windows absolute paths of the updater (the firmware working folder, install locations) and the
// native places that stand for them.
//
// A path "X:\a\b" lives at ROOT/X/a/b: the drive letter becomes a folder and the components stay
// unchanged. ROOT is the device root when the program runs against one (--device-root DIR). On the
// real POSIX system it is a per-user folder, $XDG_DATA_HOME/pellan (~/.local/share/pellan when
// XDG_DATA_HOME is unset or not absolute), so the working folder is for instance
// ~/.local/share/pellan/C/Program Files/Windows Service/HX402newversion. A Windows build uses the
// paths as they are.
namespace pellan::platform {

// The folder that stands for the machine's drives: `deviceRoot` when it is set, else the per-user
// folder above (empty on Windows, where drives are real).
std::filesystem::path DriveRoot(const std::filesystem::path& deviceRoot);

// Maps `windowsPath` under `root` as described above. A path without a drive letter is taken as
// relative: its separators are converted and it is returned without the root. Empty components
// (doubled backslashes) are dropped.
std::filesystem::path MapWindowsPath(std::string_view windowsPath,
                                     const std::filesystem::path& root);

// The native folder that stands for the root of the drive of `windowsPath` ("C:\..." -> ROOT/C);
// empty when the path has no drive letter.
std::filesystem::path MapDriveOf(std::string_view windowsPath, const std::filesystem::path& root);

// The separator between a folder text and a file name in the paths of line records.
char FolderSeparator();

// Joins a folder text and a file name the way the updater does: a file-system root ("C:\" on
// Windows, "/" on POSIX) takes the name directly, any other folder gets a separator first.
std::string JoinFolderText(const std::string& folder, const std::string& name);

// True when the file or folder exists; a drive root such as C:\ counts as existing at once, a
// longer path ending with a separator is tested without it, an empty path does not exist.
bool FolderExists(const std::string& path);

}  // namespace pellan::platform
