// RestoreNvFromFile and the Restore NV job against a scripted stick on the virtual clock: the
// items each NvMode writes, the refusals, the progress steps and the file checks.
#include "nv/nv_restore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "nv/nv_backup.h"
#include "nv/nv_fixture.h"
#include "nv/nvm_file.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

// A backup as the backup writes it: every listed item with its pattern and status 0.
NvmTable BackupTable() {
    NvmTable table = BuildBackupTable();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        table[i].data = ItemPattern(table[i].itemId);
    }
    return table;
}

std::vector<uint16_t> WrittenIds(const FakeNvStick& stick) {
    std::vector<uint16_t> ids;
    for (const FakeNvStick::Write& write : stick.Writes()) {
        ids.push_back(write.id);
    }
    return ids;
}

std::vector<uint16_t> ListIdsWithout(std::initializer_list<uint16_t> left) {
    std::vector<uint16_t> ids;
    for (uint16_t id : NvBackupList) {
        if (std::find(left.begin(), left.end(), id) == left.end()) {
            ids.push_back(id);
        }
    }
    return ids;
}

class NvRestoreTest : public NvJobFixture {
  protected:
    void WriteTable(const NvmTable& table, const std::string& path = "") {
        WriteFileBytes(path.empty() ? NvmPath() : path, EncodeNvmFile(table));
    }
    bool Restore(int32_t mode, const std::string& path = "") {
        doc->m_nvMode = mode;
        return RestoreNvFromFile(*view, kLine, path.empty() ? NvmPath() : path);
    }
    // The commands other than NV writes, in order.
    std::vector<std::string> ModeCommands() const {
        std::vector<std::string> out;
        for (const std::string& entry : stick.Log()) {
            if (entry.rfind("WriteNvItem", 0) != 0) {
                out.push_back(entry);
            }
        }
        return out;
    }
};

TEST_F(NvRestoreTest, Mode2WritesEveryItemInFileOrderBetweenOfflineAndOnline) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));

    EXPECT_EQ(WrittenIds(stick), std::vector<uint16_t>(NvBackupList.begin(), NvBackupList.end()));
    for (const FakeNvStick::Write& write : stick.Writes()) {
        ASSERT_EQ(write.data, ItemPattern(write.id)) << write.id;
    }
    // The download check (one call; the link may send its frame more than once), then offline,
    // the writes, and online.
    std::vector<std::string> modes = ModeCommands();
    modes.erase(std::unique(modes.begin(), modes.end()), modes.end());
    EXPECT_EQ(modes, (std::vector<std::string>{"DownloadCheck", "GoOffline", "GoOnline"}));
    EXPECT_EQ(stick.Count("GoOffline"), 1u);
    EXPECT_LE(stick.Count("DownloadCheck"), 3u);
    const std::vector<std::string> log = stick.Log();
    EXPECT_EQ(log[stick.Count("DownloadCheck")], "GoOffline");
    EXPECT_EQ(log.back(), "GoOnline");
    EXPECT_EQ(stick.CheckedBlock(), LocationRecord());

    const std::vector<int> progress = sink.Progress(kLine);
    ASSERT_EQ(progress.size(), kNvBackupListSize);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], 83 + static_cast<int>(12 * i / 850)) << i;
    }
}

TEST_F(NvRestoreTest, Mode1LeavesOutTheIdentityItemsWithoutAProgressStep) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_RF_NO_IMEI));
    EXPECT_EQ(WrittenIds(stick), ListIdsWithout({550, 4051}));
    EXPECT_EQ(sink.Progress(kLine).size(), kNvBackupListSize - 2);
}

TEST_F(NvRestoreTest, Mode3WritesEveryItemIdentityIncluded) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_DEFAULT_FILE));
    EXPECT_EQ(WrittenIds(stick), std::vector<uint16_t>(NvBackupList.begin(), NvBackupList.end()));
}

TEST_F(NvRestoreTest, Mode0StopsAtTheInnerLoopMarker) {
    NvmTable table = BackupTable();
    table[3].itemId = kNvInnerLoopMarker;
    WriteTable(table);
    ASSERT_TRUE(Restore(NV_MODE_NONE));
    EXPECT_EQ(WrittenIds(stick), (std::vector<uint16_t>{5479, 5065, 3969}));
    EXPECT_EQ(sink.Progress(kLine), (std::vector<int>{0, 3, 6}));
    EXPECT_EQ(stick.Log().back(), "GoOnline");
}

