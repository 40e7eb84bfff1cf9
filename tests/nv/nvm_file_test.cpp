#include "nv/nvm_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace pellan {
namespace {

TEST(NvItemRecordTest, EncodesEveryFieldAtItsOffsetLittleEndian) {
    NvItemRecord record;
    record.itemId = 0x1234;
    for (size_t i = 0; i < record.data.size(); ++i) {
        record.data[i] = static_cast<uint8_t>(i + 1);
    }
    record.status = 0xABCD;

    uint8_t bytes[kNvItemRecordSize];
    std::fill(std::begin(bytes), std::end(bytes), uint8_t{0xEE});
    EncodeNvItemRecord(record, bytes);

    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0x00);
    for (size_t i = 0; i < kNvItemDataSize; ++i) {
        ASSERT_EQ(bytes[4 + i], static_cast<uint8_t>(i + 1)) << "data byte " << i;
    }
    EXPECT_EQ(bytes[132], 0xCD);
    EXPECT_EQ(bytes[133], 0xAB);
    EXPECT_EQ(bytes[134], 0x00);
    EXPECT_EQ(bytes[135], 0x00);
}

TEST(NvItemRecordTest, DecodingIgnoresTheReservedBytes) {
    uint8_t bytes[kNvItemRecordSize];
    std::fill(std::begin(bytes), std::end(bytes), uint8_t{0x5A});
    bytes[0] = 0x26;  // item 550
    bytes[1] = 0x02;
    bytes[132] = 0x05;
    bytes[133] = 0x00;

    const NvItemRecord record = DecodeNvItemRecord(bytes);
    EXPECT_EQ(record.itemId, 550);
    EXPECT_EQ(record.status, 5);
    EXPECT_TRUE(
        std::all_of(record.data.begin(), record.data.end(), [](uint8_t b) { return b == 0x5A; }));

    uint8_t again[kNvItemRecordSize];
    EncodeNvItemRecord(record, again);
    EXPECT_EQ(again[2], 0);
    EXPECT_EQ(again[3], 0);
    EXPECT_EQ(again[134], 0);
    EXPECT_EQ(again[135], 0);
}

TEST(NvBackupListTest, HasThe530EntriesInOrderWithDuplicatesKept) {
    ASSERT_EQ(NvBackupList.size(), 530u);
    EXPECT_EQ(NvBackupList.front(), 5479);
    EXPECT_EQ(NvBackupList[1], 5065);
    // The first range 3969-3972 expands in place.
    EXPECT_EQ(NvBackupList[2], 3969);
    EXPECT_EQ(NvBackupList[5], 3972);
    EXPECT_EQ(NvBackupList[6], 5059);
    EXPECT_EQ(NvBackupList[145], 4051);
    // The list ends with 8000-8030, the IMEI item and item 22.
    EXPECT_EQ(NvBackupList[497], 8000);
    EXPECT_EQ(NvBackupList[527], 8030);
    EXPECT_EQ(NvBackupList[528], 550);
    EXPECT_EQ(NvBackupList.back(), 22);
}

TEST(NvBackupListTest, Holds502DistinctIdsAnd28ThatOccurTwice) {
    std::map<uint16_t, int> count;
    for (uint16_t id : NvBackupList) {
        ++count[id];
    }
    EXPECT_EQ(count.size(), 502u);

    std::set<uint16_t> twice;
    for (const auto& [id, n] : count) {
        EXPECT_LE(n, 2) << "id " << id;
        if (n == 2) {
            twice.insert(id);
        }
    }
    std::set<uint16_t> expected;
    for (uint16_t id = 5066; id <= 5069; ++id)
        expected.insert(id);
    for (uint16_t id = 5299; id <= 5306; ++id)
        expected.insert(id);
    for (uint16_t id = 5403; id <= 5406; ++id)
        expected.insert(id);
    for (uint16_t id = 5492; id <= 5503; ++id)
        expected.insert(id);
    EXPECT_EQ(twice, expected);

    EXPECT_EQ(count.count(kNvInnerLoopMarker), 0u);
    EXPECT_EQ(count.count(kNvEndMarker), 0u);
    EXPECT_EQ(count[kNvImeiItem], 1);
    EXPECT_EQ(count[kNvSecondIdentityItem], 1);
}

