// The Backup NV and Restore NV jobs against a scripted stick on the virtual clock: what is read
// and written in which NvMode, the answers the stick may give, the progress steps, the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nv/nv_backup.h"
#include "nv/nv_fixture.h"
#include "nv/nv_restore.h"
#include "nv/nvm_file.h"
#include "support/system_files.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

const std::vector<uint16_t> kAllIds(NvBackupList.begin(), NvBackupList.end());

NvItemRecord RecordAt(const std::vector<uint8_t>& file, size_t index) {
    return DecodeNvItemRecord(file.data() + index * kNvItemRecordSize);
}

bool AllZero(const NvData& data) {
    return std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
}

size_t CountOf(const std::vector<uint16_t>& ids, uint16_t id) {
    return static_cast<size_t>(std::count(ids.begin(), ids.end(), id));
}

class NvJobs : public NvJobFixture {
  protected:
    void WriteTable(const NvmTable& table, const std::string& path = "") {
        WriteFileBytes(path.empty() ? NvmPath() : path, EncodeNvmFile(table));
    }
    bool Restore(int32_t mode) {
        doc->m_nvMode = mode;
        return RestoreNvFromFile(*view, kLine, NvmPath());
    }
};

// ---- backup ----

TEST_F(NvJobs, BackupReadsEveryListedItemInOrderWithItsProgress) {
    FillStick();
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    EXPECT_EQ(stick.Reads(), kAllIds) << "duplicates are read (and stored) twice";

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
        std::all_of(file.begin() + 530 * 136 + 2, file.end(), [](uint8_t b) { return !b; }));

    const std::vector<int> progress = Progress();  // one value per record, end marker included
    ASSERT_EQ(progress.size(), 531u);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], 7 + static_cast<int>(13 * i / 850)) << i;
    }
}

TEST_F(NvJobs, BackupKeepsWhatTheStickAnsweredForEachItem) {
    FillStick();
    stick.ScriptReads(4051, {5, 5, 5});
    stick.ScriptReads(550, {kNvStatusNoAnswer, 4, 0});  // silence, a refusal, then the contents
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    std::vector<uint8_t> file = ReadFileBytes(NvmPath());
    EXPECT_EQ(RecordAt(file, 145).itemId, 4051);
    EXPECT_EQ(RecordAt(file, 145).status, 5);
    EXPECT_TRUE(AllZero(RecordAt(file, 145).data));
    EXPECT_EQ(RecordAt(file, 528).status, 0);
    EXPECT_EQ(RecordAt(file, 528).data, ItemPattern(550));
    const std::vector<uint16_t> reads = stick.Reads();
    EXPECT_EQ(CountOf(reads, 4051), 3u);
    EXPECT_EQ(CountOf(reads, 550), 3u);
    EXPECT_EQ(CountOf(reads, 22), 1u);

    // A stick that answers nothing still gives a whole file, every record with status 0xFFFF.
    stick.SetSilent(true);
    fs::remove(NvmPath());
    ASSERT_TRUE(BackupNvToFile(*view, kLine, NvmPath()));
    EXPECT_EQ(stick.Reads().size(), reads.size() + 3 * kNvBackupListSize);
    file = ReadFileBytes(NvmPath());
    ASSERT_EQ(file.size(), kNvmFileSize);
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        ASSERT_EQ(RecordAt(file, i).itemId, NvBackupList[i]);
        ASSERT_EQ(RecordAt(file, i).status, 0xFFFF) << i;
        ASSERT_TRUE(AllZero(RecordAt(file, i).data)) << i;
    }
}

struct BackupTexts {
    int32_t language;
    std::vector<std::string> lines;
};

class NvBackupJob : public NvJobFixture, public ::testing::WithParamInterface<BackupTexts> {};

