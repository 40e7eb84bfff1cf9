// The download-mode line steps against the simulated stick on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "download/download_steps.h"
#include "programming/sim_line.h"

namespace pellan {
namespace {

using test::ArgsOf;
using test::PatternBytes;
using Ms = std::vector<uint32_t>;

class LineStepsTest : public test::SimLineTest {
  protected:
    void UseArmprg(size_t size) { armprg = Use(bench.Record(0).armprgPath, "armprg.bin", size); }
    void UseNandprg(size_t size) {
        nandprg = Use(bench.Record(0).nandprgPath, "nandprgcombined.mbn", size);
    }
    void Faults(const sim::FaultPlan& faults) {
        SimLineTest::Faults(faults);
        bench.waits.ClearWaits();
    }

    std::vector<uint8_t> armprg;
    std::vector<uint8_t> nandprg;
};

TEST_F(LineStepsTest, WholePathFromNormalFirmwareToTheSticksReturn) {
    UseArmprg(20000);
    UseNandprg(5000);
    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kDownloader);
    // Prepared at once, switched; the downloader's port is back after the switch but the old
    // handle is dead, so the nop answers only on the reopened port of the fourth call.
    EXPECT_EQ(Waits(), (Ms{500, 100, 100, 100, 500, 2000, 3000, 4000, 300}));
    EXPECT_EQ(bench.doc->Runtime(0).flashInfo[0], 0x08) << "the downloader's parameter reply";

    bench.waits.ClearWaits();
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_TRUE(stick->RamImage().Equals(armprg));
    EXPECT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    EXPECT_EQ(Waits(), (Ms{1000}));
    EXPECT_EQ(stick->CountOf("StreamNop"), 1u);

    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x14, nandprg));

    bench.waits.ClearWaits();
    ASSERT_TRUE(ResetAndReconnect(*bench.view, 0));
    EXPECT_EQ(stick->Mode(), sim::StickMode::kNormal);
    // The stick is off the bus for 100 + 3000 ms; the fourth pass finds it.
    EXPECT_EQ(Waits(), (Ms{1000, 1000, 1000, 1000}));
    EXPECT_EQ(stick->CountOf("StreamReset"), 1u);
}

TEST_F(LineStepsTest, SpcNeverAnsweredFailsAfterTheDocumentedWaitsWithoutAModeChange) {
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
    EXPECT_EQ(stick->CountOf("FeatureRequest5C"), 1u);
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
    const std::pair<size_t, std::vector<int64_t>> cases[] = {
        {1017, {0x800000}}, {2034, {0x800000, 0x8003F9}}, {2035, {0x800000, 0x8003F9, 0x8007F2}}};
    size_t before = 0;
    for (const auto& [size, addresses] : cases) {
        UseArmprg(size);
        ASSERT_TRUE(UploadArmprg(*bench.view, 0));
        const auto writes = ArgsOf(*stick, "DloadWrite32");
        EXPECT_EQ(std::vector<int64_t>(writes.begin() + before, writes.end()), addresses);
        EXPECT_TRUE(stick->RamImage().Equals(armprg));
        before = writes.size();
    }
}

