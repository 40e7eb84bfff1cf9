#include "nv/nvm_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/file_sync.h"
#include "support/system_files.h"
#include "support/temp_dir.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> BackupBytes(uint8_t fill) {
    NvmTable table = BuildBackupTable();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        table[i].data.fill(fill);
    }
    return EncodeNvmFile(table);
}

std::vector<fs::path> FolderEntries(const fs::path& folder) {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(StampedBackupNameTest, KeepsFolderStemAndExtension) {
    const LocalTime when{2026, 12, 6, 7, 5, 9};
    EXPECT_EQ(StampedBackupName("/nv/Channel1.nvm", when),
              fs::path("/nv/Channel1-20261206-070509.nvm"));
    EXPECT_EQ(StampedBackupName("Channel8.nvm", when), fs::path("Channel8-20261206-070509.nvm"));
}

TEST(StoreNvmFileTest, FirstBackupWritesTheFileAndLeavesNothingElse) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    std::string kept;
    std::string error;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(1), kept, error)) << error;
    EXPECT_EQ(ReadAll(target), BackupBytes(1));
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<fs::path>{"Channel1.nvm"});
}

TEST(StoreNvmFileTest, ReplacedBackupIsKeptAsAStampedCopy) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel2.nvm";
    std::string kept;
    std::string error;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(1), kept, error)) << error;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(2), kept, error)) << error;

    EXPECT_EQ(ReadAll(target), BackupBytes(2));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(fs::path(kept).parent_path(), dir.Path());
    EXPECT_EQ(fs::path(kept).extension(), ".nvm");
    EXPECT_EQ(fs::path(kept).filename().string().rfind("Channel2-", 0), 0u) << kept;
    EXPECT_EQ(ReadAll(kept), BackupBytes(1));

    // A third, within the same second, gets a name of its own: no copy is ever overwritten.
    std::string keptAgain;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(3), keptAgain, error)) << error;
    ASSERT_FALSE(keptAgain.empty());
    EXPECT_NE(keptAgain, kept);
    EXPECT_EQ(ReadAll(kept), BackupBytes(1));
    EXPECT_EQ(ReadAll(keptAgain), BackupBytes(2));
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 3u);
}

TEST(StoreNvmFileTest, AnIdenticalBackupNeedsNoCopy) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    std::string kept;
    std::string error;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(4), kept, error));
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(4), kept, error));
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(FolderEntries(dir.Path()).size(), 1u);
}

TEST(StoreNvmFileTest, MissingFolderFailsWithTheFileErrorAndCreatesNothing) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "gone" / "Channel1.nvm";
    std::string kept;
    std::string error;
    EXPECT_FALSE(StoreNvmFile(target, BackupBytes(1), kept, error));
    EXPECT_EQ(error, test::MissingFolderText());
    EXPECT_FALSE(fs::exists(dir.Path() / "gone"));
}

TEST(StoreNvmFileTest, FolderInPlaceOfTheBackupFailsWithoutThrowingOrTouchingIt) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    fs::create_directories(target / "inside");
    std::string kept;
    std::string error;
    EXPECT_FALSE(StoreNvmFile(target, BackupBytes(1), kept, error));
    EXPECT_NE(error.find(target.string()), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(target / "inside"));
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<fs::path>{"Channel1.nvm"});
}

TEST(StoreNvmFileTest, FullDiskLeavesTheEarlierBackupUntouched) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    WriteAll(target, BackupBytes(7));
    // Room for less than a backup: the temporary file cannot be written whole.
    test::WriteRoomLimit room(64 * 1024);
    if (!room.Available()) {
        GTEST_SKIP() << "file sizes cannot be limited here";
    }

    std::string kept;
    std::string error;
    EXPECT_FALSE(StoreNvmFile(target, BackupBytes(8), kept, error));
    EXPECT_EQ(error, test::NoRoomText());
    EXPECT_EQ(ReadAll(target), BackupBytes(7));
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<fs::path>{"Channel1.nvm"});
}