TEST_P(NvBackupJob, ReportsEachStepAndEndsInPassWithoutAReset) {
    FillStick();
    doc->m_language = GetParam().language;
    BackupNvJob(*view, kLine);
    EXPECT_EQ(stick.Log().front(), "ReadEsn");
    EXPECT_EQ(stick.Reads().size(), kNvBackupListSize);
    EXPECT_EQ(LogLines(), GetParam().lines);
    EXPECT_EQ(State(), 2);
    EXPECT_EQ(Progress().back(), 100);
    EXPECT_EQ(stick.Count("ResetPhone"), 0u) << "a backup leaves the stick running";
    EXPECT_EQ(ReadFileBytes(NvmPath()).size(), kNvmFileSize);
    EXPECT_TRUE(sink.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Languages, NvBackupJob,
    ::testing::Values(
        BackupTexts{1, {"NV directory create success!", "Backup NV...", "Backup NV success"}},
        BackupTexts{0, {"NV区备份目录建立成功", "现在开始备份NV区", "备份NV区成功"}}));

TEST_F(NvJobs, BackupJobFailingOnTheFileNamesTheErrorAndKeepsTheEarlierBackup) {
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteFileBytes(NvmPath(), earlier);
    FillStick();
    WriteRoomLimit room(64 * 1024);  // less than a backup, more than the job's log
    if (!room.Available()) {
        GTEST_SKIP() << "file sizes cannot be limited here";
    }
    doc->Link(kLine).m_lastError = "an earlier protocol error";
    BackupNvJob(*view, kLine);
    EXPECT_EQ(LogLines().back(),
              "Cannot write the NV backup file " + NvmPath() + ", Since " + NoRoomText());
    EXPECT_EQ(State(), 3);
    EXPECT_EQ(ReadFileBytes(NvmPath()), earlier) << "the only copy is never lost";
}

TEST_F(NvJobs, BackupJobWithoutNvFolderFailsBeforeReadingAnything) {
    FillStick();
    std::string error;
    const std::string gone = (dir.Path() / "gone").string();
    ASSERT_TRUE(ChooseNvFolder(*doc, gone, error));
    BackupNvJob(*view, kLine);
    // The folder text ends in the system's separator ('/', or '\\' on Windows).
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Can not create directory:" +
                                                     (dir.Path() / "gone" / "").string()});
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Can't create NV directory!"});
    EXPECT_EQ(State(), 3);
    EXPECT_TRUE(stick.Reads().empty());
    EXPECT_FALSE(fs::exists(gone));
}

TEST_F(NvJobs, StartChecksNeedAStickAnNvFolderAndAWritableFile) {
    const std::vector<uint8_t> earlier(kNvmFileSize, 0x42);
    WriteFileBytes(NvmPath(), earlier);
    EXPECT_TRUE(CheckBackupNvStart(*view, kLine));
    EXPECT_TRUE(CheckRestoreNvStart(*view, kLine));
    EXPECT_EQ(ReadFileBytes(NvmPath()), earlier) << "the check leaves a backup whole";
    fs::remove(NvmPath());
    EXPECT_TRUE(CheckBackupNvStart(*view, kLine));
    EXPECT_FALSE(fs::exists(NvmPath())) << "the check leaves no empty file behind";

    doc->Runtime(kLine).phoneState = 1;
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_FALSE(CheckRestoreNvStart(*view, kLine));
    EXPECT_TRUE(sink.Boxes().empty());
    doc->Runtime(kLine).phoneState = 2;

    std::string error;
    ASSERT_TRUE(ChooseNvFolder(*doc, (dir.Path() / "gone").string(), error));
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    SetField(doc->Record(kLine).nvFolder, "");
    SetField(doc->Record(kLine).nvmFilePath, "Channel1.nvm");
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_FALSE(CheckRestoreNvStart(*view, kLine));
    doc->m_language = 0;
    EXPECT_FALSE(CheckBackupNvStart(*view, kLine));
    EXPECT_EQ(sink.Boxes(), (std::vector<std::string>{
                                "Line1 can't create or open NV file!", "Line1 No NV directory!",
                                "Line1 No NV directory!", "线路1上没有指定好NV区备份的目录名"}));
}

