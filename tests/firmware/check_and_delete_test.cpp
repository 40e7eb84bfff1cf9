// The checks before a job and the deletion of the set.
#include <future>

#include "firmware/firmware_fixture.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

class FirmwareCheck : public FirmwareFixture {
  protected:
    void SetUp() override {
        FirmwareFixture::SetUp();
        ASSERT_TRUE(InstallFirmwareSet(*view));
        SetLineFirmwarePaths(doc->Record(kLine), Folder());
        doc->Runtime(kLine).phoneState = 2;
    }
    fs::path File(const char* name) const { return fs::path(Folder()) / name; }
    bool Check(bool update = true) { return CheckLineFirmware(*view, kLine, update); }

    static constexpr int kLine = 2;  // shown as Line3
};

TEST_F(FirmwareCheck, AnUpdateNeedsAFoundStickAndAFolderARepairNeither) {
    EXPECT_TRUE(Check());
    doc->Runtime(kLine).phoneState = 1;
    EXPECT_TRUE(Check(false)) << "repair needs no stick";
    EXPECT_FALSE(Check());
    doc->m_language = 0;
    EXPECT_FALSE(Check());
    SetField(doc->Record(kLine).firmwareFolder, "");  // the empty folder field comes first
    EXPECT_FALSE(Check());
    doc->m_language = 1;
    EXPECT_FALSE(Check(false));
    EXPECT_EQ(sink.Boxes(), (std::vector<std::string>{"Line3 : No Phone connect!",
                                                      "线路3对应的串口上并没有检测到有手机连接!",
                                                      "您还没有在线路3载入要下载的软件文件！",
                                                      "Line3 : You didn't load the firmware"}));
}

// Each image a job writes must be there, openable and longer than one byte; the first failure in
// the order of the set wins; the armprg and the EFS image are left to the steps that use them.
TEST_F(FirmwareCheck, MissingUnopenableOrShortImagesAreReportedInOrder) {
    const char* const checked[] = {"partition.mbn", "dbl.mbn",  "fsbl.mbn",
                                   "osbl.mbn",      "amss.mbn", "nandprgcombined.mbn"};
    for (const char* name : checked) {
        SCOPED_TRACE(name);
        const size_t before = sink.Boxes().size();
        fs::remove(File(name));
        EXPECT_FALSE(Check());
        doc->m_language = 0;  // these texts exist in English only
        fs::create_directory(File(name));
        EXPECT_FALSE(Check(false));
        doc->m_language = 1;
        fs::remove(File(name));
        for (const Bytes& content : {Bytes{}, Bytes{0x41}}) {
            WriteBytes(File(name), content);
            EXPECT_FALSE(Check()) << content.size() << " bytes";
        }
        WriteBytes(File(name), {0x41, 0x42});
        EXPECT_TRUE(Check()) << "two bytes are enough";
        const std::string open = "Line3: can't open " + std::string(name) + "!";
        const std::string wrong = "Line3: Open wrong " + std::string(name) + "! ";
        const std::vector<std::string> boxes = sink.Boxes();
        EXPECT_EQ(std::vector<std::string>(boxes.begin() + static_cast<long>(before), boxes.end()),
                  (std::vector<std::string>{open, open, wrong, wrong}));
    }
    fs::remove(File("nandprgcombined.mbn"));
    WriteBytes(File("osbl.mbn"), {});
    fs::remove(File("dbl.mbn"));
    fs::remove(File("armprg.bin"));
    EXPECT_FALSE(Check());
    EXPECT_EQ(sink.Boxes().back(), "Line3: can't open dbl.mbn!");
    WriteBytes(File("dbl.mbn"), {1, 2});
    WriteBytes(File("osbl.mbn"), {1, 2});
    WriteBytes(File("nandprgcombined.mbn"), {1, 2});
    WriteBytes(File("efs.mbn"), {});
    EXPECT_TRUE(Check());
}

TEST_F(FirmwareCheck, DeletionRemovesTheSetAndTheFolderButNotItsParentsNorForeignFiles) {
    WriteBytes(File("keep.txt"), {1});
    fs::remove(File("efs.mbn"));
    EXPECT_TRUE(DeleteFirmwareSet(*view));
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string>{"keep.txt"});
    fs::remove(File("keep.txt"));
    EXPECT_TRUE(DeleteFirmwareSet(*view)) << "deleting what is gone is no failure";
    EXPECT_FALSE(fs::exists(Folder()));
    EXPECT_TRUE(fs::is_directory(DeviceRoot() / "C" / "Program Files" / "Windows Service"));
    // Until the next start a job is refused at its first file.
    EXPECT_FALSE(CheckLineFirmware(*view, 0, false));
    EXPECT_EQ(sink.Boxes(), std::vector<std::string>{"Line1: can't open partition.mbn!"});
}

// The set goes when the last line that uses it has ended; a line that starts again claims it back.
TEST_F(FirmwareCheck, TheLastLineToEndDeletesTheSet) {
    doc->Runtime(0).running = 1;
    doc->Runtime(3).running = 1;
    doc->Runtime(5).running = 1;  // an NV job reading amss.mbn needs the set as well
    EXPECT_FALSE(DeleteFirmwareSet(*view, 0)) << "lines 4 and 6 still run";
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view)) << "nothing has ended yet";
    doc->Runtime(0).running = 0;  // line 1 ends and is started again
    ASSERT_TRUE(CheckLineFirmware(*view, 0, false));
    doc->Runtime(0).running = 1;
    doc->Runtime(5).running = 0;  // line 6 fails and reports its end
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view));
    EXPECT_TRUE(fs::exists(File("amss.mbn")));
    doc->Runtime(0).running = 0;
    EXPECT_TRUE(DeleteFirmwareSet(*view, 3)) << "line 4 succeeds last";
    EXPECT_FALSE(fs::exists(Folder()));
    EXPECT_FALSE(DeleteDeferredFirmwareSet(*view)) << "nothing is pending any more";

    doc->Runtime(3).running = 0;
    ASSERT_TRUE(InstallFirmwareSet(*view));
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

TEST_F(FirmwareCheck, TheJobThreadOfTheLastLineCarriesOutADeferredDeletion) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    view->SetJobProcedures(JOB_NV_BACKUP, {nullptr, [released](LineStation& s, int line) {
                                               released.wait();
                                               s.Context(line).report.FinishJob("failed", 3);
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

}  // namespace
}  // namespace pellan::test
