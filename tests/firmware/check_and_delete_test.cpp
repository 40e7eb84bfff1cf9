// The checks before a job and the deletion of the set.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "firmware/firmware_fixture.h"
#include "firmware/firmware_set.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

class FirmwareCheck : public FirmwareFixture {
  protected:
    void SetUp() override {
        FirmwareFixture::SetUp();
        ASSERT_TRUE(InstallFirmwareSet(*view));
        SetLineFirmwarePaths(*doc, kLine, Folder());
        doc->Runtime(kLine).phoneState = 2;
    }

    static constexpr int kLine = 2;  // shown as Line3
};

TEST_F(FirmwareCheck, ACompleteSetPassesAndAnUpdateNeedsAFoundStickAndAFolder) {
    EXPECT_TRUE(CheckLineFirmware(*view, kLine, true));
    doc->Runtime(kLine).phoneState = 1;
    EXPECT_TRUE(CheckLineFirmware(*view, kLine, false)) << "repair needs no stick";
    EXPECT_TRUE(sink.Boxes().empty());
    for (int state : {0, 1}) {
        doc->Runtime(kLine).phoneState = state;
        EXPECT_FALSE(CheckLineFirmware(*view, kLine, true)) << "phone state " << state;
    }
    doc->m_language = 0;
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, true));
    SetField(doc->Record(kLine).firmwareFolder, "");  // the empty folder field comes first
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, true));
    doc->m_language = 1;
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, false));
    EXPECT_EQ(sink.Boxes(),
              (std::vector<std::string>{"Line3 : No Phone connect!", "Line3 : No Phone connect!",
                                        "线路3对应的串口上并没有检测到有手机连接!",
                                        "您还没有在线路3载入要下载的软件文件！",
                                        "Line3 : You didn't load the firmware"}));
}

struct FileRow {
    const char* name;
    const char* cannotOpen;
    const char* wrong;
};

class FirmwareFileCheck : public FirmwareCheck, public ::testing::WithParamInterface<FileRow> {};

TEST_P(FirmwareFileCheck, MissingUnopenableOrShortFileIsReported) {
    const fs::path path = fs::path(Folder()) / GetParam().name;
    fs::remove(path);
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, true));
    doc->m_language = 0;  // these texts exist in English only
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, false));
    fs::create_directory(path);
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, true));
    fs::remove(path);
    for (const Bytes& content : {Bytes{}, Bytes{0x41}}) {
        WriteBytes(path, content);
        EXPECT_FALSE(CheckLineFirmware(*view, kLine, true)) << content.size() << " bytes";
    }
    WriteBytes(path, {0x41, 0x42});
    EXPECT_TRUE(CheckLineFirmware(*view, kLine, true)) << "two bytes are enough";
    const std::string open = GetParam().cannotOpen;
    EXPECT_EQ(sink.Boxes(),
              (std::vector<std::string>{open, open, open, GetParam().wrong, GetParam().wrong}));
}

INSTANTIATE_TEST_SUITE_P(
    EachCheckedFile, FirmwareFileCheck,
    ::testing::Values(
        FileRow{"partition.mbn", "Line3: can't open partition.mbn!",
                "Line3: Open wrong partition.mbn! "},
        FileRow{"dbl.mbn", "Line3: can't open dbl.mbn!", "Line3: Open wrong dbl.mbn! "},
        FileRow{"fsbl.mbn", "Line3: can't open fsbl.mbn!", "Line3: Open wrong fsbl.mbn! "},
        FileRow{"osbl.mbn", "Line3: can't open osbl.mbn!", "Line3: Open wrong osbl.mbn! "},
        FileRow{"amss.mbn", "Line3: can't open amss.mbn!", "Line3: Open wrong amss.mbn! "},
        FileRow{"nandprgcombined.mbn", "Line3: can't open nandprgcombined.mbn!",
                "Line3: Open wrong nandprgcombined.mbn! "}),
    [](const auto& info) {
        std::string name = info.param.name;
        return name.substr(0, name.find('.'));
    });

TEST_F(FirmwareCheck, FilesAreCheckedInOrderAndTheFirstFailureWins) {
    fs::remove(fs::path(Folder()) / "nandprgcombined.mbn");
    WriteBytes(fs::path(Folder()) / "osbl.mbn", {});
    fs::remove(fs::path(Folder()) / "dbl.mbn");
    EXPECT_FALSE(CheckLineFirmware(*view, kLine, true));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line3: can't open dbl.mbn!"});
}

