#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "job/job_bench.h"
#include "line/standard_jobs.h"
#include "line/update_job.h"
#include "nv/nvm_file.h"

namespace pellan::test {
namespace {

constexpr const char* kPullOutText =
    "Please pull out the modem, then inserts it again! The downloading operation will go on!";

std::vector<int> Deduplicated(const std::vector<int>& values) {
    std::vector<int> out;
    for (int v : values) {
        if (out.empty() || out.back() != v) {
            out.push_back(v);
        }
    }
    return out;
}

size_t CountOf(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

// ---------------------------------------------------------------- success

TEST(UpdateJob, HappyPathShowsEveryProgressValueInOrderAndEndsTheProgram) {
    JobBench bench;
    bench.Plug();
    // Make the run last 605.3 s from the start time: the start time is taken just before the
    // ESN is read, which shows progress 1; from progress 99 only the 3 s pause of the end remains.
    uint32_t progress1At = 0;
    bench.sink.onProgress = [&](int percent) {
        if (percent == 1) {
            progress1At = bench.clock.TickMs();
        } else if (percent == 99) {
            const uint32_t end = progress1At + 605300;
            bench.clock.Advance(end - 3000 - bench.clock.TickMs());
        }
    };
    ASSERT_TRUE(bench.RunUpdate());

    const std::vector<int> progress = bench.sink.Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()))
        << "progress went backwards on the success path";
    const std::set<int> own = {1,  2,  3,  4,  5,  6,  7,  20, 21, 22, 23, 24, 25,
                               26, 27, 28, 80, 81, 82, 95, 96, 97, 98, 99, 100};
    std::vector<int> ownValues;
    for (int p : Deduplicated(progress)) {
        if (own.count(p) != 0) {
            ownValues.push_back(p);
        }
    }
    EXPECT_EQ(ownValues, (std::vector<int>{1,  2,  3,  5,  6,  7,  20, 21, 22, 23, 24, 25,
                                           26, 27, 28, 80, 81, 82, 95, 96, 97, 98, 99, 100}));

    const std::string success = "Update success!  It costs 10 minutes and 5 seconds.";
    EXPECT_EQ(bench.LastMessage(), success);
    EXPECT_EQ(bench.sink.Boxes(), std::vector<std::string>{success});
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    const std::vector<int> states = bench.sink.States();
    EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0);
    EXPECT_TRUE(bench.stick->UpdateFinished());
    EXPECT_EQ(bench.stick->VendorMode(), 0);
    EXPECT_EQ(bench.stick->Autorun(), 1);
    EXPECT_EQ(bench.stick->AtCommands(), (std::vector<std::string>{"AT+WCDRUN=E", "AT+WCDRUN=8",
                                                                   "AT+WCDRUN=F", "AT+WCDRUN=9"}));
    EXPECT_EQ(bench.stick->CountOf("SetValue16"), 1u) << "the challenge was not answered right";

    // Item 22 goes back first with bytes 22..49 cleared, then whole from the NVM file.
    const std::vector<sim::NvWriteRecord> writes = bench.stick->NvWrites();
    const auto first22 = std::find_if(writes.begin(), writes.end(),
                                      [](const sim::NvWriteRecord& w) { return w.id == 22; });
    ASSERT_NE(first22, writes.end());
    EXPECT_EQ(first22, writes.begin());
    EXPECT_TRUE(std::all_of(first22->data.begin() + 22, first22->data.begin() + 50,
                            [](uint8_t b) { return b == 0; }));

    // The line log went to a file of the Logs folder, header first.
    const std::filesystem::path logs = std::filesystem::path(bench.NvFolder()) / "Logs";
    ASSERT_TRUE(std::filesystem::is_directory(logs));
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("Line1_", 0), 0u);
    std::ifstream in(files[0]);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(log.rfind("Current Version : ", 0), 0u);
    EXPECT_NE(log.find("Armprg path : "), std::string::npos);
    EXPECT_NE(log.find(success), std::string::npos);
}

TEST(UpdateJob, SuccessText) {
    EXPECT_EQ(UpdateSuccessText(true, 0, 605000),
              "Update success!  It costs 10 minutes and 5 seconds.");
    EXPECT_EQ(UpdateSuccessText(true, 0, 59900),
              "Update success!  It costs 0 minutes and 59 seconds.");
    EXPECT_EQ(UpdateSuccessText(false, 2, 61999), "线路3下载成功！共花了1分1秒");
}

