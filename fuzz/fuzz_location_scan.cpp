// The scan of amss.mbn for the location data record. The first input byte chooses the scan's
// block size (4 to 64 bytes, or the program's own), the rest is the file: a small file then
// crosses many block edges, with the marker and the record cut by them wherever the input puts
// them, at the cost of a few hundred bytes per input instead of a megabyte.

#include <cstring>

#include "firmware/location_data.h"
#include "fuzz_support.h"

using namespace pellan;

namespace {

constexpr uint8_t kUntouched = 0xCC;

size_t BlockSizeOf(uint8_t choice) {
    return choice == 0xFF ? 0 : 4 * (1 + choice % 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static fuzz::ScratchFile file("pellan-fuzz-amss");
    const size_t blockSize = BlockSizeOf(data[0]);
    ++data;
    --size;
    file.Write(data, size);
    std::vector<uint8_t> record(kLocationRecordSize, kUntouched);
    const LocationScan scan =
        blockSize == 0 ? ScanLocationData(file.Path().string(), record.data())
                       : ScanLocationData(file.Path().string(), record.data(), blockSize);
    PELLAN_FUZZ_CHECK(scan != LocationScan::OpenFailed);

    // The first marker on a 4-byte boundary, found the slow way.
    size_t expectAt = SIZE_MAX;
    for (size_t p = 0; p + 4 <= size; p += 4) {
        uint32_t word = 0;
        std::memcpy(&word, data + p, 4);
        if (word == kLocationMarker) {
            expectAt = p;
            break;
        }
    }
    if (expectAt == SIZE_MAX) {
        PELLAN_FUZZ_CHECK(scan == LocationScan::NotFound);
        // The last word examined is left in the head of the record, the rest untouched.
        size_t kept = 0;
        if (size >= 4) {
            kept = 4;
            PELLAN_FUZZ_CHECK(std::memcmp(record.data(), data + (size - 4) / 4 * 4, 4) == 0);
        }
        for (size_t i = kept; i < kLocationRecordSize; ++i) {
            PELLAN_FUZZ_CHECK(record[i] == kUntouched);
        }
    } else {
        PELLAN_FUZZ_CHECK(scan == LocationScan::Found);
        const size_t n = std::min(kLocationRecordSize, size - expectAt);
        PELLAN_FUZZ_CHECK(std::memcmp(record.data(), data + expectAt, n) == 0);
        for (size_t i = n; i < kLocationRecordSize; ++i) {
            PELLAN_FUZZ_CHECK(record[i] == kUntouched);
        }
    }
    return 0;
}
