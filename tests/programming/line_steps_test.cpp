// The download-mode line steps' failures and fallbacks against the simulated stick on the virtual
// clock; their whole path is tests/e2e/programming_pty.sh's and the update job's, and so are a
// silent programmer ("Skip fail!") and a stick that never returns ("Reset modem fail!").
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "download/download_steps.h"
#include "programming/sim_line.h"

namespace pellan {
namespace {

using test::ArgsOf;
using Ms = std::vector<uint32_t>;

class LineStepsTest : public test::SimLineTest {
  protected:
    void Faults(const sim::FaultPlan& faults) {
        SimLineTest::Faults(faults);
        bench.waits.ClearWaits();
    }
};

TEST_F(LineStepsTest, SpcNeverAnsweredFailsAfterItsWaitsWithoutAModeChange) {
    sim::FaultPlan faults;
    faults.stopAnswering = {"SendSpc", 1};
    Faults(faults);
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(EnterDownloadMode(*bench.view, 0));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_EQ(Waits(), (Ms{500, 300, 300}));
    // 500 + 2 * 300 + three SPC time-outs of 2000 ms and their last polls.
    EXPECT_GE(spent, 500u + 600u + 3 * 2000u);
    EXPECT_LE(spent, 500u + 600u + 3 * 2000u + 3 * 40u);
    EXPECT_EQ(stick->CountOf("SendSpc"), 3u);
    EXPECT_EQ(stick->CountOf("SwitchToDownloader"), 0u);
    EXPECT_EQ(stick->Mode(), sim::StickMode::kNormal);
}

TEST_F(LineStepsTest, ArmprgGoesInBlocksOf1017Bytes) {
    SetField(bench.Record(0).armprgPath, (bench.dir.Path() / "absent.bin").string());
    EXPECT_FALSE(UploadArmprg(*bench.view, 0));
    const std::string text =
        "线路1打开FlASH文件armprg.bin失败,请检查当前下载软件目录下是否有该文件";
    EXPECT_EQ(bench.Link(0).m_lastError, text);
    EXPECT_EQ(bench.sink.Boxes(), (std::vector<std::string>{text}));
    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0));
    Use(bench.Record(0).armprgPath, "armprg.bin", 2035);
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "DloadWrite32"), (std::vector<int64_t>{0x800000, 0x8003F9, 0x8007F2}));
}

TEST_F(LineStepsTest, NandProgrammerInBlocksOf1024BytesEachTriedFourTimes) {
    ReachProgrammer();
    Absent(bench.Record(0).nandprgPath);
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamOpenMultiImage"), (std::vector<int64_t>{0x14}));
    EXPECT_EQ(Writes(), 0u);
    Use(bench.Record(0).nandprgPath, "nandprgcombined.mbn", 3000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultsOnce = false;
    Faults(faults);
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400, 0x400, 0x400, 0x400}));
    EXPECT_EQ(Waits(), (Ms{2000, 2000, 2000, 2000}));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "Open file fail",
                  "Write a Block of Data to Memory Failed, Since Write-verify failed"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
}

TEST_F(LineStepsTest, ProgrammerStartFallsBackToTheSecondGo) {
    ReachProgrammer(false);
    sim::FaultPlan faults;
    faults.ignoreDloadGo = true;
    Faults(faults);
    ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    // Three gos (reopen and 2000 ms between), then the second form, then a second to settle.
    EXPECT_EQ(Waits(), (Ms{2000, 2000, 1000}));
}

// Two lines switch their sticks; with `Single Switch` the document lock lets one at a time
// through (the first holds it over its switch and the 500 ms after), without it it is not taken.
class SingleSwitchTest : public ::testing::TestWithParam<bool> {};

TEST_P(SingleSwitchTest, SecondLineWaitsForTheFirstToReleaseTheLock) {
    const bool single = GetParam();
    test::SimBench bench;
    sim::StickModel* sticks[2] = {&bench.AddLine(0), &bench.AddLine(1)};
    bench.view->m_singleSwitch = single ? 1 : 0;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    const auto switches = [&] {
        return sticks[0]->CountOf("SwitchToDownloader") + sticks[1]->CountOf("SwitchToDownloader");
    };
    {
        std::unique_lock lock(bench.doc->DocLock());
        for (int line = 0; line < 2; ++line) {
            threads.emplace_back(
                [&, line] { done += EnterDownloadMode(*bench.view, line) ? 1 : 0; });
        }
        // Both lines get through their preparation, then stop in front of the lock, or finish.
        for (int i = 0; i < 20000 && (single ? (sticks[0]->CountOf("QueryModemStatus") == 0 ||
                                                sticks[1]->CountOf("QueryModemStatus") == 0)
                                             : done < 2);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(single ? 200 : 0));
        EXPECT_EQ(switches(), single ? 0u : 2u);
        EXPECT_EQ(done.load(), single ? 0 : 2);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(done.load(), 2);
    uint32_t ticks[2] = {};
    for (int line = 0; line < 2; ++line) {
        EXPECT_EQ(sticks[line]->Mode(), sim::StickMode::kDownloader);
        for (const auto& c : sticks[line]->Commands()) {
            ticks[line] = c.name == "SwitchToDownloader" ? c.tickMs : ticks[line];
        }
    }
    EXPECT_EQ(switches(), 2u);
    if (single) {
        EXPECT_GE(ticks[0] > ticks[1] ? ticks[0] - ticks[1] : ticks[1] - ticks[0], 500u);
    }
}

INSTANTIATE_TEST_SUITE_P(Option, SingleSwitchTest, ::testing::Values(true, false));

}  // namespace
}  // namespace pellan
