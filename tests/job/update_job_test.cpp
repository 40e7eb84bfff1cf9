#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "job/job_bench.h"
#include "line/standard_jobs.h"
#include "line/update_job.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

TEST(UpdateJob, SuccessShowsItsTimeOnceRestoresTheStickAndEndsTheProgram) {
    JobBench bench;
    bench.Plug();
    // Make the run last 605.3 s from the start time: the start time is taken just before the
    // ESN is read, which shows progress 1; from progress 99 only the 3 s pause of the end remains.
    uint32_t progress1At = 0;
    bench.sink.onProgress = [&](int percent) {
        if (percent == 1) {
            progress1At = bench.clock.TickMs();
        } else if (percent == 99) {
            bench.clock.Advance(progress1At + 605300 - 3000 - bench.clock.TickMs());
        }
    };
    ASSERT_TRUE(bench.RunUpdate());
    const std::vector<int> progress = bench.sink.Progress();
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << "progress went backwards";
    EXPECT_EQ(progress.back(), 100);
    const std::string success = "Update success!  It costs 10 minutes and 5 seconds.";
    EXPECT_EQ(bench.LastMessage(), success);
    EXPECT_EQ(bench.sink.Boxes(), std::vector<std::string>{success});
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    const std::vector<int> states = bench.sink.States();
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0);
    EXPECT_TRUE(bench.stick->UpdateFinished());
    EXPECT_EQ(bench.stick->VendorMode(), 0);
    EXPECT_EQ(bench.stick->Autorun(), 1);
    EXPECT_EQ(bench.stick->CountOf("SetValue16"), 1u) << "the challenge was not answered right";
    // Item 22 goes back first with bytes 22..49 cleared, then whole from the NVM file.
    const std::vector<sim::NvWriteRecord> writes = bench.stick->NvWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().id, 22);
    EXPECT_TRUE(std::all_of(writes.front().data.begin() + 22, writes.front().data.begin() + 50,
                            [](uint8_t b) { return b == 0; }));

    EXPECT_EQ(UpdateSuccessText(true, 0, 59900),
              "Update success!  It costs 0 minutes and 59 seconds.");
    EXPECT_EQ(UpdateSuccessText(false, 2, 61999), "线路3下载成功！共花了1分1秒");
}

struct FailureRow {
    const char* name;
    const char* text;  // empty: the link's last error
    bool resetSent;    // codes 2 and 4 reset the stick, code 5 does not
    std::function<void(JobBench&, sim::StickOptions&)> arrange;
};

class UpdateJobFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(UpdateJobFailure, EndsWithItsTextCodeAndFailState) {
    const FailureRow& row = GetParam();
    JobBench bench;
    sim::StickOptions options;
    row.arrange(bench, options);
    bench.Plug(options);
    ASSERT_TRUE(bench.RunUpdate());

    const std::string expected = *row.text ? row.text : bench.doc->Link(0).m_lastError;
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(bench.LastMessage(), expected);
    ASSERT_FALSE(bench.sink.States().empty());
    EXPECT_EQ(bench.sink.States().back(), 3);
    EXPECT_EQ(bench.ResetAfterLastMessage(), row.resetSent);
    EXPECT_EQ(bench.doc->Runtime(0).running.load(), 0);
    EXPECT_EQ(bench.sink.EndRequests(), 0);
    EXPECT_FALSE(bench.stick->UpdateFinished());
    if (std::string(row.text) == "Action stop!") {
        EXPECT_TRUE(bench.sink.Boxes().empty()) << "a stop asks nothing";
    }
    // The failure text sends the user to the Logs folder: the job's log is there.
    std::error_code ec;
    const fs::path logs = (fs::is_directory(bench.NvFolder(), ec) ? fs::path(bench.NvFolder())
                                                                  : bench.doc->ProgramFolder()) /
                          "Logs";
    ASSERT_TRUE(fs::is_directory(logs)) << logs;
    std::ifstream in(fs::directory_iterator(logs)->path());
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(fs::path(bench.NvFolder())) &&
                 std::string(row.name) == "NvFolderMissing")
        << "the log file made the missing NV folder";
}

// Stops the line when the job shows `percent` (after unplugging the stick if asked).
std::function<void(JobBench&, sim::StickOptions&)> StopAt(int percent, bool neverReturn = false,
                                                          bool unplug = false) {
    return [=](JobBench& b, sim::StickOptions& o) {
        o.faults.neverReturn = neverReturn;
        b.sink.onProgress = [&b, percent, unplug](int p) {
            if (p == percent) {
                if (unplug)
                    b.stick->Unplug();
                b.view->StopLine(0);
            }
        };
    };
}

std::function<void(JobBench&, sim::StickOptions&)> Withhold(PacketMatch match,
                                                            std::set<int> occurrences = {}) {
    return [=](JobBench& b, sim::StickOptions&) { b.serial.Withhold(match, occurrences); };
}

