#include "firmware/firmware_set.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

#include "platform/paths.h"
#include "platform/resources.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

// The most lines a station has; the deletion keeps one bit per line.
constexpr size_t kMostLines = 8;

struct CheckedFile {
    const char* name;
    const char* cannotOpen;
    const char* tooShort;
};

// The files a job needs before it may start, in the order they are checked. armprg.bin and
// efs.mbn are left to the steps that open them.
constexpr std::array<CheckedFile, 6> kCheckedFiles = {{
    {"partition.mbn", "Line%d: can't open partition.mbn!", "Line%d: Open wrong partition.mbn! "},
    {"dbl.mbn", "Line%d: can't open dbl.mbn!", "Line%d: Open wrong dbl.mbn! "},
    {"fsbl.mbn", "Line%d: can't open fsbl.mbn!", "Line%d: Open wrong fsbl.mbn! "},
    {"osbl.mbn", "Line%d: can't open osbl.mbn!", "Line%d: Open wrong osbl.mbn! "},
    {"amss.mbn", "Line%d: can't open amss.mbn!", "Line%d: Open wrong amss.mbn! "},
    {"nandprgcombined.mbn", "Line%d: can't open nandprgcombined.mbn!",
     "Line%d: Open wrong nandprgcombined.mbn! "},
}};

// The deletion order of the set.
constexpr std::array<const char*, 8> kDeletionOrder = {
    "amss.mbn", "armprg.bin",          "dbl.mbn",      "efs.mbn", "fsbl.mbn",
    "osbl.mbn", "nandprgcombined.mbn", "partition.mbn"};

std::string WithLine(const char* pattern, int line) {
    std::string text = pattern;
    const size_t at = text.find("%d");
    if (at != std::string::npos) {
        text.replace(at, 2, std::to_string(line + 1));
    }
    return text;
}

std::string FileOf(const std::string& folder, const char* name) {
    return folder + platform::FolderSeparator() + name;
}

enum class FileCheck { Ok, CannotOpen, TooShort };

// Opening a folder fails on Windows; the POSIX stand-in refuses anything but a regular file too.
FileCheck CheckFile(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        return FileCheck::CannotOpen;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return FileCheck::CannotOpen;
    }
    const auto size = fs::file_size(path, ec);
    return ec || size < 2 ? FileCheck::TooShort : FileCheck::Ok;
}

// The Windows read-only attribute stops a replacement whoever runs the program; on POSIX root
// could replace anything, so the write permission bits stand for that attribute.
bool IsReadOnly(const fs::file_status& status) {
    constexpr fs::perms anyWrite =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return (status.permissions() & anyWrite) == fs::perms::none;
}

std::string TemporaryName(const std::string& fileName) {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    return "." + fileName + "." + std::to_string(generator() % 1000000000ull) + ".part";
}

bool WriteWhole(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    return static_cast<bool>(file);
}

// A deletion that had to wait for other lines. Lines that have finished with the set do not hold
// it back any more; the first line to pass the checks again takes its claim back.
struct DeferredDeletion {
    std::mutex mutex;
    bool pending = false;
    std::bitset<kMostLines> released;
};

DeferredDeletion& Deferred() {
    static DeferredDeletion deferred;
    return deferred;
}

int RunningLinesHolding(const FirmwareLines& lines, const std::bitset<kMostLines>& released) {
    int count = 0;
    const int lineCount = std::min(lines.count, static_cast<int>(kMostLines));
    for (int line = 0; line < lineCount; ++line) {
        if (lines.running(line) && !released.test(static_cast<size_t>(line))) {
            ++count;
        }
    }
    return count;
}

void DeleteSetNow(const std::string& folder) {
    for (const char* name : kDeletionOrder) {
        std::string path;
        if (FileInFolder(path, folder, name)) {
            std::error_code ec;
            fs::remove(path, ec);
        }
    }
    std::error_code ec;
    fs::remove(folder, ec);  // only when empty: whatever could not be deleted keeps it
}

// Firmware taken from a folder on the command line: owned here for the rest of the run.
struct FolderSet {
    std::vector<std::vector<uint8_t>> images;
    std::vector<platform::ResourceEntry> entries;
    platform::ResourceTable table;
};

}  // namespace

std::string WorkingFolder(const fs::path& deviceRoot) {
    return platform::MapWindowsPath(kWorkingFolderWindows, platform::DriveRoot(deviceRoot))
        .string();
}

std::vector<std::string> WorkingFolderLevels(const fs::path& deviceRoot) {
    const fs::path root = platform::DriveRoot(deviceRoot);
    std::vector<std::string> levels;
    if (!root.empty()) {
        levels.push_back(platform::MapDriveOf(kWorkingFolderWindows, root).string());
    }
    for (const char* level : kWorkingFolderLevelsWindows) {
        levels.push_back(platform::MapWindowsPath(level, root).string());
    }
    return levels;
}

std::string FirmwareFileIn(const std::string& folder, const char* name) {
    return FileOf(folder, name);
}