TEST_F(NvJobs, ChosenFoldersAndFilesSetEveryLineOrNothing) {
    std::string error;
    // Folders end in the system's separator ('/', or '\\' on Windows).
    const std::string nv = (fs::path("/d/nv") / "").string();
    ASSERT_TRUE(ChooseNvFolder(*doc, "/d/nv", error)) << error;
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ(GetField(doc->Record(line).nvFolder), nv);
        EXPECT_EQ(GetField(doc->Record(line).nvmFilePath),
                  nv + "Channel" + std::to_string(line + 1) + ".nvm");
    }
    EXPECT_FALSE(ChooseNvFolder(*doc, "", error));
    // 250 characters with the separator fit the folder field but not the file path behind it.
    EXPECT_FALSE(ChooseNvFolder(*doc, "/" + std::string(248, 'x'), error));
    EXPECT_NE(error.find("too long"), std::string::npos);
    EXPECT_EQ(GetField(doc->Record(7).nvmFilePath), nv + "Channel8.nvm");
    EXPECT_TRUE(ChooseNvFolder(*doc, "/" + std::string(240, 'x'), error));

    // The default NV file must exist and be a file; then every line takes it.
    EXPECT_FALSE(ChooseDefaultNvFile(*doc, (dir.Path() / "none.nvm").string(), error));
    EXPECT_FALSE(ChooseDefaultNvFile(*doc, "", error));
    EXPECT_FALSE(ChooseDefaultNvFile(*doc, dir.Path().string(), error)) << "a folder is no file";
    EXPECT_EQ(GetField(doc->Record(4).defaultNvFile), "");
    const std::string file = (dir.Path() / "factory.nvm").string();
    WriteFileBytes(file, EncodeNvmFile(BackupTable()));
    ASSERT_TRUE(ChooseDefaultNvFile(*doc, file, error)) << error;
    for (int line = 0; line < kLineCount; ++line) {
        EXPECT_EQ(GetField(doc->Record(line).defaultNvFile), file);
    }
}

// ---- restore ----

TEST_F(NvJobs, RestoreWritesEveryItemInFileOrderBetweenOfflineAndOnline) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(stick.WrittenIds(), kAllIds) << "duplicates are written as often as they occur";
    for (const FakeNvStick::Write& write : stick.Writes()) {
        ASSERT_EQ(write.data, ItemPattern(write.id)) << write.id;
    }
    // One download check (the link may send its frame more than once), offline, the writes,
    // online.
    const std::vector<std::string> log = stick.Log();
    const size_t checks = stick.Count("DownloadCheck");
    EXPECT_GE(checks, 1u);
    EXPECT_LE(checks, 3u);
    EXPECT_EQ(log[checks], "GoOffline");
    EXPECT_EQ(stick.Count("GoOffline"), 1u);
    EXPECT_EQ(log.back(), "GoOnline");
    EXPECT_EQ(stick.CheckedBlock(), LocationRecord());
    const std::vector<int> progress = Progress();
    ASSERT_EQ(progress.size(), kNvBackupListSize);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], 83 + static_cast<int>(12 * i / 850)) << i;
    }
}

std::vector<uint16_t> IdsWith(uint16_t at3) {
    std::vector<uint16_t> ids = kAllIds;
    ids[3] = at3;
    return ids;
}

std::vector<uint16_t> IdsWithoutIdentity() {
    std::vector<uint16_t> ids;
    std::copy_if(kAllIds.begin(), kAllIds.end(), std::back_inserter(ids),
                 [](uint16_t id) { return id != kNvImeiItem && id != kNvSecondIdentityItem; });
    return ids;
}

