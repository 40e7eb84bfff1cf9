// A station in one process against the in-process simulator: eight polling loops, two update
// jobs on two sticks that take each other's old port numbers at every restart. Each line must
// update its own stick and give it back its own NV items. Run under ThreadSanitizer by
// scripts/tsan.sh; the ordinary build checks the outcome.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "firmware/firmware_set.h"
#include "line/standard_jobs.h"
#include "line/station_firmware.h"
#include "nv/nv_backup.h"
#include "nv/nv_identity.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "sim/sim_machine.h"
#include "support/resource_set.h"
#include "support/temp_dir.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"
#include "ui/recording_sink.h"

namespace pellan::test {
namespace {

TEST(Station, TwoLinesUpdateTheirOwnSticksWhileTheirPortNumbersSwap) {
    TempDir dir;
    // Real time with the fixed waits shortened: on a virtual clock eight sleeping polling loops
    // would run the other threads' reply time-outs out before a stick could answer.
    platform::SystemClock realClock;
    platform::FastClock clock{realClock};
    sim::SimMachine machine{clock};
    // A restarted stick takes the lowest free numbers: the other stick's old ones.
    machine.SetPortPolicy(sim::PortPolicy::kLowestFree);
    sim::SimSerialProvider serial{machine};
    sim::SimRegistry registry{machine};
    platform::Env env{&clock, &serial, &registry, dir.Path() / "root"};
    std::filesystem::create_directories(env.deviceRoot);
    std::filesystem::create_directories(dir.Path() / "nv");

    const std::array<std::string, 2> imeis = {"358812045678903", "358812045678911"};
    std::array<std::shared_ptr<sim::StickModel>, 2> sticks;
    for (size_t i = 0; i < 2; ++i) {
        sim::StickOptions options;
        options.serial = "000" + std::to_string(i + 1);
        options.imei = imeis[i];
        options.diagPort = 3 + 2 * static_cast<int>(i);
        options.atPort = 4 + 2 * static_cast<int>(i);
        options.renumberOn = sim::RENUMBER_ON_RESET_PHONE | sim::RENUMBER_ON_DOWNLOADER |
                             sim::RENUMBER_ON_STREAM_RESET;
        // Restarts short enough for the job's shortened waits; B comes back first, on the
        // numbers A had. The downloader must be back (100 ms after the switch's acknowledgement
        // plus this) before the job's second reopen, about 155 ms after it with the waits
        // shortened a hundredfold; a loaded machine only makes the job slower.
        options.reenumDelayMs = 200 - 80 * static_cast<uint32_t>(i);
        options.downloaderReenumDelayMs = 30 - 10 * static_cast<uint32_t>(i);
        sticks[i] = machine.AddStick(options);
        ASSERT_TRUE(sticks[i]);
    }

    ResourceSet resources{SmallSet()};

    RecordingSink sink;
    auto doc = std::make_unique<CPellanDoc>(env, dir.Path());
    auto view = std::make_unique<CPellanView>(*doc, sink);
    InstallStandardJobs(*view);
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(doc->Records(), (dir.Path() / "nv").string(), error)) << error;
    ASSERT_TRUE(InstallFirmwareSet(*view));

    for (int line = 0; line < kLineCount; ++line) {
        view->StartLinePolling(line);
    }
    // Two lines take the two sticks; the other six search on.
    std::vector<int> holding;
    ASSERT_TRUE(sink.WaitFor(
        [&](const RecordingSink&) {
            holding.clear();
            for (int line = 0; line < kLineCount; ++line) {
                if (doc->Bindings().Holds(line) && doc->Runtime(line).phoneState.load() == 2) {
                    holding.push_back(line);
                }
            }
            return holding.size() == 2;
        },
        120000))
        << "two lines did not find the two sticks";
    ASSERT_NE(doc->Bindings().Location(holding[0]), doc->Bindings().Location(holding[1]));

    for (const int line : holding) {
        ASSERT_TRUE(view->StartLineJob(line)) << ::testing::PrintToString(sink.Boxes());
    }
    for (const int line : holding) {
        view->WaitLineJob(line);
    }
    for (const int line : holding) {
        const std::vector<int> states = sink.StateHistory(line);
        EXPECT_EQ(std::count(states.begin(), states.end(), 3), 0) << view->LineLog(line);
        EXPECT_EQ(sink.Text(ctl::kMessageText + line).value_or("").rfind("Update success!", 0), 0u)
            << view->LineLog(line);
        // The backup the line made is its own stick's, and so is what the stick holds now.
        const std::string location = doc->Bindings().Location(line);
        const size_t stick = sticks[0]->Bus().location == location ? 0 : 1;
        EXPECT_EQ(imeis[stick],
                  ImeiInNvmFile(NvmFilePath(GetField(doc->Record(line).nvFolder), line))
                      .value_or("none"));
        const auto item = sticks[stick]->NvItem(550);
        ASSERT_TRUE(item.has_value());
        EXPECT_EQ(imeis[stick], ImeiOfNvData(item->data()));
        EXPECT_GE(sticks[stick]->Enumerations(), 4);
    }
    for (int line = 0; line < kLineCount; ++line) {
        const bool ran = std::find(holding.begin(), holding.end(), line) != holding.end();
        EXPECT_TRUE(ran || (!doc->Bindings().Holds(line) && view->HasLinePolling(line))) << line;
    }

    ReleaseLineController(*view);
}

}  // namespace
}  // namespace pellan::test