TEST_F(NvRestoreTest, InnerLoopMarkerIsAnOrdinaryItemInOtherModes) {
    NvmTable table = BackupTable();
    table[3].itemId = kNvInnerLoopMarker;
    WriteTable(table);
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    const std::vector<uint16_t> ids = WrittenIds(stick);
    ASSERT_EQ(ids.size(), kNvBackupListSize);
    EXPECT_EQ(ids[3], kNvInnerLoopMarker);
}

TEST_F(NvRestoreTest, Mode0WritesAWholeBackupAndTheBarTopsOutAtRecord34) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_NONE));
    EXPECT_EQ(WrittenIds(stick).size(), kNvBackupListSize);
    const std::vector<int> progress = sink.Progress(kLine);
    ASSERT_EQ(progress.size(), kNvBackupListSize);
    for (size_t i = 0; i < progress.size(); ++i) {
        ASSERT_EQ(progress[i], std::min(3 * static_cast<int>(i), 100)) << i;
    }
    EXPECT_EQ(progress[33], 99);
    EXPECT_EQ(progress[34], 100);
}

TEST_F(NvRestoreTest, RecordsStoredWithAFailureStatusAreLeftOutButMoveTheBar) {
    NvmTable table = BackupTable();
    table[0].status = kNvStatusNoAnswer;
    table[1].status = 5;
    table[2].status = 4;
    WriteTable(table);
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    const std::vector<uint16_t> ids = WrittenIds(stick);
    EXPECT_EQ(ids.size(), kNvBackupListSize - 3);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 5479), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 5065), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 3969), 0);
    EXPECT_EQ(sink.Progress(kLine).size(), kNvBackupListSize);
}

struct RefusalCase {
    const char* name;
    std::deque<uint16_t> answers;  // what the stick answers to the writes of item 22
    size_t attempts;               // writes of item 22
    bool result;
    bool progressStep;  // item 22 took a progress step
};