struct ModeRow {
    const char* name;
    int32_t mode;
    bool innerLoopMarkerAt3;
    std::vector<uint16_t> written;  // each takes a progress step, the others none
};

class NvRestoreModes : public NvJobs, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(NvRestoreModes, WritesTheItemsOfTheMode) {
    NvmTable table = BackupTable();
    if (GetParam().innerLoopMarkerAt3) {
        table[3].itemId = kNvInnerLoopMarker;
    }
    WriteTable(table);
    ASSERT_TRUE(Restore(GetParam().mode));
    EXPECT_EQ(stick.WrittenIds(), GetParam().written);
    EXPECT_EQ(Progress().size(), GetParam().written.size());
    EXPECT_EQ(stick.Log().back(), "GoOnline");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NvRestoreModes,
    ::testing::Values(ModeRow{"InnerLoopStopsAtItsMarker", NV_MODE_NONE, true, {5479, 5065, 3969}},
                      ModeRow{"InnerLoopMarkerIsAnItemElsewhere", NV_MODE_RF_AND_IMEI, true,
                              IdsWith(kNvInnerLoopMarker)},
                      ModeRow{"WithoutImeiLeavesOutTheIdentity", NV_MODE_RF_NO_IMEI, false,
                              IdsWithoutIdentity()},
                      ModeRow{"DefaultFileWritesEverything", NV_MODE_DEFAULT_FILE, false, kAllIds}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NvJobs, InnerLoopRestoreOfAWholeBackupTopsTheBarOutAtRecord34) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_NONE));
    EXPECT_EQ(stick.WrittenIds().size(), kNvBackupListSize);
    const std::vector<int> progress = Progress();
    ASSERT_EQ(progress.size(), kNvBackupListSize);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], std::min(3 * static_cast<int>(i), 100)) << i;
    }
}

TEST_F(NvJobs, RecordsStoredWithAFailureStatusAreLeftOutButMoveTheBar) {
    NvmTable table = BackupTable();
    table[0].status = kNvStatusNoAnswer;
    table[1].status = 5;
    table[2].status = 4;
    WriteTable(table);
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    const std::vector<uint16_t> ids = stick.WrittenIds();
    EXPECT_EQ(ids.size(), kNvBackupListSize - 3);
    for (uint16_t id : {5479, 5065, 3969}) {
        EXPECT_EQ(CountOf(ids, id), 0u) << id;
    }
    EXPECT_EQ(Progress().size(), kNvBackupListSize);
}

struct RefusalRow {
    const char* name;
    std::deque<uint16_t> answers;  // to the writes of item 22
    size_t attempts;               // writes of item 22
    bool result;
    bool progressStep;  // item 22 took a progress step
};

class NvRestoreRefusal : public NvJobs, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(NvRestoreRefusal, RefusedWrite) {
    const RefusalRow& row = GetParam();
    // Item 22 is the last of the list; moved to the front, a refusal keeps the rest unwritten.
    NvmTable table = BackupTable();
    std::swap(table[0], table[529]);
    WriteTable(table);
    stick.ScriptWrites(22, row.answers);

