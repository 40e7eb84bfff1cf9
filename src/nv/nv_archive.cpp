#include "nv/nv_archive.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "nv/nvm_store.h"
#include "platform/file_sync.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxSameSecond = 100;

fs::path NumberedName(const fs::path& folder, const std::string& stamp, int n) {
    return folder / (n == 1 ? stamp + ".nvm" : stamp + "-" + std::to_string(n) + ".nvm");
}

// Orders "<stamp>.nvm" and "<stamp>-<n>.nvm" by stamp, then by n (a plain sort would put "-2"
// before the file it came after).
std::pair<std::string, int> ArchiveOrder(const fs::path& file) {
    const std::string stem = file.stem().string();
    const size_t dash = stem.rfind('-');
    if (dash != std::string::npos && dash + 1 < stem.size() && stem.size() - dash <= 5 &&
        std::all_of(stem.begin() + static_cast<long>(dash) + 1, stem.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        return {stem.substr(0, dash), std::stoi(stem.substr(dash + 1))};
    }
    return {stem, 1};
}

}  // namespace

bool ValidImeiText(const std::string& imei) {
    return imei.size() == 15 &&
           std::all_of(imei.begin(), imei.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string BackupImei(const NvmTable& table) {
    for (const NvItemRecord& record : table) {
        if (record.itemId >= kNvEndMarker) {
            break;
        }
        if (record.itemId != kNvImeiItem) {
            continue;
        }
        if (record.status != 0) {
            return {};
        }
        // Packed BCD: digit 1 in the high nibble of byte 1, then low and high nibble of bytes 2..8.
        std::string digits(1, static_cast<char>('0' + (record.data[1] >> 4)));
        for (size_t byte = 2; byte <= 8; ++byte) {
            digits += static_cast<char>('0' + (record.data[byte] & 0x0F));
            digits += static_cast<char>('0' + (record.data[byte] >> 4));
        }
        if (!ValidImeiText(digits) || digits == std::string(15, '0')) {
            return {};
        }
        return digits;
    }
    return {};
}

std::string ArchiveFolderName(const NvmTable& table, uint32_t esn, uint32_t noEsn) {
    const std::string imei = BackupImei(table);
    if (!imei.empty()) {
        return imei;
    }
    if (esn == noEsn) {
        return "ESN-unknown";
    }
    char text[16];
    std::snprintf(text, sizeof text, "ESN-%08X", static_cast<unsigned>(esn));
    return text;
}

bool ArchiveNvmFile(const fs::path& archiveRoot, const std::string& folder,
                    const std::vector<uint8_t>& bytes, const std::string& stamp, fs::path& written,
                    std::string& error) {
    written.clear();
    const fs::path dir = archiveRoot / folder;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ", " + ec.message();
        return false;
    }
    const fs::path partial = dir / (stamp + ".nvm.partial");
    fs::remove(partial, ec);
    if (!platform::WriteFileDurably(partial, bytes.data(), bytes.size(), true, error)) {
        fs::remove(partial, ec);
        return false;
    }
    // A link fails when the name is taken, so two writers can never land on one name; where the
    // file system has no links, a rename onto a name found free is the fallback.
    for (int n = 1; n <= kMaxSameSecond; ++n) {
        const fs::path target = NumberedName(dir, stamp, n);
        fs::create_hard_link(partial, target, ec);
        if (!ec) {
            fs::remove(partial, ec);
            written = target;
            break;
        }
        if (fs::exists(target)) {
            continue;
        }
        fs::rename(partial, target, ec);
        if (!ec) {
            written = target;
            break;
        }
        error = "cannot name " + target.string() + ", " + ec.message();
        fs::remove(partial, ec);
        return false;
    }
    if (written.empty()) {
        error = "no free name for the archive in " + dir.string();
        fs::remove(partial, ec);
        return false;
    }
    std::string reason;
    platform::SyncFolder(dir, reason);
    return true;
}

std::vector<fs::path> UsableArchivedBackups(const fs::path& archiveRoot,
                                            const std::string& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(archiveRoot / folder, ec)) {
        if (entry.is_regular_file(ec) && entry.path().extension() == ".nvm") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return ArchiveOrder(a) > ArchiveOrder(b);
    });
    std::vector<fs::path> usable;
    for (const fs::path& file : files) {
        NvmTable table;
        if (LoadNvmFile(file, table) != NvmLoad::OK) {
            continue;
        }
        const std::string imei = BackupImei(table);
        if (!imei.empty() && (!ValidImeiText(folder) || imei == folder)) {
            usable.push_back(file);
        }
    }
    return usable;
}

}  // namespace pellan
