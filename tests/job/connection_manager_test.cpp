#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "job/job_bench.h"
#include "line/connection_manager.h"
#include "line/standard_jobs.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

// A connection manager installed at `location` (a Windows path, "C:\..." or relative), whose batch
// files append their own name to a journal in its Bin folder.
fs::path Install(JobBench& bench, const std::string& location, const fs::path& bin) {
    bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                sim::RegValue{false, 0, location});
    fs::create_directories(bin);
    for (const char* file : {"hubstop.bat", "hubstop2k.bat", "hubstart.bat"}) {
        // No blank before ">>": cmd would write it into the journal.
        std::ofstream(bin / file) << "echo " << file << ">> journal.txt\n";
    }
    return bin;
}

std::string Journal(const fs::path& bin) {
    std::ifstream in(bin / "journal.txt");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ConnectionManager, FoundOnlyAtADriveAndRunOnlyItsOwnBatchFiles) {
    JobBench bench;
    EXPECT_FALSE(FindConnectionManager(*bench.view));
    EXPECT_FALSE(StopConnectionManager(*bench.view));
    // With no Bin folder there is nothing to start (and no stranger's script is run).
    bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                sim::RegValue{false, 0, "C:\\Nowhere\\"});
    EXPECT_FALSE(FindConnectionManager(*bench.view));
    EXPECT_TRUE(StartConnectionManager(*bench.view));

    // A location without a drive would be found relative to the folder the program started in.
    const std::string name = "pellan-relative-" + bench.dir.Path().filename().string();
    const fs::path relative = Install(bench, name + "\\", fs::current_path() / name / "Bin");
    for (const std::string& text : {name + "\\", "\\" + name, ".\\" + name}) {
        bench.machine.SetExtraValue(kConnectionManagerUninstallKey, "InstallLocation",
                                    sim::RegValue{false, 0, text});
        EXPECT_FALSE(FindConnectionManager(*bench.view)) << text;
        EXPECT_FALSE(StopConnectionManager(*bench.view)) << text;
    }
    const std::string journal = Journal(relative);
    fs::remove_all(fs::current_path() / name);
    EXPECT_EQ(journal, "");

    // Registry text never reaches a shell.
    const fs::path root = bench.env.deviceRoot / "C";
    const fs::path bin = Install(bench, "C:\\a$(touch pwned);touch pwned2`touch pwned3`\\X\\",
                                 root / "a$(touch pwned);touch pwned2`touch pwned3`" / "X" / "Bin");
    CConnectionManager& manager = LineControllerOf(*bench.view).connectionManager;
    ASSERT_TRUE(FindConnectionManager(*bench.view));
    EXPECT_EQ(manager.NativeBinFolder(), bin);
    EXPECT_TRUE(StopConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\n");
    EXPECT_TRUE(StartConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\nhubstart.bat\n");
    for (const auto& entry : fs::recursive_directory_iterator(bench.dir.Path())) {
        EXPECT_NE(entry.path().filename().string().rfind("pwned", 0), 0u) << entry.path();
    }
    EXPECT_FALSE(fs::exists("pwned"));
    fs::remove(bin / "hubstop2k.bat");  // a missing batch file skips the stop
    EXPECT_FALSE(StopConnectionManager(*bench.view));
    EXPECT_EQ(Journal(bin), "hubstop.bat\nhubstart.bat\n");

    Install(bench, "C:\\Program Files\\X\\", root / "Program Files" / "X" / "Bin");
    ASSERT_TRUE(FindConnectionManager(*bench.view));
    EXPECT_EQ(manager.BinFolder(), "C:\\\\Program Files\\\\X\\\\\\\\Bin");
}

TEST(ConnectionManager, AnUpdateStopsItAndOnlyASuccessStartsItAgain) {
    for (bool success : {true, false}) {
        JobBench bench;
        const fs::path bin = Install(bench, "C:\\CM\\", bench.env.deviceRoot / "C" / "CM" / "Bin");
        bench.Plug();
        if (!success) {
            bench.serial.Withhold(CodeRequest(0x06));  // the downloader never answers
        }
        ASSERT_TRUE(bench.RunUpdate());
        EXPECT_EQ(bench.sink.EndRequests(), success ? 1 : 0);
        EXPECT_EQ(Journal(bin), success ? "hubstop.bat\nhubstart.bat\n" : "hubstop.bat\n");
        EXPECT_EQ(LineControllerOf(*bench.view).connectionManager.m_stopped.load(), 1);
    }
}

}  // namespace
}  // namespace pellan::test