TEST_F(FirmwareCheck, ArmprgAndEfsAreLeftToTheStepsThatUseThem) {
    fs::remove(fs::path(Folder()) / "armprg.bin");
    WriteBytes(fs::path(Folder()) / "efs.mbn", {});
    EXPECT_TRUE(CheckLineFirmware(*view, kLine, true));
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(FirmwareCheck, FileInFolderJoinsAndTestsExistence) {
    std::string buffer = "left over";
    // Compared in the generic form: a Windows build joins with its own separator.
    const std::string folder = fs::path(Folder()).generic_string();
    EXPECT_TRUE(FileInFolder(buffer, Folder(), "amss.mbn"));
    EXPECT_EQ(fs::path(buffer).generic_string(), folder + "/amss.mbn");
    EXPECT_FALSE(FileInFolder(buffer, Folder(), "missing.mbn"));
    EXPECT_EQ(fs::path(buffer).generic_string(), folder + "/missing.mbn");
    EXPECT_TRUE(FileInFolder(buffer, fs::path(Folder()).parent_path().string(), "HX402newversion"))
        << "a folder is an entry too";
}

// ---- deletion ----

TEST_F(FirmwareCheck, DeletionRemovesTheSetAndTheFolderButNotItsParents) {
    EXPECT_TRUE(DeleteFirmwareSet(*view));
    EXPECT_FALSE(fs::exists(Folder()));
    EXPECT_TRUE(fs::is_directory(fs::path(Folder()).parent_path()));
    EXPECT_TRUE(fs::is_directory(DeviceRoot() / "C" / "Program Files"));

    // Until the next start a job is refused at its first file.
    EXPECT_FALSE(CheckLineFirmware(*view, 0, false));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line1: can't open partition.mbn!"});

    EXPECT_TRUE(DeleteFirmwareSet(*view)) << "deleting what is gone is no failure";
}

TEST_F(FirmwareCheck, WhatCannotBeDeletedStays) {
    WriteBytes(fs::path(Folder()) / "keep.txt", {1});
    fs::remove(fs::path(Folder()) / "efs.mbn");
    EXPECT_TRUE(DeleteFirmwareSet(*view));
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"keep.txt"});
}

TEST_F(FirmwareCheck, TheLastOfSeveralSuccessfulLinesDeletesTheSet) {
    doc->Runtime(0).running = 1;
    doc->Runtime(3).running = 1;
    doc->Runtime(5).running = 1;  // an NV job reading amss.mbn needs the set as well

    EXPECT_FALSE(DeleteFirmwareSet(*view, 0)) << "lines 4 and 6 still run";
    EXPECT_TRUE(fs::exists(fs::path(Folder()) / "amss.mbn"));
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view)) << "nothing has ended yet";

    doc->Runtime(5).running = 0;  // line 6 ends (FinishLineJob) and reports it
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view));
    EXPECT_TRUE(fs::exists(fs::path(Folder()) / "amss.mbn"));

    // Line 4 succeeds too; line 1, done with the set, has not ended yet but holds nothing back.
    EXPECT_TRUE(DeleteFirmwareSet(*view, 3));
    EXPECT_FALSE(fs::exists(Folder()));
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view)) << "nothing is pending any more";
}

TEST_F(FirmwareCheck, DeferredDeletionHappensWhenTheOtherJobFails) {
    doc->Runtime(0).running = 1;
    doc->Runtime(1).running = 1;
    EXPECT_FALSE(DeleteFirmwareSet(*view, 0));
    doc->Runtime(1).running = 0;
    EXPECT_TRUE(DeleteDeferredFirmwareSet(*view));
    EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(FirmwareCheck, TheJobThreadOfTheLastLineCarriesOutADeferredDeletion) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    view->SetJobProcedures(JOB_NV_BACKUP, {nullptr, [released](CPellanView& v, int line) {
                                               released.wait();
                                               v.FinishLineJob(line, "failed", 3);
                                           }});
    doc->Runtime(1).jobKind = JOB_NV_BACKUP;
    ASSERT_TRUE(view->StartLineJob(1));
    doc->Runtime(0).running = 1;
    EXPECT_FALSE(DeleteFirmwareSet(*view, 0)) << "line 2 still runs";
    doc->Runtime(0).running = 0;
    release.set_value();
    view->WaitLineJob(1);
    EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(FirmwareCheck, ALineStartingAgainTakesItsClaimBack) {
    doc->Runtime(0).running = 1;
    doc->Runtime(1).running = 1;
    EXPECT_FALSE(DeleteFirmwareSet(*view, 0));
    // Line 1 ends and is started again before line 2 is done.
    doc->Runtime(0).running = 0;
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view));
    ASSERT_TRUE(CheckLineFirmware(*view, 0, false));
    doc->Runtime(0).running = 1;
    doc->Runtime(1).running = 0;
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view)) << "line 1 uses the set again";
    EXPECT_TRUE(fs::exists(fs::path(Folder()) / "amss.mbn"));
    doc->Runtime(0).running = 0;
    EXPECT_TRUE(DeleteDeferredFirmwareSet(*view));
}

TEST_F(FirmwareCheck, CallWithoutALine) {
    doc->Runtime(4).running = 1;
    EXPECT_TRUE(DeleteFirmwareSet(*view)) << "a single running line is the caller's own";
    ASSERT_TRUE(InstallFirmwareSet(*view));
    doc->Runtime(6).running = 1;
    EXPECT_FALSE(DeleteFirmwareSet(*view)) << "of two running lines one is another's";
    doc->Runtime(4).running = 0;
    doc->Runtime(6).running = 0;
    EXPECT_TRUE(DeleteDeferredFirmwareSet(*view));
    EXPECT_FALSE(fs::exists(Folder()));
}

}  // namespace
}  // namespace pellan::test
