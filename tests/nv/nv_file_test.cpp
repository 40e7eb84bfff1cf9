// The NVM file: its records and item list, the checks a loaded file must pass, and the store that
// never loses the only copy of a backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "nv/nv_fixture.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "platform/file_sync.h"
#include "support/system_files.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

TEST(NvmFile, RecordFieldsAreLittleEndianAndTheReservedBytesZero) {
    NvItemRecord record;
    record.itemId = 0x1234;
    for (size_t i = 0; i < record.data.size(); ++i) {
        record.data[i] = static_cast<uint8_t>(i + 1);
    }
    record.status = 0xABCD;
    std::vector<uint8_t> bytes(kNvItemRecordSize, 0xEE);
    EncodeNvItemRecord(record, bytes.data());
    std::vector<uint8_t> expected = {0x34, 0x12, 0, 0};
    expected.insert(expected.end(), record.data.begin(), record.data.end());
    expected.insert(expected.end(), {0xCD, 0xAB, 0, 0});
    EXPECT_EQ(bytes, expected);

    std::fill(bytes.begin(), bytes.end(), uint8_t{0x5A});  // reserved bytes are not read
    EXPECT_EQ(DecodeNvItemRecord(bytes.data()).itemId, 0x5A5A);
    EXPECT_EQ(DecodeNvItemRecord(bytes.data()).status, 0x5A5A);
}

TEST(NvmFile, BackupListMatchesThePublishedItemListEntryForEntry) {
    ASSERT_EQ(NvBackupList.size(), 530u);
    std::map<uint16_t, int> count;
    uint64_t sum = 0;
    uint64_t weighted = 0;  // also catches two entries swapped or a range shifted
    for (size_t i = 0; i < NvBackupList.size(); ++i) {
        ++count[NvBackupList[i]];
        sum += NvBackupList[i];
        weighted += (i + 1) * NvBackupList[i];
    }
    EXPECT_EQ(sum, 2328285u);
    EXPECT_EQ(weighted % (uint64_t{1} << 32), 654235998u);
    EXPECT_EQ(count.size(), 502u) << "28 ids occur twice";
    EXPECT_EQ(count.count(kNvInnerLoopMarker) + count.count(kNvEndMarker), 0u);
    EXPECT_EQ(NvBackupList[528], kNvImeiItem);
    EXPECT_EQ(NvBackupList[145], kNvSecondIdentityItem);
}

TEST(NvmFile, WalkEndsAtTheEndMarkerAndInModeZeroAtTheInnerLoopMarker) {
    const struct {
        uint16_t id;
        int32_t mode;
        bool ends;
    } rows[] = {
        {9999, 0, true},  {9999, 2, true},  {10000, 1, true}, {0xFFFF, 3, true},
        {9998, 0, false}, {8888, 0, true},  {8888, 1, false}, {8888, 2, false},
        {8888, 3, false}, {8887, 0, false}, {0, 0, false},    {550, 1, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NvWalkEndsAt(row.id, row.mode), row.ends) << row.id << " mode " << row.mode;
    }
}

TEST(NvmFile, OnlyTheExactSizeWithAnEndMarkerIsAccepted) {
    NvmTable table{};
    for (size_t size : {size_t{0}, size_t{136}, size_t{115599}, size_t{115601}, size_t{231200}}) {
        std::vector<uint8_t> bytes(size, 0);
        if (size >= 136) {
            bytes[0] = 0x0F;  // 9999
            bytes[1] = 0x27;
        }
        EXPECT_EQ(DecodeNvmFile(bytes, table), NvmFileCheck::WRONG_SIZE) << size;
    }
    std::vector<uint8_t> bytes = EncodeNvmFile(BuildBackupTable());
    bytes[530 * 136] = 0;  // the marker 9999 becomes item 0
    bytes[530 * 136 + 1] = 0;
    table[0].itemId = 77;
    EXPECT_EQ(DecodeNvmFile(bytes, table), NvmFileCheck::NO_END_MARKER);
    EXPECT_EQ(table[0].itemId, 77) << "a refused file leaves the table alone";

    NvmTable any{};
    any[0].itemId = 550;
    any[0].data[0] = 0x08;
    any[1].itemId = 4051;
    any[1].status = 0xFFFF;
    any[849].itemId = 12345;  // any id from 9999 on ends the walk
    ASSERT_EQ(DecodeNvmFile(EncodeNvmFile(any), table), NvmFileCheck::OK);
    EXPECT_EQ(table, any);
}