// ---------------------------------------------------------------- failures

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
    const std::filesystem::path logs = (std::filesystem::is_directory(bench.NvFolder(), ec)
                                            ? std::filesystem::path(bench.NvFolder())
                                            : bench.doc->ProgramFolder()) /
                                       "Logs";
    ASSERT_TRUE(std::filesystem::is_directory(logs)) << logs;
    const auto file = std::filesystem::directory_iterator(logs)->path();
    std::ifstream in(file);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(bench.NvFolder())) &&
                 std::string(row.name) == "NvFolderMissing")
        << "the log file made the missing NV folder";
}

const FailureRow kFailureRows[] = {
    {"ImeiOfZeros", "IMEI is not exist, not allowed to download!", false,
     [](JobBench&, sim::StickOptions& o) { o.imei = "000000000000000"; }},
    {"ImeiOnlyOnTheFirstTwoReads", "IMEI is not exist, not allowed to download!", false,
     [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(NvReadRequest(550), {3}); }},
    {"OtherModel", "Current line device can not use this download tool!", false,
     [](JobBench&, sim::StickOptions& o) { o.modelText = "ZX900B"; }},
    {"NotInDownloadMode", "Current line is not in download mode!", false,
     [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(VendorModeRequest(2)); }},
    {"NvFolderMissing", "Can't create NV directory!", false,
     [](JobBench& b, sim::StickOptions&) {
         SetField(b.doc->Record(0).nvFolder, (b.dir.Path() / "gone").string() + "/");
     }},
    {"NvBackupNotWritable", "", false,
     [](JobBench& b, sim::StickOptions&) {
         std::filesystem::create_directories(std::filesystem::path(b.NvFolder()) / "Channel1.nvm");
     }},
    {"DownloaderNeverEntered", "Switch to Download mode fail!", false,
     [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(CodeRequest(0x06)); }},  // DloadNop
    {"StopBeforeProgrammer", "Action stop!", true,
     [](JobBench& b, sim::StickOptions&) {
         b.sink.onProgress = [&b](int p) {
             if (p == 21)
                 b.view->StopLine(0);
         };
     }},
    {"StopWhileWaitingForTheStick", "Action stop!", true,
     [](JobBench& b, sim::StickOptions& o) {
         o.faults.neverReturn = true;
         b.sink.onProgress = [&b](int p) {
             if (p == 3)
                 b.view->StopLine(0);
         };
     }},
    {"StopWhileWaitingAfterTheRestore", "Action stop!", true,
     [](JobBench& b, sim::StickOptions&) {
         b.sink.onProgress = [&b](int p) {
             if (p == 95) {
                 b.stick->Unplug();
                 b.view->StopLine(0);
             }
         };
     }},
    {"ProgrammerUploadRefused", "Download armprg512.bin fail!", true,
     [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(CodeRequest(0x0F, 8)); }},
    {"ProgrammerSilent", "Skip fail!", true,
     [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(CodeRequest(0x01, 30)); }},
    {"TenProgrammingCycles", "Download fail, please check the log file to get fail information!",
     true, [](JobBench& b, sim::StickOptions&) { b.serial.Withhold(CodeRequest(0x17)); }},
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
    {"RestoreRefused", "Restore NV fail!", false,
     [](JobBench& b, sim::StickOptions&) {
         b.serial.Withhold(CodeRequest(0x27));  // no NV write is answered
     }},
    {"DefaultNvBroken", "Restore default NV fail!", false,
     [](JobBench& b, sim::StickOptions&) {
         const std::filesystem::path file = b.dir.Path() / "default.nvm";
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
        if (language == 0) {
            EXPECT_EQ(bench.LastMessage(), "当前线路的设备不能用此工具!");
            EXPECT_TRUE(bench.sink.Boxes().empty());
        } else {
            EXPECT_EQ(bench.sink.Boxes(),
                      std::vector<std::string>{
                          "The version is not matching! Please check the software version!"});
        }
    }
}

TEST(UpdateJob, ModelMarkers) {
    const std::array<std::string, 2> shipped = {"HX402A", ""};
    EXPECT_TRUE(IdentityAccepted("HX402A", shipped));
    EXPECT_TRUE(IdentityAccepted("XX_HX402A_B", shipped));
    EXPECT_FALSE(IdentityAccepted("HX402", shipped));
    EXPECT_FALSE(IdentityAccepted("", shipped));
    EXPECT_TRUE(IdentityAccepted("", {"", ""}));
    EXPECT_TRUE(IdentityAccepted("anything", {"", ""}));
    EXPECT_TRUE(IdentityAccepted("HX403", {"HX402A", "HX403"}));
    EXPECT_FALSE(IdentityAccepted("HX404", {"HX402A", "HX403"}));
}

TEST(UpdateJob, SecondMarkerAcceptsItsStick) {
    JobBench bench;
    sim::StickOptions options;
    options.modelText = "HX403C";
    bench.Plug(options);
    LineControllerOf(*bench.view).modelMarkers = {"HX402A", "HX403"};
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
}

// ---------------------------------------------------------------- waits, stops, retries

TEST(UpdateJob, StickAwayForFiveMinutesGetsThePullOutMessageOnceAndTheJobGoesOn) {
    JobBench bench;
    sim::StickOptions options;
    options.faults.neverReturn = true;
    bench.Plug(options);
    uint32_t searchStart = 0;
    uint32_t boxAt = 0;
    bench.sink.onProgress = [&](int p) {
        if (p == 3)
            searchStart = bench.clock.TickMs();
    };
    bench.sink.onBox = [&](const std::string& text) {
        if (text == kPullOutText) {
            boxAt = bench.clock.TickMs();
            bench.stick->SetFaults({});
            bench.stick->Unplug();
            bench.stick->Plug();
        }
    };
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(CountOf(bench.sink.Boxes(), kPullOutText), 1u);
    EXPECT_GE(boxAt - searchStart, 300000u);
    const std::vector<int> progress = Deduplicated(bench.sink.Progress());
    const auto at3 = std::find(progress.begin(), progress.end(), 3);
    ASSERT_NE(at3, progress.end());
    EXPECT_EQ(std::vector<int>(at3, at3 + 4), (std::vector<int>{3, 4, 5, 6}));
}

TEST(UpdateJob, WithoutTheDownloadModeCheckTheJobGoesOnIntoTheBackup) {
    JobBench bench;
    bench.Plug();
    bench.serial.Withhold(VendorModeRequest(2));
    bench.view->m_checkDownloadMode = 0;
    ASSERT_TRUE(bench.RunUpdate());
    const std::vector<int> progress = bench.sink.Progress();
    EXPECT_NE(std::find(progress.begin(), progress.end(), 20), progress.end());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(bench.NvFolder()) / "Channel1.nvm"));
    EXPECT_NE(bench.LastMessage(), "Current line is not in download mode!");
}