const FailureRow kFailureRows[] = {
    {"ImeiOnlyOnTheFirstTwoReads", "IMEI is not exist, not allowed to download!", false,
     Withhold(NvReadRequest(550), {3})},
    {"NotInDownloadMode", "Current line is not in download mode!", false,
     Withhold(VendorModeRequest(2))},
    {"NvFolderMissing", "Can't create NV directory!", false,
     [](JobBench& b, sim::StickOptions&) {
         SetField(b.doc->Record(0).nvFolder, (b.dir.Path() / "gone").string() + "/");
     }},
    {"NvBackupNotWritable", "", false,
     [](JobBench& b, sim::StickOptions&) {
         fs::create_directories(fs::path(b.NvFolder()) / "Channel1.nvm");
     }},
    {"DownloaderNeverEntered", "Switch to Download mode fail!", false,
     Withhold(CodeRequest(0x06))},  // DloadNop
    {"StopBeforeProgrammer", "Action stop!", true, StopAt(21)},
    {"StopWhileWaitingForTheStick", "Action stop!", true, StopAt(3, true)},
    {"StopWhileWaitingAfterTheRestore", "Action stop!", true, StopAt(95, false, true)},
    {"ProgrammerUploadRefused", "Download armprg512.bin fail!", true,
     Withhold(CodeRequest(0x0F, 8))},
    {"ProgrammerSilent", "Skip fail!", true, Withhold(CodeRequest(0x01, 30))},
    {"TenProgrammingCycles", "Download fail, please check the log file to get fail information!",
     true, Withhold(CodeRequest(0x17))},
    {"NoReturnAfterProgramming", "Reset modem fail!", false,
     [](JobBench& b, sim::StickOptions&) {
         b.sink.onProgress = [&b](int p) {
             if (p == 81) {
                 sim::FaultPlan faults;
                 faults.neverReturn = true;
                 b.stick->SetFaults(faults);
             }
         };
     }},
    {"RestoreRefused", "Restore NV fail!", false, Withhold(CodeRequest(0x27))},
    {"DefaultNvBroken", "Restore default NV fail!", false,
     [](JobBench& b, sim::StickOptions&) {
         const fs::path file = b.dir.Path() / "default.nvm";
         std::ofstream(file) << "not an NVM file";
         SetField(b.doc->Record(0).defaultNvFile, file.string());
         b.doc->m_nvMode = NV_MODE_DEFAULT_FILE;
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, UpdateJobFailure, ::testing::ValuesIn(kFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(UpdateJob, OtherModelIsRefusedBeforeTheVendorModeWithABoxInEnglishOnly) {
    for (int32_t language : {1, 0}) {
        JobBench bench;
        sim::StickOptions options;
        options.modelText = "ZX900B";
        bench.Plug(options);
        bench.doc->m_language = language;
        ASSERT_TRUE(bench.RunUpdate());
        EXPECT_EQ(bench.stick->CountOf("SetVendorMode"), 0u);
        EXPECT_EQ(bench.sink.Boxes(),
                  language ? std::vector<std::string>{"The version is not matching! Please check "
                                                      "the software version!"}
                           : std::vector<std::string>{});
        EXPECT_EQ(bench.LastMessage(), language
                                           ? "Current line device can not use this download tool!"
                                           : "当前线路的设备不能用此工具!");
        EXPECT_EQ(bench.sink.States().back(), 3);
        EXPECT_FALSE(bench.ResetAfterLastMessage());
    }
    const std::array<std::string, 2> shipped = {"HX402A", ""};
    EXPECT_TRUE(IdentityAccepted("XX_HX402A_B", shipped));
    EXPECT_FALSE(IdentityAccepted("HX402", shipped));
    EXPECT_FALSE(IdentityAccepted("", shipped));
    EXPECT_TRUE(IdentityAccepted("anything", {"", ""}));
    EXPECT_TRUE(IdentityAccepted("HX403", {"HX402A", "HX403"}));
    EXPECT_FALSE(IdentityAccepted("HX404", {"HX402A", "HX403"}));
}

// Two answers the stick may leave out without failing the job: the download mode (when the check
// is off) and item 22 (then it is not written back).
TEST(UpdateJob, WithoutTheDownloadModeCheckOrItem22TheJobGoesOn) {
    JobBench bench;
    bench.Plug();
    bench.serial.Withhold(VendorModeRequest(2));
    bench.view->m_checkDownloadMode = 0;
    bench.serial.Withhold(NvReadRequest(22));
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    EXPECT_TRUE(fs::exists(fs::path(bench.NvFolder()) / "Channel1.nvm"));
    for (const sim::NvWriteRecord& w : bench.stick->NvWrites()) {
        EXPECT_NE(w.id, 22) << "item 22 was written although it was never read";
    }
}

TEST(UpdateJob, SuccessWaitsForTheOtherLinesJobsBeforeTheProgramEnds) {
    JobBench bench;
    bench.Plug();
    LineController& controller = LineControllerOf(*bench.view);
    controller.phase[1] = static_cast<int>(LineJobPhase::RUNNING);
    std::atomic<bool> boxShown{false};
    bench.sink.onBox = [&](const std::string&) { boxShown = true; };
    std::thread run([&] { bench.RunUpdate(); });
    while (!boxShown) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(bench.sink.EndRequests(), 0) << "the program ended under another line's job";
    controller.phase[1] = static_cast<int>(LineJobPhase::IDLE);
    run.join();
    EXPECT_EQ(bench.sink.EndRequests(), 1);
}

}  // namespace
}  // namespace pellan::test
