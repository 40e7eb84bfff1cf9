#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The firmware set: eight images that travel inside the program, written into a fixed working
// folder at start-up, checked before a job, deleted after a successful update and at the end.
namespace pellan {

// A text for the station's message box.
using FirmwareMessage = std::function<void(const std::string& text)>;

// The lines of the station as the set's deletion sees them: how many, and whether one runs a job.
struct FirmwareLines {
    int count = 0;
    std::function<bool(int line)> running;
};

struct FirmwareFile {
    int resourceId;
    const char* name;
};

// The eight files in resource id order, which is also the order of extraction.
inline constexpr std::array<FirmwareFile, 8> kFirmwareFiles = {{
    {161, "amss.mbn"},
    {162, "armprg.bin"},
    {163, "dbl.mbn"},
    {164, "efs.mbn"},
    {165, "fsbl.mbn"},
    {166, "nandprgcombined.mbn"},
    {167, "osbl.mbn"},
    {168, "partition.mbn"},
}};

// The working folder as the Windows program knows it, and the levels made at start-up, outermost
// first (the drive itself is taken to exist).
inline constexpr const char* kWorkingFolderWindows =
    "C:\\Program Files\\Windows Service\\HX402newversion";
inline constexpr std::array<const char*, 3> kWorkingFolderLevelsWindows = {
    "C:\\Program Files", "C:\\Program Files\\Windows Service", kWorkingFolderWindows};

// The native working folder for a run with `deviceRoot` (empty: the real system; see
// platform/paths.h for where that is).
std::string WorkingFolder(const std::filesystem::path& deviceRoot);

// The native folders that start-up makes, outermost first. Under a device root or the per-user
// folder the drive letter is a folder of its own and comes first: a real drive always exists, its
// stand-in may not.
std::vector<std::string> WorkingFolderLevels(const std::filesystem::path& deviceRoot);

// The native path of image `name` in `folder`.
std::string FirmwareFileIn(const std::string& folder, const char* name);

// The firmware part of the form's start-up: makes the working folder of `deviceRoot` level by
// level and writes the eight images into it. False after the message box
// "source file path error!" when a level can be neither found nor made; the caller then ends the
// program. Extraction failures are not looked at (the checks before a job report them).
bool InstallFirmwareSet(const std::filesystem::path& deviceRoot, const FirmwareMessage& messageBox);

// True when `path` exists (as anything) or was created now as a folder.
bool EnsureFolder(const std::string& path);

// Writes module resource `resourceId` as folder/fileName. The bytes go to a temporary file in the
// same folder that then replaces the old file in one rename, so a write that fails half-way (disk
// full) leaves the previous file as it was. An existing read-only file is kept, as is anything
// that is not a regular file. False when nothing was written; nothing is reported.
bool ExtractFirmwareFile(int resourceId, const std::string& folder, const std::string& fileName);

// What the checks before a job look at: the line's firmware folder and, for an update
// (`requireStick`), whether a stick answered on the line; `english` picks the message language.
struct FirmwareCheck {
    int line = 0;
    std::string folder;
    bool requireStick = false;
    bool stickFound = false;
    bool english = true;
};

// The checks before a job of kind update (`requireStick`) or repair on the line. False after a
// message box naming the first failure.
bool CheckLineFirmware(const FirmwareCheck& check, const FirmwareMessage& messageBox);

// Removes the eight files and the working folder (its parents stay); failures are ignored.
// `finishingLine` is the line whose job has finished with the set, or -1 from the window (at its
// destruction no line runs; a call without a line while a single line runs is taken to come from
// that line's job). While another line still runs a job, the deletion is deferred until the last
// of them has ended (DeleteDeferredFirmwareSet). True when the set was deleted now.
bool DeleteFirmwareSet(const std::filesystem::path& deviceRoot, const FirmwareLines& lines,
                       int finishingLine = -1);

// To be called whenever a line's job has ended and its running flag is cleared: carries out a
// deferred deletion once no line that still needs the set runs. True when it deleted the set.
bool DeleteDeferredFirmwareSet(const std::filesystem::path& deviceRoot, const FirmwareLines& lines);

// Joins `folder` and `fileName` into `buffer` (a file-system root takes the name directly) and
// returns whether something of that name exists.
bool FileInFolder(std::string& buffer, const std::string& folder, const std::string& fileName);

// Takes the eight images from `folder` instead of the embedded set (--firmware-dir): they are read
// into memory now and extracted at start-up like the embedded ones. False with `error` when one
// cannot be read; the embedded set then stays in use.
bool UseFirmwareFolder(const std::filesystem::path& folder, std::string& error);

}  // namespace pellan