TEST(UpdateJob, NvMode3RestoresTheDefaultFile) {
    JobBench bench;
    bench.Plug();
    NvmTable table = BuildBackupTable();
    for (NvItemRecord& record : table) {
        if (record.itemId == 5479) {
            record.data.fill(0xA5);
        } else if (record.itemId != kNvEndMarker) {
            record.status = 5;  // not read: not written back
        }
    }
    const std::vector<uint8_t> bytes = EncodeNvmFile(table);
    const std::filesystem::path file = bench.dir.Path() / "default.nvm";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    SetField(bench.doc->Record(0).defaultNvFile, file.string());
    bench.doc->m_nvMode = NV_MODE_DEFAULT_FILE;

    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(bench.NvFolder()) / "Channel1.nvm"))
        << "the backup is made in every NV mode";
    std::vector<uint16_t> restored;
    for (const sim::NvWriteRecord& w : bench.stick->NvWrites()) {
        if (w.id != 22) {
            restored.push_back(w.id);
            EXPECT_TRUE(
                std::all_of(w.data.begin(), w.data.end(), [](uint8_t b) { return b == 0xA5; }));
        }
    }
    EXPECT_EQ(restored, std::vector<uint16_t>{5479});
}

TEST(UpdateJob, ProgrammingCycleFailingAtDblIsRetriedFromTheSecurityMode) {
    JobBench bench;
    bench.Plug();
    // The DBL open goes unanswered (with every frame attempt) until the second attempt begins.
    auto firstAttempt = std::make_shared<std::atomic<bool>>(true);
    const PacketMatch dblOpen = OpenImageRequest(0x0F);
    bench.serial.Withhold([=](const Packet& b) { return *firstAttempt && dblOpen(b); });
    int securityModes = 0;
    bench.sink.onProgress = [&](int p) {
        if (p == 23 && ++securityModes == 2)
            *firstAttempt = false;
    };
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
    const std::vector<std::string> messages = bench.sink.Messages();
    EXPECT_EQ(CountOf(messages, "download fail, try again,First ClosePacket..."), 1u);
    EXPECT_EQ(CountOf(messages, "Try to communicate with the armprg.bin again..."), 1u);
    EXPECT_EQ(bench.stick->CountOf("StreamSecurityMode"), 2u);
    EXPECT_EQ(bench.stick->CountOf("StreamPartitionTable"), 2u);
}

TEST(UpdateJob, NvItem22IsNotWrittenBackWhenItWasNeverRead) {
    JobBench bench;
    bench.Plug();
    bench.serial.Withhold(NvReadRequest(22));
    ASSERT_TRUE(bench.RunUpdate());
    EXPECT_EQ(bench.sink.EndRequests(), 1);
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
