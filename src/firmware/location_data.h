#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The location data record of the application image: 128 bytes that start with the marker
// 2C 1A BE 6E on a 4-byte boundary of amss.mbn. The updater sends it to the stick unread.
namespace pellan {

inline constexpr size_t kLocationRecordSize = 128;
inline constexpr uint32_t kLocationMarker = 0x6EBE1A2C;

enum class LocationScan { Found, NotFound, OpenFailed };

// Scans `path` for the first marker at an offset that is a multiple of 4 (offsets p with
// p + 4 <= length). Found: the record (the marker and what follows, at most 128 bytes; a record
// cut short by the end of the file leaves the rest of `record` as it was) is in `record`.
// NotFound: the first 4 bytes of `record` hold the last 4 bytes examined (none for a file shorter
// than 4 bytes), the other 124 are untouched. The file is read in large blocks, never written.
LocationScan ScanLocationData(const std::string& path, uint8_t record[kLocationRecordSize]);

// The same scan reading `blockSize` bytes at a time (a positive multiple of 4); the outcome does
// not depend on it. Small blocks let a test reach the block edges with a small file.
LocationScan ScanLocationData(const std::string& path, uint8_t record[kLocationRecordSize],
                              size_t blockSize);

// Reads the record of a line's amss.mbn (`amssPath`, the AMSS path of its settings record) into
// `record` and tells a failure to `status` (the line's status display). Callers zero the buffer
// first and hold the document lock.
bool ReadLocationData(const std::string& amssPath,
                      const std::function<void(const std::string&)>& status,
                      uint8_t record[kLocationRecordSize]);

}  // namespace pellan
