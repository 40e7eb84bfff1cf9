// The scan of amss.mbn for the location data record.

#include <cstring>

#include "firmware/location_data.h"
#include "fuzz_support.h"

using namespace pellan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ScratchFile file("pellan-fuzz-amss");
    file.Write(data, size);
    std::vector<uint8_t> record(kLocationRecordSize, 0xCC);
    const LocationScan scan = ScanLocationData(file.Path().string(), record.data());
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
    } else {
        PELLAN_FUZZ_CHECK(scan == LocationScan::Found);
        const size_t n = std::min(kLocationRecordSize, size - expectAt);
        PELLAN_FUZZ_CHECK(std::memcmp(record.data(), data + expectAt, n) == 0);
        for (size_t i = n; i < kLocationRecordSize; ++i) {
            PELLAN_FUZZ_CHECK(record[i] == 0xCC);
        }
    }
    return 0;
}
