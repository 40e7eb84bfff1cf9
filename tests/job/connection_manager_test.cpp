#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "job/job_bench.h"
#include "line/connection_manager.h"
#include "line/standard_jobs.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

// A connection manager installed at `location` (a Windows path) below the bench's device root,
// whose batch files append their own name to a journal in the Bin folder.
class ConnectionManagerTest : public ::testing::Test {
  protected:
    fs::path Install(const std::string& location, const std::vector<std::string>& files) {
        bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                    sim::RegValue{false, 0, location});
        fs::path bin = bench.env.deviceRoot / "C";
        std::string rest = location.substr(3);
        for (size_t pos = 0; pos < rest.size();) {
            size_t next = rest.find('\\', pos);
            if (next == std::string::npos)
                next = rest.size();
            if (next > pos)
                bin /= rest.substr(pos, next - pos);
            pos = next + 1;
        }
        bin /= "Bin";
        fs::create_directories(bin);
        for (const std::string& file : files) {
            // No blank before ">>": cmd would write it into the journal.
            std::ofstream(bin / file) << "echo " << file << ">> journal.txt\n";
        }
        return bin;
    }
    static std::string Journal(const fs::path& bin) {
        std::ifstream in(bin / "journal.txt");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    JobBench bench;
    const std::vector<std::string> kAll = {"hubstop.bat", "hubstop2k.bat", "hubstart.bat"};
};

TEST_F(ConnectionManagerTest, StopRunsOnlyTheStopFileOfTheBinFolderAndStartTheStartFile) {
    const fs::path bin = Install("C:\\Program Files\\X\\", kAll);
    CConnectionManager& manager = LineControllerOf(*bench.view).connectionManager;
    ASSERT_TRUE(FindConnectionManager(*bench.view));
    EXPECT_EQ(manager.BinFolder(), "C:\\\\Program Files\\\\X\\\\\\\\Bin");
    EXPECT_EQ(manager.NativeBinFolder(),
              bench.env.deviceRoot / "C" / "Program Files" / "X" / "Bin");
    EXPECT_TRUE(StopConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\n");
    EXPECT_TRUE(StartConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\nhubstart.bat\n");

    fs::remove(bin / "hubstop2k.bat");  // a missing batch file skips the stop
    EXPECT_FALSE(StopConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\nhubstart.bat\n");
}

TEST_F(ConnectionManagerTest, AbsentWithoutKeyOrBinFolder) {
    EXPECT_FALSE(FindConnectionManager(*bench.view));
    EXPECT_FALSE(StopConnectionManager(*bench.view));
    bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                sim::RegValue{false, 0, "C:\\Nowhere\\"});
    EXPECT_FALSE(FindConnectionManager(*bench.view));
    // With no Bin folder there is nothing to start (and no stranger's script is run).
    EXPECT_TRUE(StartConnectionManager(*bench.view));
}

// An install location without a drive would be found relative to the folder the program was
// started in; its batch files are not run.
TEST_F(ConnectionManagerTest, AnInstallLocationWithoutADriveIsNotFollowed) {
    // A folder below the current one, where a relative location would lead.
    const std::string name = "pellan-relative-" + bench.dir.Path().filename().string();
    const fs::path bin = fs::current_path() / name / "Bin";
    fs::create_directories(bin);
    for (const std::string& file : kAll) {
        std::ofstream(bin / file) << "echo " << file << " >> journal.txt\n";
    }
    for (const std::string& text : {name + "\\", "\\" + name, ".\\" + name}) {
        bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                    sim::RegValue{false, 0, text});
        EXPECT_FALSE(FindConnectionManager(*bench.view)) << text;
        EXPECT_FALSE(StopConnectionManager(*bench.view)) << text;
    }
    const std::string journal = Journal(bin);
    fs::remove_all(fs::current_path() / name);
    EXPECT_EQ(journal, "");
}

TEST_F(ConnectionManagerTest, RegistryTextNeverReachesAShell) {
    const fs::path bin = Install("C:\\a$(touch pwned);touch pwned2`touch pwned3`\\", kAll);
    ASSERT_TRUE(FindConnectionManager(*bench.view));
    EXPECT_TRUE(StopConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\n");
    for (const auto& entry : fs::recursive_directory_iterator(bench.dir.Path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("pwned", 0), std::string::npos)
            << entry.path();
    }
    EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(ConnectionManagerTest, UpdateStopsAndRestartsTheServiceOnce) {
    const fs::path bin = Install("C:\\CM\\", kAll);
    bench.Plug();
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    EXPECT_EQ(Journal(bin), "hubstop.bat\nhubstart.bat\n");
    CConnectionManager& manager = LineControllerOf(*bench.view).connectionManager;
    EXPECT_EQ(manager.m_found.load(), 1);
    EXPECT_EQ(manager.m_stopped.load(), 1);
}

TEST_F(ConnectionManagerTest, FailedUpdateLeavesTheServiceStopped) {
    const fs::path bin = Install("C:\\CM\\", kAll);
    bench.Plug();
    bench.serial.Withhold(CodeRequest(0x06));  // the downloader never answers
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.LastMessage(), "Switch to Download mode fail!");
    EXPECT_EQ(Journal(bin), "hubstop.bat\n");
}

TEST(NamedMutex, SecondHolderIsToldTheMutexExists) {
    TempDir dir;
    bool exists = true;
    auto first = platform::NamedMutex::Create(kConnectionManagerMutex, dir.Path(), exists);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(exists);
    EXPECT_TRUE(fs::exists(dir.Path() / "mutex" / kConnectionManagerMutex));
    auto second = platform::NamedMutex::Create(kConnectionManagerMutex, dir.Path(), exists);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(exists);
    first.reset();
    auto third = platform::NamedMutex::Create(kConnectionManagerMutex, dir.Path(), exists);
    EXPECT_NE(third, nullptr);
    EXPECT_FALSE(exists);
}

}  // namespace
}  // namespace pellan::test