TEST(NvBackupListTest, MatchesTheItemListEntryForEntry) {
    // Sums taken once from the published item list: a plain one, and one weighted by position
    // that also catches two entries swapped or a range shifted.
    uint64_t sum = 0;
    uint64_t weighted = 0;
    for (size_t i = 0; i < NvBackupList.size(); ++i) {
        sum += NvBackupList[i];
        weighted += (i + 1) * NvBackupList[i];
    }
    EXPECT_EQ(sum, 2328285u);
    EXPECT_EQ(weighted % (uint64_t{1} << 32), 654235998u);
}

TEST(NvmFileTest, BackupTableLayoutByteForByte) {
    const std::vector<uint8_t> bytes = EncodeNvmFile(BuildBackupTable());
    ASSERT_EQ(bytes.size(), 115600u);

    for (size_t i = 0; i < 530; ++i) {
        const uint8_t* record = bytes.data() + i * 136;
        ASSERT_EQ(record[0] | (record[1] << 8), NvBackupList[i]) << "record " << i;
        ASSERT_TRUE(std::all_of(record + 2, record + 136, [](uint8_t b) { return b == 0; }))
            << "record " << i;
    }
    const uint8_t* marker = bytes.data() + 530 * 136;
    EXPECT_EQ(marker[0], 0x0F);  // 9999
    EXPECT_EQ(marker[1], 0x27);
    EXPECT_TRUE(std::all_of(marker + 2, marker + 136, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(
        std::all_of(bytes.begin() + 531 * 136, bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST(NvmFileTest, DuplicateIdsGetARecordEach) {
    const NvmTable table = BuildBackupTable();
    // 5067 first appears at 177 and again at 181; 5299 at 186 and 309.
    EXPECT_EQ(table[177].itemId, 5067);
    EXPECT_EQ(table[181].itemId, 5067);
    EXPECT_EQ(table[186].itemId, 5299);
    EXPECT_EQ(table[309].itemId, 5299);
}

struct WalkCase {
    uint16_t id;
    int32_t mode;
    bool ends;
};

TEST(NvmFileTest, WalkEndsAtTheEndMarkerAndInModeZeroAtTheInnerLoopMarker) {
    const WalkCase cases[] = {
        {9999, 0, true},  {9999, 2, true},  {10000, 1, true}, {0xFFFF, 3, true},
        {9998, 0, false}, {8888, 0, true},  {8888, 1, false}, {8888, 2, false},
        {8888, 3, false}, {8887, 0, false}, {0, 0, false},    {550, 1, false},
    };
    for (const WalkCase& c : cases) {
        EXPECT_EQ(NvWalkEndsAt(c.id, c.mode), c.ends) << "id " << c.id << " mode " << c.mode;
    }
}

TEST(NvmFileTest, DecodeRefusesAnythingButTheExactSize) {
    NvmTable table{};
    for (size_t size : {size_t{0}, size_t{136}, size_t{115599}, size_t{115601}, size_t{231200}}) {
        std::vector<uint8_t> bytes(size, 0);
        if (size >= 136) {
            bytes[0] = 0x0F;
            bytes[1] = 0x27;
        }
        EXPECT_EQ(DecodeNvmFile(bytes, table), NvmFileCheck::WRONG_SIZE) << size;
    }
}

TEST(NvmFileTest, DecodeRefusesAFileWithoutEndMarker) {
    NvmTable table = BuildBackupTable();
    std::vector<uint8_t> bytes = EncodeNvmFile(table);
    bytes[530 * 136] = 0;  // the marker 9999 becomes item 0
    bytes[530 * 136 + 1] = 0;
    NvmTable decoded{};
    decoded[0].itemId = 77;
    EXPECT_EQ(DecodeNvmFile(bytes, decoded), NvmFileCheck::NO_END_MARKER);
    EXPECT_EQ(decoded[0].itemId, 77) << "a refused file leaves the table alone";

    EXPECT_EQ(DecodeNvmFile(std::vector<uint8_t>(kNvmFileSize, 0), decoded),
              NvmFileCheck::NO_END_MARKER);
}

TEST(NvmFileTest, DecodeAcceptsAMarkerAnywhereAndRoundTrips) {
    NvmTable table{};
    table[0].itemId = 550;
    table[0].data[0] = 0x08;
    table[0].status = 0;
    table[1].itemId = 4051;
    table[1].status = 0xFFFF;
    table[849].itemId = 12345;  // any id from 9999 on ends the walk
    NvmTable decoded{};
    ASSERT_EQ(DecodeNvmFile(EncodeNvmFile(table), decoded), NvmFileCheck::OK);
    EXPECT_EQ(decoded, table);
}

}  // namespace
}  // namespace pellan
