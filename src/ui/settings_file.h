#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "diag/line_record.h"

namespace pellan {

using LineRecordSet = std::array<LineRecord, kLineCount>;

// Writes one record into its 5932-byte image, field by field at the file's offsets, numbers
// little-endian.
void EncodeLineRecord(const LineRecord& record, uint8_t* out);
// Reads a record from its image. A text field without a terminating zero gets one in its last
// byte, so that no text runs on into the next field; every other byte is kept as it was.
LineRecord DecodeLineRecord(const uint8_t* image);

enum class SettingsReadResult { Read, Missing, WrongLength, Unreadable };

// Reads the eight records of a settings file into `records` only when the whole file could be
// read and is exactly 47,456 bytes long; otherwise `records` is left untouched. `length` receives
// the file's length when it is known.
SettingsReadResult ReadSettingsFile(const std::filesystem::path& file, LineRecordSet& records,
                                    std::uintmax_t& length);
// Writes the eight records through a temporary file and a rename; false when that fails.
bool WriteSettingsFile(const std::filesystem::path& file, const LineRecordSet& records);

}  // namespace pellan