TEST_F(LineStepsTest, NandProgrammerInBlocksOf1024BytesEachTriedFourTimesAndTheReset) {
    ReachProgrammer();
    SetField(bench.Record(0).nandprgPath, (bench.dir.Path() / "absent.mbn").string());
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamOpenMultiImage"), (std::vector<int64_t>{0x14}));
    EXPECT_EQ(stick->CountOf("StreamWrite"), 0u);

    UseNandprg(1024);
    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0}));
    EXPECT_TRUE(ImageIs(0x14, nandprg));
    EXPECT_EQ(stick->CountOf("StreamClose"), 1u);

    UseNandprg(3000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultsOnce = false;
    Faults(faults);
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"),
              (std::vector<int64_t>{0, 0, 0x400, 0x400, 0x400, 0x400}));
    EXPECT_EQ(Waits(), (Ms{2000, 2000, 2000, 2000}));
    EXPECT_EQ(bench.sink.Messages(0),
              (std::vector<std::string>{
                  "Open file fail",
                  "Write a Block of Data to Memory Failed, Since Write-verify failed"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 1u);

    // A stick that never comes back after the reset fails after sixty passes.
    faults = {};
    faults.neverReturn = true;
    Faults(faults);
    EXPECT_FALSE(ResetAndReconnect(*bench.view, 0));
    EXPECT_EQ(Waits(), Ms(60, 1000));
    EXPECT_EQ(stick->CountOf("StreamReset"), 1u);
}

TEST_F(LineStepsTest, ProgrammerStartFallsBackToTheSecondGoAndNeedsAHello) {
    ReachProgrammer(false);
    sim::FaultPlan faults;
    faults.ignoreDloadGo = true;
    Faults(faults);
    ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    // Three gos (reopen and 2000 ms between), then the second form, then a second to settle.
    EXPECT_EQ(Waits(), (Ms{2000, 2000, 1000}));

    faults = {};
    faults.stopAnswering = {"StreamHello", static_cast<int>(stick->CountOf("StreamHello")) + 1};
    Faults(faults);
    const size_t hellos = stick->CountOf("StreamHello");
    const size_t nops = stick->CountOf("StreamNop");
    EXPECT_FALSE(StartProgrammer(*bench.view, 0));
    EXPECT_EQ(Waits(), (Ms{1000, 2000, 2000}));
    EXPECT_EQ(stick->CountOf("StreamHello"), hellos + 3);
    EXPECT_EQ(stick->CountOf("StreamNop"), nops);
}

// Two lines switch their sticks; with `Single Switch` the document lock lets one at a time
// through, without it the lock is not taken at all.
class SingleSwitchTest : public ::testing::TestWithParam<bool> {};

TEST_P(SingleSwitchTest, SecondLineWaitsForTheFirstToReleaseTheLock) {
    const bool single = GetParam();
    test::SimBench bench;
    sim::StickModel* sticks[2] = {&bench.AddLine(0), &bench.AddLine(1)};
    bench.view->m_singleSwitch = single ? 1 : 0;
    std::atomic<bool> results[2] = {false, false};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    // Waits up to `wallMs` of real time for `condition`.
    const auto waitFor = [](auto condition, int wallMs) {
        for (int i = 0; i < wallMs && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    };
    {
        std::unique_lock lock(bench.doc->DocLock());
        for (int line = 0; line < 2; ++line) {
            threads.emplace_back([&, line] {
                results[line] = EnterDownloadMode(*bench.view, line);
                ++done;
            });
        }
        if (single) {
            // Both lines get through their preparation, then stop in front of the lock.
            ASSERT_TRUE(waitFor(
                [&] {
                    return sticks[0]->CountOf("QueryModemStatus") > 0 &&
                           sticks[1]->CountOf("QueryModemStatus") > 0;
                },
                20000));
            waitFor([] { return false; }, 200);
            EXPECT_EQ(
                sticks[0]->CountOf("SwitchToDownloader") + sticks[1]->CountOf("SwitchToDownloader"),
                0u);
            EXPECT_EQ(done.load(), 0);
        } else {
            EXPECT_TRUE(waitFor([&] { return done.load() == 2; }, 20000));
        }
    }
    for (auto& t : threads) {
        t.join();
    }
    uint32_t ticks[2] = {};
    for (int line = 0; line < 2; ++line) {
        EXPECT_TRUE(results[line]);
        EXPECT_EQ(sticks[line]->Mode(), sim::StickMode::kDownloader);
        EXPECT_EQ(sticks[line]->CountOf("SwitchToDownloader"), 1u);
        for (const auto& c : sticks[line]->Commands()) {
            if (c.name == "SwitchToDownloader") {
                ticks[line] = c.tickMs;
            }
        }
    }
    if (single) {  // one line holds the lock over its switch and the 500 ms after it
        EXPECT_GE(ticks[0] > ticks[1] ? ticks[0] - ticks[1] : ticks[1] - ticks[0], 500u);
    }
}

INSTANTIATE_TEST_SUITE_P(Option, SingleSwitchTest, ::testing::Values(true, false));

}  // namespace
}  // namespace pellan