// A link planted at the temporary name (an NV folder that others can write) must not make the
// backup overwrite the file it points at; it is replaced like any leftover of an earlier run.
TEST(StoreNvmFileTest, LinkAtTheTemporaryNameIsNotWrittenThrough) {
    test::TempDir dir;
    const fs::path victim = dir.Path() / "victim.txt";
    WriteAll(victim, {'k', 'e', 'e', 'p'});
    const fs::path target = dir.Path() / "Channel1.nvm";
    std::error_code ec;
    fs::create_symlink(victim, dir.Path() / "Channel1.nvm.partial", ec);
    if (ec) {
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    }

    std::string kept;
    std::string error;
    ASSERT_TRUE(StoreNvmFile(target, BackupBytes(8), kept, error)) << error;
    EXPECT_EQ(ReadAll(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(ReadAll(target), BackupBytes(8));
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_FALSE(fs::exists(dir.Path() / "Channel1.nvm.partial"));
}

TEST(StoreNvmFileTest, UnwritableTemporaryFileLeavesTheEarlierBackupUntouched) {
    test::TempDir dir;
    const fs::path target = dir.Path() / "Channel1.nvm";
    WriteAll(target, BackupBytes(7));
    // A folder with something in it cannot be cleared away like a leftover file.
    fs::create_directory(dir.Path() / "Channel1.nvm.partial");
    WriteAll(dir.Path() / "Channel1.nvm.partial" / "inside", {1});

    std::string kept;
    std::string error;
    EXPECT_FALSE(StoreNvmFile(target, BackupBytes(8), kept, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadAll(target), BackupBytes(7));
}

TEST(WriteFileDurablyTest, ExclusiveNeverOverwrites) {
    test::TempDir dir;
    const fs::path path = dir.Path() / "copy.nvm";
    WriteAll(path, {1, 2, 3});
    const uint8_t data[] = {9, 9};
    std::string error;
    EXPECT_FALSE(platform::WriteFileDurably(path, data, sizeof data, true, error));
    EXPECT_EQ(error, "File exists");
    EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(platform::WriteFileDurably(path, data, sizeof data, false, error));
    EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{9, 9}));
}

TEST(NvmFileCanBeCreatedTest, ProbesWithoutTruncatingOrLeavingFiles) {
    test::TempDir dir;
    const fs::path existing = dir.Path() / "Channel1.nvm";
    WriteAll(existing, BackupBytes(3));
    EXPECT_TRUE(NvmFileCanBeCreated(existing));
    EXPECT_EQ(ReadAll(existing), BackupBytes(3));

    const fs::path fresh = dir.Path() / "Channel2.nvm";
    EXPECT_TRUE(NvmFileCanBeCreated(fresh));
    EXPECT_FALSE(fs::exists(fresh));

    EXPECT_FALSE(NvmFileCanBeCreated(dir.Path() / "gone" / "Channel3.nvm"));
}

TEST(LoadNvmFileTest, AcceptsOnlyWellFormedFiles) {
    test::TempDir dir;
    NvmTable table{};
    EXPECT_EQ(LoadNvmFile(dir.Path() / "missing.nvm", table), NvmLoad::CANNOT_OPEN);

    const fs::path path = dir.Path() / "Channel1.nvm";
    std::vector<uint8_t> good = BackupBytes(6);
    for (size_t size : {size_t{0}, size_t{115599}, size_t{115601}}) {
        std::vector<uint8_t> bytes = good;
        bytes.resize(size, 0);
        WriteAll(path, bytes);
        EXPECT_EQ(LoadNvmFile(path, table), NvmLoad::MALFORMED) << size;
    }
    std::vector<uint8_t> unmarked = good;
    unmarked[530 * 136] = 0;
    unmarked[530 * 136 + 1] = 0;
    WriteAll(path, unmarked);
    EXPECT_EQ(LoadNvmFile(path, table), NvmLoad::MALFORMED);

    WriteAll(path, good);
    ASSERT_EQ(LoadNvmFile(path, table), NvmLoad::OK);
    EXPECT_EQ(EncodeNvmFile(table), good);
}

}  // namespace
}  // namespace pellan