bool InstallFirmwareSet(const fs::path& deviceRoot, const FirmwareMessage& messageBox) {
    if (deviceRoot.empty()) {
        // The per-user folder is ours to make; a device root must be there already.
        std::error_code ec;
        fs::create_directories(platform::DriveRoot(deviceRoot), ec);
    }
    for (const std::string& level : WorkingFolderLevels(deviceRoot)) {
        if (!EnsureFolder(level)) {
            messageBox("source file path error!");
            return false;
        }
    }
    const std::string folder = WorkingFolder(deviceRoot);
    for (const FirmwareFile& file : kFirmwareFiles) {
        ExtractFirmwareFile(file.resourceId, folder, file.name);
    }
    return true;
}

bool EnsureFolder(const std::string& path) {
    if (platform::FolderExists(path)) {
        return true;
    }
    std::error_code ec;
    return fs::create_directory(path, ec) && !ec;
}

bool ExtractFirmwareFile(int resourceId, const std::string& folder, const std::string& fileName) {
    const auto bytes = platform::FindModuleResource(resourceId);
    if (!bytes) {
        return false;
    }
    const fs::path target = FileOf(folder, fileName.c_str());
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    if (fs::exists(status) && (!fs::is_regular_file(status) || IsReadOnly(status))) {
        return false;
    }
    const fs::path temporary = fs::path(folder) / TemporaryName(fileName);
    if (!WriteWhole(temporary, *bytes)) {
        fs::remove(temporary, ec);
        return false;
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

bool CheckLineFirmware(const FirmwareCheck& check, const FirmwareMessage& messageBox) {
    const int line = check.line;
    if (check.folder.empty()) {
        messageBox(WithLine(check.english ? "Line%d : You didn't load the firmware"
                                          : "您还没有在线路%d载入要下载的软件文件！",
                            line));
        return false;
    }
    if (check.requireStick && !check.stickFound) {
        messageBox(WithLine(check.english ? "Line%d : No Phone connect!"
                                          : "线路%d对应的串口上并没有检测到有手机连接!",
                            line));
        return false;
    }
    for (const CheckedFile& file : kCheckedFiles) {
        switch (CheckFile(FileOf(check.folder, file.name))) {
            case FileCheck::CannotOpen:
                messageBox(WithLine(file.cannotOpen, line));
                return false;
            case FileCheck::TooShort:
                messageBox(WithLine(file.tooShort, line));
                return false;
            case FileCheck::Ok:
                break;
        }
    }
    if (line >= 0 && line < static_cast<int>(kMostLines)) {
        DeferredDeletion& deferred = Deferred();
        std::lock_guard lock(deferred.mutex);
        deferred.released.reset(static_cast<size_t>(line));
    }
    return true;
}

bool DeleteFirmwareSet(const fs::path& deviceRoot, const FirmwareLines& lines, int finishingLine) {
    DeferredDeletion& deferred = Deferred();
    std::lock_guard lock(deferred.mutex);
    std::bitset<kMostLines> released = deferred.released;
    if (finishingLine >= 0 && finishingLine < static_cast<int>(kMostLines)) {
        released.set(static_cast<size_t>(finishingLine));
    }
    const int holding = RunningLinesHolding(lines, released);
    const int allowed = finishingLine < 0 ? 1 : 0;  // an unnamed caller may be the one line running
    if (holding > allowed) {
        deferred.pending = true;
        deferred.released = released;
        return false;
    }
    DeleteSetNow(WorkingFolder(deviceRoot));
    deferred.pending = false;
    deferred.released.reset();
    return true;
}

bool DeleteDeferredFirmwareSet(const fs::path& deviceRoot, const FirmwareLines& lines) {
    DeferredDeletion& deferred = Deferred();
    std::lock_guard lock(deferred.mutex);
    if (!deferred.pending || RunningLinesHolding(lines, deferred.released) > 0) {
        return false;
    }
    DeleteSetNow(WorkingFolder(deviceRoot));
    deferred.pending = false;
    deferred.released.reset();
    return true;
}

bool FileInFolder(std::string& buffer, const std::string& folder, const std::string& fileName) {
    buffer = platform::JoinFolderText(folder, fileName);
    std::error_code ec;
    return fs::exists(fs::symlink_status(buffer, ec));
}

bool UseFirmwareFolder(const fs::path& folder, std::string& error) {
    auto set = std::make_unique<FolderSet>();
    for (const FirmwareFile& file : kFirmwareFiles) {
        const fs::path path = folder / file.name;
        std::ifstream in(path, std::ios::binary);
        std::error_code ec;
        const auto size = fs::file_size(path, ec);
        if (!in || ec) {
            error = "cannot read " + path.string();
            return false;
        }
        std::vector<uint8_t> bytes(size);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
        if (!in) {
            error = "cannot read " + path.string();
            return false;
        }
        set->images.push_back(std::move(bytes));
    }
    for (size_t i = 0; i < kFirmwareFiles.size(); ++i) {
        set->entries.push_back(
            {kFirmwareFiles[i].resourceId, set->images[i].data(), set->images[i].size()});
    }
    set->table.entries = set->entries;
    // Lives for the rest of the run: the override may be looked up until the program ends.
    static std::unique_ptr<FolderSet> active;
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    platform::SetResourceOverride(&set->table);
    active = std::move(set);
    return true;
}

}  // namespace pellan
