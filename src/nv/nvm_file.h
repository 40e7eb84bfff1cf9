#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellan {

constexpr size_t kNvItemDataSize = 128;
constexpr size_t kNvItemRecordSize = 136;
constexpr size_t kNvmRecordCount = 850;
constexpr size_t kNvmFileSize = kNvmRecordCount * kNvItemRecordSize;  // 115,600 bytes
constexpr size_t kNvBackupListSize = 530;

// Any id from here on ends a walk over the records.
constexpr uint16_t kNvEndMarker = 9999;
// Ends the walk only in NV_MODE_NONE, where just the items before it are restored.
constexpr uint16_t kNvInnerLoopMarker = 8888;
constexpr uint16_t kNvImeiItem = 550;
// The restore without IMEI leaves out both of these.
constexpr uint16_t kNvSecondIdentityItem = 4051;

// The status a record keeps when the stick never answered its read.
constexpr uint16_t kNvStatusNoAnswer = 0xFFFF;

// One NV item of the NVM file. On disk (little-endian, 136 bytes): id at 0, two reserved zero
// bytes, 128 data bytes at 4, status at 132, two reserved zero bytes. Converted field by field,
// never copied as it lies in memory.
struct NvItemRecord {
    uint16_t itemId = 0;
    std::array<uint8_t, kNvItemDataSize> data{};
    uint16_t status = 0;

    bool operator==(const NvItemRecord&) const = default;
};

using NvmTable = std::array<NvItemRecord, kNvmRecordCount>;

void EncodeNvItemRecord(const NvItemRecord& record, uint8_t out[kNvItemRecordSize]);
NvItemRecord DecodeNvItemRecord(const uint8_t in[kNvItemRecordSize]);

// The saved items in the order they are read and stored. Some ids occur twice; each occurrence has
// its own record.
extern const std::array<uint16_t, kNvBackupListSize> NvBackupList;

// The table a backup fills: the list's ids in records 0..529, the end marker in record 530, every
// other field zero.
NvmTable BuildBackupTable();

// True when a walk in `nvMode` stops at this id (the end marker, or the inner-loop marker in
// NV_MODE_NONE).
bool NvWalkEndsAt(uint16_t itemId, int32_t nvMode);
// How many records of `table` a walk in `nvMode` visits.
size_t NvWalkLength(const NvmTable& table, int32_t nvMode);

std::vector<uint8_t> EncodeNvmFile(const NvmTable& table);

// A restore writes items to the stick only from a file that has the exact size and an end marker;
// without the marker a walk would run on into the zero records and write item 0 over and over.
enum class NvmFileCheck { OK, WRONG_SIZE, NO_END_MARKER };

// Decodes a whole NVM file into `table` when it is well formed.
NvmFileCheck DecodeNvmFile(const std::vector<uint8_t>& bytes, NvmTable& table);

}  // namespace pellan
