#include "firmware/location_data.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace pellan {
namespace {

// Large enough that an 18.9 MB image takes a few dozen reads; a multiple of 4 so that every
// block starts on a candidate offset.
constexpr size_t kScanBlock = 1 << 20;
static_assert(kScanBlock % 4 == 0);

constexpr std::array<uint8_t, 4> kMarkerBytes = {
    static_cast<uint8_t>(kLocationMarker), static_cast<uint8_t>(kLocationMarker >> 8),
    static_cast<uint8_t>(kLocationMarker >> 16), static_cast<uint8_t>(kLocationMarker >> 24)};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

LocationScan ScanLocationData(const std::string& path, uint8_t record[kLocationRecordSize]) {
    return ScanLocationData(path, record, kScanBlock);
}

LocationScan ScanLocationData(const std::string& path, uint8_t record[kLocationRecordSize],
                              size_t blockSize) {
    if (blockSize == 0 || blockSize % 4 != 0) {
        blockSize = kScanBlock;
    }
    std::error_code ec;
    // A folder of that name cannot be opened on Windows; keep it that way here.
    if (!std::filesystem::is_regular_file(path, ec)) {
        return LocationScan::OpenFailed;
    }
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return LocationScan::OpenFailed;
    }
    const uintmax_t length = std::filesystem::file_size(path, ec);
    if (ec) {
        return LocationScan::OpenFailed;
    }

    // No larger than the file: a small file costs no large buffer.
    blockSize = static_cast<size_t>(std::min<uintmax_t>(blockSize, (length + 3) / 4 * 4));
    std::vector<uint8_t> block(std::max<size_t>(blockSize, 4));
    uintmax_t offset = 0;  // of block[0] in the file
    const uint8_t* last = nullptr;
    while (offset + 4 <= length) {
        const size_t want = static_cast<size_t>(std::min<uintmax_t>(block.size(), length - offset));
        const size_t got = std::fread(block.data(), 1, want, file.get());
        for (size_t q = 0; q + 4 <= got; q += 4) {
            last = block.data() + q;
            if (std::memcmp(last, kMarkerBytes.data(), kMarkerBytes.size()) == 0) {
                if (std::fseek(file.get(), static_cast<long>(offset + q), SEEK_SET) != 0) {
                    return LocationScan::OpenFailed;
                }
                std::fread(record, 1, kLocationRecordSize, file.get());
                return LocationScan::Found;
            }
        }
        if (got < want) {
            break;  // the file shrank under us: what was read is all there is
        }
        offset += got;
    }
    if (last != nullptr) {
        std::memcpy(record, last, kMarkerBytes.size());
    }
    return LocationScan::NotFound;
}

bool ReadLocationData(const std::string& amssPath,
                      const std::function<void(const std::string&)>& status,
                      uint8_t record[kLocationRecordSize]) {
    switch (ScanLocationData(amssPath, record)) {
        case LocationScan::Found:
            return true;
        case LocationScan::OpenFailed:
            status("open file fail");
            return false;
        case LocationScan::NotFound:
            status("Can't find the location data, should be oldVersion!");
            return false;
    }
    return false;
}

}  // namespace pellan
