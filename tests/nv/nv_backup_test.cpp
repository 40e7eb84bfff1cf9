// BackupNvToFile and the Backup NV job against a scripted stick on the virtual clock.
#include "nv/nv_backup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nv/nv_fixture.h"
#include "nv/nvm_file.h"
#include "support/system_files.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

NvItemRecord RecordAt(const std::vector<uint8_t>& file, size_t index) {
    return DecodeNvItemRecord(file.data() + index * kNvItemRecordSize);
}

using NvBackupTest = NvJobFixture;

TEST_F(NvBackupTest, ReadsEveryListedItemInOrderAndStoresIt) {
    FillStick();
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    const std::vector<uint16_t> reads = stick.Reads();
    EXPECT_EQ(reads, std::vector<uint16_t>(NvBackupList.begin(), NvBackupList.end()));

    const std::vector<uint8_t> file = ReadFileBytes(NvmPath());
    ASSERT_EQ(file.size(), kNvmFileSize);
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        const NvItemRecord record = RecordAt(file, i);
        ASSERT_EQ(record.itemId, NvBackupList[i]) << i;
        ASSERT_EQ(record.data, ItemPattern(record.itemId)) << i;
        ASSERT_EQ(record.status, 0) << i;
    }
    EXPECT_EQ(RecordAt(file, 530).itemId, kNvEndMarker);
    EXPECT_TRUE(
        std::all_of(file.begin() + 530 * 136 + 2, file.end(), [](uint8_t b) { return b == 0; }));
    // Duplicates are read twice and stored twice.
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 5067), 2);
    EXPECT_EQ(RecordAt(file, 177), RecordAt(file, 181));
}

TEST_F(NvBackupTest, ProgressMovesFrom7To15BeforeEachRecord) {
    FillStick();
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    const std::vector<int> progress = sink.Progress(kLine);
    // One value per record up to and including the end marker at 530.
    ASSERT_EQ(progress.size(), 531u);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], 7 + static_cast<int>(13 * i / 850)) << i;
    }
    EXPECT_EQ(progress.front(), 7);
    EXPECT_EQ(progress.back(), 15);
}

TEST_F(NvBackupTest, SilentStickStillGivesACompleteFileWithStatusFFFF) {
    FillStick();
    stick.SetSilent(true);
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    EXPECT_EQ(stick.Reads().size(), 3 * kNvBackupListSize);  // three attempts per item
    const std::vector<uint8_t> file = ReadFileBytes(NvmPath());
    ASSERT_EQ(file.size(), kNvmFileSize);
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        const NvItemRecord record = RecordAt(file, i);
        ASSERT_EQ(record.itemId, NvBackupList[i]);
        ASSERT_EQ(record.status, 0xFFFF) << i;
        ASSERT_TRUE(
            std::all_of(record.data.begin(), record.data.end(), [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(RecordAt(file, 530).itemId, kNvEndMarker);
}

TEST_F(NvBackupTest, ARefusedItemKeepsItsStatusAndZeroData) {
    FillStick();
    stick.ScriptReads(4051, {5, 5, 5});
    stick.ScriptReads(550, {0xFFFF, 4, 0});  // silence, a refusal, then the contents
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    const std::vector<uint8_t> file = ReadFileBytes(NvmPath());
    const NvItemRecord refused = RecordAt(file, 145);
    EXPECT_EQ(refused.itemId, 4051);
    EXPECT_EQ(refused.status, 5);
    EXPECT_TRUE(
        std::all_of(refused.data.begin(), refused.data.end(), [](uint8_t b) { return b == 0; }));

    const NvItemRecord third = RecordAt(file, 528);
    EXPECT_EQ(third.itemId, 550);
    EXPECT_EQ(third.status, 0);
    EXPECT_EQ(third.data, ItemPattern(550));

    const std::vector<uint16_t> reads = stick.Reads();
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 4051), 3);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 550), 3);
    EXPECT_EQ(std::count(reads.begin(), reads.end(), 22), 1);
}

TEST_F(NvBackupTest, ReplacedBackupIsKeptAndNamedInTheLog) {
    FillStick();
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    const std::vector<uint8_t> first = ReadFileBytes(NvmPath());

    // The stick now carries other contents (say, freshly flashed defaults).
    for (uint16_t id : NvBackupList) {
        stick.SetItem(id, ItemPattern(static_cast<uint16_t>(id + 1)));
    }
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));

    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(NvFolder())) {
        if (entry.path().filename() != "Channel1.nvm") {
            copies.push_back(entry.path());
        }
    }
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFileBytes(copies[0].string()), first);
    EXPECT_NE(ReadFileBytes(NvmPath()), first);
    const std::vector<std::string> lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "The earlier NV backup was kept as " + copies[0].string()),
              lines.end());
}

TEST_F(NvBackupTest, FileFailureNamesTheFileErrorAndKeepsTheEarlierBackup) {
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteFileBytes(NvmPath(), earlier);
    FillStick();
    WriteRoomLimit room(64 * 1024);  // less than a backup
    if (!room.Available()) {
        GTEST_SKIP() << "file sizes cannot be limited here";
    }
    doc->Link(kLine).m_lastError = "an earlier protocol error";

    EXPECT_FALSE(BackupNvToFile(*view, kLine, NvmPath()));
    EXPECT_EQ(doc->Link(kLine).m_lastError,
              "Cannot write the NV backup file " + NvmPath() + ", Since " + NoRoomText());
    EXPECT_EQ(ReadFileBytes(NvmPath()), earlier);
}

