#include "nv/nvm_store.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/file_sync.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

fs::path FolderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::error_code ec;
    // A folder opens as a stream on POSIX and only fails (by throwing) once read.
    if (!fs::is_regular_file(path, ec)) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return false;
    }
    return !in.bad();
}

// Keeps the file now at `target` under a stamped name beside it, unless there is nothing worth
// keeping (no file, an empty one, or one equal to what replaces it).
bool KeepEarlierBackup(const fs::path& target, const std::vector<uint8_t>& successor,
                       std::string& keptCopy, std::string& error) {
    keptCopy.clear();
    std::error_code ec;
    if (!fs::exists(target, ec)) {
        return true;
    }
    std::vector<uint8_t> earlier;
    if (!ReadWholeFile(target, earlier)) {
        error = "cannot read the earlier backup " + target.string();
        return false;
    }
    if (earlier.empty() || earlier == successor) {
        return true;
    }
    const fs::path first = StampedBackupName(target, NowLocal());
    fs::path copy = first;
    // Two backups within one second: number the later copies, never overwrite one.
    for (int n = 2; fs::exists(copy, ec) || ec; ++n) {
        if (n > 100) {
            error = "cannot find a free name for the copy of the earlier backup";
            return false;
        }
        copy = first;
        copy.replace_filename(first.stem().string() + "-" + std::to_string(n) +
                              first.extension().string());
    }
    std::string reason;
    if (!platform::WriteFileDurably(copy, earlier.data(), earlier.size(), true, reason)) {
        fs::remove(copy, ec);
        error = "cannot keep the earlier backup as " + copy.string() + ", " + reason;
        return false;
    }
    keptCopy = copy.string();
    return true;
}

}  // namespace

fs::path StampedBackupName(const fs::path& target, const LocalTime& when) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "-%04d%02d%02d-%02d%02d%02d", when.year, when.month,
                  when.day, when.hour, when.minute, when.second);
    fs::path copy = target;
    copy.replace_filename(target.stem().string() + stamp + target.extension().string());
    return copy;
}

bool StoreNvmFile(const fs::path& target, const std::vector<uint8_t>& bytes, std::string& keptCopy,
                  std::string& error) {
    keptCopy.clear();
    const fs::path folder = FolderOf(target);
    fs::path partial = target;
    partial += ".partial";
    std::error_code ec;
    std::string reason;
    // A name left by an interrupted run is removed, never written through: created exclusively,
    // the temporary file cannot be a link planted in a folder that others can write, which would
    // make us overwrite whatever file it points at.
    fs::remove(partial, ec);
    if (!platform::WriteFileDurably(partial, bytes.data(), bytes.size(), true, reason)) {
        fs::remove(partial, ec);
        error = reason;
        return false;
    }
    if (!KeepEarlierBackup(target, bytes, keptCopy, error)) {
        fs::remove(partial, ec);
        return false;
    }
    fs::rename(partial, target, ec);
    if (ec) {
        fs::remove(partial, ec);
        error = ec.message();
        return false;
    }
    // The new backup is complete on the disk; only the rename's durability is left to ask for, and
    // its failure does not undo the rename.
    platform::SyncFolder(folder, reason);
    return true;
}

bool NvmFileCanBeCreated(const fs::path& path) {
    std::error_code ec;
    if (fs::exists(path, ec)) {
        std::fstream probe(path, std::ios::binary | std::ios::in | std::ios::out);
        return probe.is_open();
    }
    if (ec) {
        return false;
    }
    bool created = false;
    {
        std::ofstream probe(path, std::ios::binary);
        created = probe.is_open();
    }
    if (created) {
        fs::remove(path, ec);
    }
    return created;
}

NvmLoad LoadNvmFile(const fs::path& path, NvmTable& table) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return NvmLoad::CANNOT_OPEN;
    }
    const std::streamoff size = in.tellg();
    if (size != static_cast<std::streamoff>(kNvmFileSize)) {
        return NvmLoad::MALFORMED;
    }
    std::vector<uint8_t> bytes(kNvmFileSize);
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()))) {
        return NvmLoad::MALFORMED;
    }
    return DecodeNvmFile(bytes, table) == NvmFileCheck::OK ? NvmLoad::OK : NvmLoad::MALFORMED;
}

}  // namespace pellan