class NvmStore : public ::testing::Test {
  protected:
    static std::vector<uint8_t> Backup(uint8_t fill) {
        NvmTable table = BuildBackupTable();
        for (size_t i = 0; i < kNvBackupListSize; ++i) {
            table[i].data.fill(fill);
        }
        return EncodeNvmFile(table);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Store(uint8_t fill) { return StoreNvmFile(target, Backup(fill), kept, error); }
    std::vector<uint8_t> Read(const fs::path& path) const { return ReadFileBytes(path.string()); }

    TempDir dir;
    fs::path target = dir.Path() / "Channel1.nvm";
    std::string kept;
    std::string error;
};

TEST_F(NvmStore, AReplacedBackupIsKeptUnderANameOfItsOwnAndAnIdenticalOneNeedsNone) {
    ASSERT_TRUE(Store(1)) << error;
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(Entries(), std::vector<std::string>{"Channel1.nvm"});
    ASSERT_TRUE(Store(1)) << error;
    EXPECT_TRUE(kept.empty());

    ASSERT_TRUE(Store(2)) << error;
    EXPECT_EQ(Read(target), Backup(2));
    ASSERT_EQ(fs::path(kept).parent_path(), dir.Path());
    EXPECT_EQ(Read(kept), Backup(1));
    const std::string first = kept;
    // A third within the same second gets a name of its own: no copy is ever overwritten.
    ASSERT_TRUE(Store(3)) << error;
    EXPECT_NE(kept, first);
    EXPECT_EQ(Read(first), Backup(1));
    EXPECT_EQ(Read(kept), Backup(2));
    EXPECT_EQ(Entries().size(), 3u);

    const LocalTime when{2026, 12, 6, 7, 5, 9};
    EXPECT_EQ(StampedBackupName("/nv/Channel1.nvm", when),
              fs::path("/nv/Channel1-20261206-070509.nvm"));
}

TEST_F(NvmStore, AFailedWriteLeavesTheEarlierBackupAndNoPartialFile) {
    WriteFileBytes(target.string(), Backup(7));
    {
        WriteRoomLimit room(64 * 1024);  // less than a backup
        if (room.Available()) {
            EXPECT_FALSE(Store(8));
            EXPECT_EQ(error, NoRoomText());
            EXPECT_TRUE(kept.empty());
        }
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"Channel1.nvm"});
    // A folder with something in it at the temporary name cannot be cleared away.
    fs::create_directory(dir.Path() / "Channel1.nvm.partial");
    WriteFileBytes((dir.Path() / "Channel1.nvm.partial" / "inside").string(), {1});
    EXPECT_FALSE(Store(8));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Read(target), Backup(7));

    const fs::path missing = dir.Path() / "gone" / "Channel1.nvm";
    EXPECT_FALSE(StoreNvmFile(missing, Backup(1), kept, error));
    EXPECT_EQ(error, MissingFolderText());
    EXPECT_FALSE(fs::exists(dir.Path() / "gone"));
    EXPECT_FALSE(NvmFileCanBeCreated(missing));
}

TEST_F(NvmStore, AFolderInPlaceOfTheBackupIsNeitherTouchedNorAnError) {
    fs::create_directories(target / "inside");
    EXPECT_FALSE(Store(1));
    EXPECT_NE(error.find(target.string()), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(target / "inside"));
    EXPECT_EQ(Entries(), std::vector<std::string>{"Channel1.nvm"});
}

// A link planted at the temporary name (an NV folder others can write) must not make the backup
// overwrite the file it points at; it is replaced like any leftover of an earlier run.
TEST_F(NvmStore, ALinkAtTheTemporaryNameIsNotWrittenThrough) {
    const fs::path victim = dir.Path() / "victim.txt";
    WriteFileBytes(victim.string(), {'k', 'e', 'e', 'p'});
    std::error_code ec;
    fs::create_symlink(victim, dir.Path() / "Channel1.nvm.partial", ec);
    if (ec) {
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    }
    ASSERT_TRUE(Store(8)) << error;
    EXPECT_EQ(Read(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(Read(target), Backup(8));
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_FALSE(fs::exists(dir.Path() / "Channel1.nvm.partial"));
}

TEST_F(NvmStore, ProbesLoadsAndExclusiveWritesChangeNothingTheyShouldNot) {
    WriteFileBytes(target.string(), Backup(3));
    EXPECT_TRUE(NvmFileCanBeCreated(target));
    EXPECT_EQ(Read(target), Backup(3)) << "the probe does not truncate";
    EXPECT_TRUE(NvmFileCanBeCreated(dir.Path() / "Channel2.nvm"));
    EXPECT_FALSE(fs::exists(dir.Path() / "Channel2.nvm"));

    const uint8_t data[] = {9, 9};
    EXPECT_FALSE(platform::WriteFileDurably(target, data, sizeof data, true, error));
    EXPECT_EQ(error, "File exists");
    EXPECT_EQ(Read(target), Backup(3));

    NvmTable table{};
    ASSERT_EQ(LoadNvmFile(target, table), NvmLoad::OK);
    EXPECT_EQ(EncodeNvmFile(table), Backup(3));
    EXPECT_EQ(LoadNvmFile(dir.Path() / "missing.nvm", table), NvmLoad::CANNOT_OPEN);
    EXPECT_TRUE(platform::WriteFileDurably(target, data, sizeof data, false, error));
    EXPECT_EQ(LoadNvmFile(target, table), NvmLoad::MALFORMED);
}

}  // namespace
}  // namespace pellan::test