TEST_F(NvBackupTest, JobReportsEachStepAndEndsInPass) {
    FillStick();
    BackupNvJob(*view, kLine);

    const std::vector<std::string> log = stick.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "ReadEsn");
    EXPECT_EQ(stick.Reads().size(), kNvBackupListSize);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"NV directory create success!", "Backup NV...",
                                                    "Backup NV success"}));
    EXPECT_EQ(sink.States(kLine).back(), 2);
    EXPECT_EQ(sink.Progress(kLine).back(), 100);
    EXPECT_EQ(stick.Count("ResetPhone"), 0u) << "a backup leaves the stick running";
    EXPECT_EQ(ReadFileBytes(NvmPath()).size(), kNvmFileSize);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(NvBackupTest, JobTextsInChinese) {
    FillStick();
    doc->m_language = 0;
    BackupNvJob(*view, kLine);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"NV区备份目录建立成功", "现在开始备份NV区",
                                                    "备份NV区成功"}));
}

TEST_F(NvBackupTest, JobWithoutNvFolderFailsBeforeReadingAnything) {
    FillStick();
    std::string error;
    const std::string gone = (dir.Path() / "gone").string();
    ASSERT_TRUE(ChooseNvFolder(*doc, gone, error));
    BackupNvJob(*view, kLine);

    // The folder text ends in the system's separator ('/', or '\\' on Windows).
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Can not create directory:" +
                                                     (dir.Path() / "gone" / "").string()});
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Can't create NV directory!"});
    EXPECT_EQ(sink.States(kLine).back(), 3);
    EXPECT_TRUE(stick.Reads().empty());
    EXPECT_FALSE(fs::exists(gone));
}

TEST_F(NvBackupTest, JobFailingOnTheFileShowsTheFileError) {
    FillStick();
    WriteRoomLimit room(64 * 1024);  // less than a backup, more than the job's log
    if (!room.Available()) {
        GTEST_SKIP() << "file sizes cannot be limited here";
    }
    BackupNvJob(*view, kLine);
    EXPECT_EQ(LogLines().back(),
              "Cannot write the NV backup file " + NvmPath() + ", Since " + NoRoomText());
    EXPECT_EQ(sink.States(kLine).back(), 3);
    EXPECT_FALSE(fs::exists(NvmPath()));
}

TEST_F(NvBackupTest, StartCheckNeedsAFoundStick) {
    doc->Runtime(kLine).phoneState = 1;
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(NvBackupTest, StartCheckNeedsAnNvFolder) {
    LineRecord& record = doc->Record(kLine);
    SetField(record.nvFolder, "");
    SetField(record.nvmFilePath, "Channel1.nvm");
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line1 No NV directory!"});

    doc->m_language = 0;
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_EQ(sink.Boxes().back(), "线路1上没有指定好NV区备份的目录名");
}

TEST_F(NvBackupTest, StartCheckNeedsAWritableNvmFile) {
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(*doc, (dir.Path() / "gone").string(), error));
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line1 can't create or open NV file!"});
}

TEST_F(NvBackupTest, StartCheckLeavesAnExistingBackupWhole) {
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteFileBytes(NvmPath(), earlier);
    EXPECT_TRUE(CheckBackupNvStart(*view, kLine));
    EXPECT_EQ(ReadFileBytes(NvmPath()), earlier);
    EXPECT_TRUE(sink.Boxes().empty());

    fs::remove(NvmPath());
    EXPECT_TRUE(CheckBackupNvStart(*view, kLine));
    EXPECT_FALSE(fs::exists(NvmPath())) << "the check leaves no empty file behind";
}

TEST_F(NvBackupTest, ChosenNvFolderSetsEveryLinesPaths) {
    std::string error;
    // Folders end in the system's separator ('/', or '\\' on Windows).
    const std::string nv = (fs::path("/d/nv") / "").string();
    ASSERT_TRUE(ChooseNvFolder(*doc, "/d/nv", error)) << error;
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ(GetField(doc->Record(line).nvFolder), nv);
        EXPECT_EQ(GetField(doc->Record(line).nvmFilePath),
                  nv + "Channel" + std::to_string(line + 1) + ".nvm");
    }
    const std::string other = (fs::path("/d/other") / "").string();
    ASSERT_TRUE(ChooseNvFolder(*doc, other, error));
    EXPECT_EQ(GetField(doc->Record(2).nvmFilePath), other + "Channel3.nvm");
}

TEST_F(NvBackupTest, NvFolderThatDoesNotFitIsRefusedAndChangesNothing) {
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(*doc, "/d/nv", error));
    EXPECT_FALSE(ChooseNvFolder(*doc, "", error));
    // 250 characters with the separator fit the folder field but not the file path behind it.
    EXPECT_FALSE(ChooseNvFolder(*doc, "/" + std::string(248, 'x'), error));
    EXPECT_NE(error.find("too long"), std::string::npos);
    EXPECT_EQ(GetField(doc->Record(7).nvmFilePath), (fs::path("/d/nv") / "Channel8.nvm").string());
    EXPECT_TRUE(ChooseNvFolder(*doc, "/" + std::string(240, 'x'), error));
}

}  // namespace
}  // namespace pellan::test