class NvRestoreRefusalTest : public NvRestoreTest,
                             public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(NvRestoreRefusalTest, RefusedWrite) {
    const RefusalCase& c = GetParam();
    // Item 22 is the last of the list; a write refused before it keeps the rest from being
    // written, so it is moved to the front.
    NvmTable table = BackupTable();
    std::swap(table[0], table[529]);
    WriteTable(table);
    stick.ScriptWrites(22, c.answers);

    EXPECT_EQ(Restore(NV_MODE_RF_AND_IMEI), c.result);
    const std::vector<uint16_t> ids = WrittenIds(stick);
    EXPECT_EQ(static_cast<size_t>(std::count(ids.begin(), ids.end(), 22)), c.attempts);
    if (c.result) {
        EXPECT_EQ(ids.size(), kNvBackupListSize - 1 + c.attempts);
        EXPECT_EQ(stick.Log().back(), "GoOnline");
        EXPECT_EQ(sink.Progress(kLine).size(), kNvBackupListSize - (c.progressStep ? 0 : 1));
    } else {
        EXPECT_EQ(ids.size(), c.attempts) << "nothing after the refused item is written";
        EXPECT_EQ(stick.Count("GoOnline"), 0u) << "the stick stays offline";
        EXPECT_TRUE(sink.Progress(kLine).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, NvRestoreRefusalTest,
    ::testing::Values(
        RefusalCase{"NotActive", {5}, 1, true, false}, RefusalCase{"ReadOnly", {7}, 1, true, false},
        RefusalCase{"FailedOnceThenWritten", {4}, 2, true, true},
        RefusalCase{"NoAnswerOnceThenWritten", {kNvStatusNoAnswer}, 2, true, true},
        RefusalCase{"FailedTwice", {4, 4}, 2, false, false},
        RefusalCase{"FailedThenReadOnly", {4, 7}, 2, false, false},
        RefusalCase{"NoAnswerTwice", {kNvStatusNoAnswer, kNvStatusNoAnswer}, 2, false, false}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(NvRestoreTest, DuplicateIdsAreWrittenAsOftenAsTheyOccur) {
    WriteTable(BackupTable());
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    const std::vector<uint16_t> ids = WrittenIds(stick);
    for (uint16_t id : {5066, 5299, 5403, 5503}) {
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 2) << id;
    }
}

struct BadFileCase {
    const char* name;
    size_t size;
    bool clearMarker;
};

class NvRestoreBadFileTest : public NvRestoreTest,
                             public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(NvRestoreBadFileTest, IsRefusedWithTheSizeMessageAndTheStickUntouched) {
    std::vector<uint8_t> bytes = EncodeNvmFile(BackupTable());
    if (GetParam().clearMarker) {
        bytes[530 * 136] = 0;
        bytes[530 * 136 + 1] = 0;
    }
    bytes.resize(GetParam().size, 0);
    WriteFileBytes(NvmPath(), bytes);

    EXPECT_FALSE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(sink.Boxes(),
              std::vector<std::string>{
                  "Line 1 failed: NVM file for backup NV doesn't exist or destroyed"});
    EXPECT_TRUE(stick.Writes().empty());
    EXPECT_EQ(stick.Count("GoOffline"), 0u);
    for (const std::string& entry : stick.Log()) {
        EXPECT_EQ(entry, "DownloadCheck") << "only the download check reaches the stick";
    }
    EXPECT_EQ(ReadFileBytes(NvmPath()), bytes) << "the restore never changes its file";
}

INSTANTIATE_TEST_SUITE_P(Files, NvRestoreBadFileTest,
                         ::testing::Values(BadFileCase{"OneByteShort", 115599, false},
                                           BadFileCase{"OneByteLong", 115601, false},
                                           BadFileCase{"Empty", 0, false},
                                           BadFileCase{"NoEndMarker", 115600, true}),
                         [](const ::testing::TestParamInfo<BadFileCase>& info) {
                             return info.param.name;
                         });

TEST_F(NvRestoreTest, SizeMessageInChinese) {
    WriteFileBytes(NvmPath(), std::vector<uint8_t>(10, 0));
    doc->m_language = 0;
    EXPECT_FALSE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(sink.Boxes(),
              std::vector<std::string>{"在线路1上被选择用来还原NV区的NVM文件不存在或文件尺寸不对"});
}

TEST_F(NvRestoreTest, MissingFileFailsWithoutAMessage) {
    EXPECT_FALSE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_TRUE(sink.Boxes().empty());
    EXPECT_TRUE(stick.Writes().empty());
    EXPECT_EQ(stick.Count("GoOffline"), 0u);
}

TEST_F(NvRestoreTest, GoesOnWhenTheStickIgnoresCheckAndModeChanges) {
    WriteTable(BackupTable());
    stick.Ignore("DownloadCheck");
    stick.Ignore("GoOffline");
    stick.Ignore("GoOnline");
    ASSERT_TRUE(Restore(NV_MODE_RF_AND_IMEI));
    EXPECT_EQ(WrittenIds(stick).size(), kNvBackupListSize);
    // The download check is sent twice (each call with three frame attempts), the mode
    // changes three times each.
    EXPECT_EQ(stick.Count("DownloadCheck"), 6u);
    EXPECT_EQ(stick.Count("GoOffline"), 3u);
    EXPECT_EQ(stick.Count("GoOnline"), 3u);
}

// ---- the job ----

TEST_F(NvRestoreTest, JobInMode2EndsInPassAndResetsTheStick) {
    WriteTable(BackupTable());
    doc->m_nvMode = NV_MODE_RF_AND_IMEI;
    RestoreNvJob(*view, kLine);
    EXPECT_EQ(LogLines().back(), "Restore NV success");
    EXPECT_EQ(sink.States(kLine).back(), 2);
    EXPECT_EQ(stick.Log().back(), "ResetPhone");
    EXPECT_EQ(WrittenIds(stick).size(), kNvBackupListSize);
}

struct JobCase {
    const char* name;
    int32_t mode;
    int32_t language;
    const char* before;   // the stamped line before the restore, or nullptr
    const char* failure;  // the job's failure text
};

class NvRestoreJobTest : public NvRestoreTest, public ::testing::WithParamInterface<JobCase> {};

TEST_P(NvRestoreJobTest, FailureText) {
    const JobCase& c = GetParam();
    doc->m_language = c.language;
    doc->m_nvMode = c.mode;
    std::string error;
    // Neither the line's NVM file nor a default NV file exists.
    SetField(doc->Record(0).defaultNvFile, (dir.Path() / "default.nvm").string());
    RestoreNvJob(*view, kLine);

    std::vector<std::string> expected;
    if (c.before != nullptr) {
        expected.push_back(c.before);
    }
    expected.push_back(c.failure);
    EXPECT_EQ(LogLines(), expected);
    EXPECT_EQ(sink.States(kLine).back(), 3);
    EXPECT_EQ(stick.Count("ResetPhone"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NvRestoreJobTest,
    ::testing::Values(JobCase{"InnerLoopEnglish", 0, 1, "仅Restore 内环NV", "Restore NV fail!"},
                      JobCase{"InnerLoopChinese", 0, 0, "仅Restore 内环NV", "Restore NV fail!"},
                      JobCase{"NoImeiEnglish", 1, 1, nullptr, "Restore NV fail!"},
                      JobCase{"NoImeiChinese", 1, 0, nullptr, "重载NV区参数失败"},
                      JobCase{"AllEnglish", 2, 1, nullptr, "Restore NV fail!"},
                      JobCase{"AllChinese", 2, 0, nullptr, "重载NV区参数失败"},
                      JobCase{"DefaultEnglish", 3, 1, "装载缺省NV区", "装载缺省NV区失败"},
                      JobCase{"DefaultChinese", 3, 0, "装载缺省NV区", "装载缺省NV区失败"}),
    [](const ::testing::TestParamInfo<JobCase>& info) { return info.param.name; });

TEST_F(NvRestoreTest, JobInAnUnknownModeRestoresNothingAndPasses) {
    WriteTable(BackupTable());
    doc->m_nvMode = 7;
    RestoreNvJob(*view, kLine);
    EXPECT_TRUE(stick.Writes().empty());
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Restore NV success"});
    EXPECT_EQ(sink.States(kLine).back(), 2);
}

TEST_F(NvRestoreTest, Mode3RestoresEveryLineFromLineOnesDefaultFile) {
    NvmTable defaults = BackupTable();
    for (NvItemRecord& record : defaults) {
        record.data.fill(0xD5);
    }
    const std::string defaultFile = (dir.Path() / "factory.nvm").string();
    WriteTable(defaults, defaultFile);
    WriteTable(BackupTable());  // the line's own backup, not used in mode 3
    std::string error;
    ASSERT_TRUE(ChooseDefaultNvFile(*doc, defaultFile, error)) << error;
    // Another line's copy differs; line 1's is the one every line uses.
    SetField(doc->Record(kLine).defaultNvFile, NvmPath());
    SetField(doc->Record(0).defaultNvFile, defaultFile);

    doc->m_nvMode = NV_MODE_DEFAULT_FILE;
    EXPECT_EQ(NvRestoreSource(*doc, 5), defaultFile);
    RestoreNvJob(*view, kLine);
    ASSERT_EQ(stick.Writes().size(), kNvBackupListSize);
    for (const FakeNvStick::Write& write : stick.Writes()) {
        ASSERT_TRUE(
            std::all_of(write.data.begin(), write.data.end(), [](uint8_t b) { return b == 0xD5; }));
    }
    EXPECT_EQ(LogLines().front(), "装载缺省NV区");
}

TEST_F(NvRestoreTest, RestoreSourceFollowsTheMode) {
    SetField(doc->Record(0).defaultNvFile, "/factory.nvm");
    for (int32_t mode : {0, 1, 2}) {
        doc->m_nvMode = mode;
        EXPECT_EQ(NvRestoreSource(*doc, 3), NvFolder() + "Channel4.nvm") << mode;
    }
    doc->m_nvMode = 3;
    EXPECT_EQ(NvRestoreSource(*doc, 3), "/factory.nvm");
    doc->m_nvMode = 4;
    EXPECT_EQ(NvRestoreSource(*doc, 3), "");
}

TEST_F(NvRestoreTest, StartCheck) {
    EXPECT_TRUE(CheckRestoreNvStart(*view, kLine));
    doc->Runtime(kLine).phoneState = 1;
    EXPECT_FALSE(CheckRestoreNvStart(*view, kLine));
    EXPECT_TRUE(sink.Boxes().empty());
    doc->Runtime(kLine).phoneState = 2;
    SetField(doc->Record(kLine).nvFolder, "");
    EXPECT_FALSE(CheckRestoreNvStart(*view, kLine));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line1 No NV directory!"});
}

TEST_F(NvRestoreTest, DefaultNvFileMustExistAndFit) {
    std::string error;
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

}  // namespace
}  // namespace pellan::test