    EXPECT_EQ(Restore(NV_MODE_RF_AND_IMEI), row.result);
    const std::vector<uint16_t> ids = stick.WrittenIds();
    EXPECT_EQ(CountOf(ids, 22), row.attempts);
    if (row.result) {
        EXPECT_EQ(ids.size(), kNvBackupListSize - 1 + row.attempts);
        EXPECT_EQ(stick.Log().back(), "GoOnline");
        EXPECT_EQ(Progress().size(), kNvBackupListSize - (row.progressStep ? 0 : 1));
    } else {
        EXPECT_EQ(ids.size(), row.attempts) << "nothing after the refused item is written";
        EXPECT_EQ(stick.Count("GoOnline"), 0u) << "the stick stays offline";
        EXPECT_TRUE(Progress().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, NvRestoreRefusal,
    ::testing::Values(
        RefusalRow{"NotActive", {5}, 1, true, false}, RefusalRow{"ReadOnly", {7}, 1, true, false},
        RefusalRow{"FailedOnceThenWritten", {4}, 2, true, true},
        RefusalRow{"NoAnswerOnceThenWritten", {kNvStatusNoAnswer}, 2, true, true},
        RefusalRow{"FailedTwice", {4, 4}, 2, false, false},
        RefusalRow{"FailedThenReadOnly", {4, 7}, 2, false, false},
        RefusalRow{"NoAnswerTwice", {kNvStatusNoAnswer, kNvStatusNoAnswer}, 2, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadFileRow {
    const char* name;
    long size;  // -1: no file
    bool clearMarker;
    int32_t language;
    const char* box;  // nullptr: none
};

class NvRestoreBadFile : public NvJobs, public ::testing::WithParamInterface<BadFileRow> {};

TEST_P(NvRestoreBadFile, IsRefusedBeforeTheStickChangesAndTheFileStaysAsItWas) {
    const BadFileRow& row = GetParam();
    std::vector<uint8_t> bytes = EncodeNvmFile(BackupTable());
    if (row.clearMarker) {
        bytes[530 * 136] = 0;
        bytes[530 * 136 + 1] = 0;
    }
    if (row.size >= 0) {
        bytes.resize(static_cast<size_t>(row.size), 0);
        WriteFileBytes(NvmPath(), bytes);
    }
    doc->m_language = row.language;
    EXPECT_FALSE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(sink.Boxes(),
              row.box ? std::vector<std::string>{row.box} : std::vector<std::string>{});
    EXPECT_TRUE(stick.Writes().empty());
    for (const std::string& entry : stick.Log()) {
        EXPECT_EQ(entry, "DownloadCheck") << "only the download check reaches the stick";
    }
    if (row.size >= 0) {
        EXPECT_EQ(ReadFileBytes(NvmPath()), bytes);
    }
}

constexpr const char* kSizeBox = "Line 1 failed: NVM file for backup NV doesn't exist or destroyed";

INSTANTIATE_TEST_SUITE_P(
    Files, NvRestoreBadFile,
    ::testing::Values(BadFileRow{"OneByteShort", 115599, false, 1, kSizeBox},
                      BadFileRow{"OneByteLong", 115601, false, 1, kSizeBox},
                      BadFileRow{"Empty", 0, false, 1, kSizeBox},
                      BadFileRow{"NoEndMarker", 115600, true, 1, kSizeBox},
                      BadFileRow{"ShortInChinese", 10, false, 0,
                                 "在线路1上被选择用来还原NV区的NVM文件不存在或文件尺寸不对"},
                      BadFileRow{"MissingSaysNothing", -1, false, 1, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NvJobs, RestoreGoesOnWhenTheStickIgnoresCheckAndModeChanges) {
    WriteTable(BackupTable());
    for (const char* name : {"DownloadCheck", "GoOffline", "GoOnline"}) {
        stick.Ignore(name);
    }
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(stick.WrittenIds().size(), kNvBackupListSize);
    // The check is called twice with three frame attempts each; each mode change thrice.
    EXPECT_EQ(stick.Count("DownloadCheck"), 6u);
    EXPECT_EQ(stick.Count("GoOffline"), 3u);
    EXPECT_EQ(stick.Count("GoOnline"), 3u);
}

TEST_F(NvJobs, RestoreJobPassesAndResetsTheStickAndAnUnknownModeRestoresNothing) {
    WriteTable(BackupTable());
    doc->m_nvMode = NV_MODE_RF_AND_IMEI;
    RestoreNvJob(*view, kLine);
    EXPECT_EQ(LogLines().back(), "Restore NV success");
    EXPECT_EQ(State(), 2);
    EXPECT_EQ(stick.Log().back(), "ResetPhone");
    EXPECT_EQ(stick.Writes().size(), kNvBackupListSize);

    doc->m_nvMode = 7;
    const size_t writes = stick.Writes().size();
    RestoreNvJob(*view, kLine);
    EXPECT_EQ(stick.Writes().size(), writes);
    EXPECT_EQ(LogLines().back(), "Restore NV success");
    EXPECT_EQ(State(), 2);
}

struct JobFailureRow {
    const char* name;
    int32_t mode;
    int32_t language;
    const char* before;  // the line before the restore, or nullptr
    const char* failure;
};

class NvRestoreJobFailure : public NvJobs, public ::testing::WithParamInterface<JobFailureRow> {};

TEST_P(NvRestoreJobFailure, Text) {
    const JobFailureRow& row = GetParam();
    doc->m_language = row.language;
    doc->m_nvMode = row.mode;
    // Neither the line's NVM file nor a default NV file exists.
    SetField(doc->Record(0).defaultNvFile, (dir.Path() / "default.nvm").string());
    RestoreNvJob(*view, kLine);
    std::vector<std::string> expected;
    if (row.before != nullptr) {
        expected.push_back(row.before);
    }
    expected.push_back(row.failure);
    EXPECT_EQ(LogLines(), expected);
    EXPECT_EQ(State(), 3);
    EXPECT_EQ(stick.Count("ResetPhone"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NvRestoreJobFailure,
    ::testing::Values(
        JobFailureRow{"InnerLoopEnglish", 0, 1, "仅Restore 内环NV", "Restore NV fail!"},
        JobFailureRow{"InnerLoopChinese", 0, 0, "仅Restore 内环NV", "Restore NV fail!"},
        JobFailureRow{"NoImeiEnglish", 1, 1, nullptr, "Restore NV fail!"},
        JobFailureRow{"NoImeiChinese", 1, 0, nullptr, "重载NV区参数失败"},
        JobFailureRow{"AllEnglish", 2, 1, nullptr, "Restore NV fail!"},
        JobFailureRow{"AllChinese", 2, 0, nullptr, "重载NV区参数失败"},
        JobFailureRow{"DefaultEnglish", 3, 1, "装载缺省NV区", "装载缺省NV区失败"},
        JobFailureRow{"DefaultChinese", 3, 0, "装载缺省NV区", "装载缺省NV区失败"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NvJobs, DefaultFileModeRestoresEveryLineFromLineOnesDefaultFile) {
    NvmTable defaults = BackupTable();
    for (NvItemRecord& record : defaults) {
        record.data.fill(0xD5);
    }
    const std::string defaultFile = (dir.Path() / "factory.nvm").string();
    WriteTable(defaults, defaultFile);
    WriteTable(BackupTable());  // the line's own backup, not used in this mode
    SetField(doc->Record(0).defaultNvFile, defaultFile);
    SetField(doc->Record(3).defaultNvFile, NvmPath());  // another line's copy is not used

    for (int32_t mode : {0, 1, 2}) {
        doc->m_nvMode = mode;
        EXPECT_EQ(NvRestoreSource(*doc, 3), NvFolder() + "Channel4.nvm") << mode;
    }
    doc->m_nvMode = 4;
    EXPECT_EQ(NvRestoreSource(*doc, 3), "");
    doc->m_nvMode = NV_MODE_DEFAULT_FILE;
    EXPECT_EQ(NvRestoreSource(*doc, 3), defaultFile);
    RestoreNvJob(*view, kLine);
    ASSERT_EQ(stick.Writes().size(), kNvBackupListSize);
    for (const FakeNvStick::Write& write : stick.Writes()) {
        ASSERT_TRUE(
            std::all_of(write.data.begin(), write.data.end(), [](uint8_t b) { return b == 0xD5; }));
    }
    EXPECT_EQ(LogLines().front(), "装载缺省NV区");
}

}  // namespace
}  // namespace pellan::test
