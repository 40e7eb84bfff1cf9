// The download-mode line steps against the simulated stick on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "download/download_steps.h"
#include "download/sim_line.h"

namespace pellan {
namespace {

using test::PatternBytes;
using test::SimBench;

std::vector<int64_t> ArgsOf(sim::StickModel& stick, const std::string& name) {
    std::vector<int64_t> args;
    for (const auto& c : stick.Commands()) {
        if (c.name == name) {
            args.push_back(c.arg);
        }
    }
    return args;
}

class DownloadStepsTest : public ::testing::Test {
  protected:
    void SetUp() override { stick = &bench.AddLine(0); }

    void UseArmprg(size_t size) {
        armprg = PatternBytes(size, 11);
        SetField(bench.Record(0).armprgPath, bench.WriteFile("armprg.bin", armprg));
    }
    void UseNandprg(size_t size) {
        nandprg = PatternBytes(size, 12);
        SetField(bench.Record(0).nandprgPath, bench.WriteFile("nandprgcombined.mbn", nandprg));
    }
    // Normal firmware to a running programmer.
    void ReachProgrammer() {
        ASSERT_TRUE(EnterDownloadMode(*bench.view, 0)) << bench.Link(0).m_lastError;
        ASSERT_TRUE(UploadArmprg(*bench.view, 0)) << bench.Link(0).m_lastError;
        ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
        ASSERT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    }

    SimBench bench;
    sim::StickModel* stick = nullptr;
    std::vector<uint8_t> armprg;
    std::vector<uint8_t> nandprg;
};

TEST_F(DownloadStepsTest, WholePathFromNormalFirmwareToTheSticksReturn) {
    UseArmprg(20000);
    UseNandprg(5000);

    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kDownloader);
    // Prepared at once, switched; the downloader's port is back after the switch but the old
    // handle is dead, so the nop answers only on the reopened port of the fourth call.
    EXPECT_EQ(bench.waits.Waits(),
              (std::vector<uint32_t>{500, 100, 100, 100, 500, 2000, 3000, 4000, 300}));
    // The flash information record is the downloader's parameter reply.
    EXPECT_EQ(bench.doc->Runtime(0).flashInfo[0], 0x08);

    bench.waits.ClearWaits();
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    EXPECT_TRUE(bench.waits.Waits().empty());
    EXPECT_TRUE(stick->RamImage().Equals(armprg));

    bench.waits.ClearWaits();
    ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{1000}));
    EXPECT_EQ(ArgsOf(*stick, "StreamNop").size(), 1u);

    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    const auto nand = stick->LatestImage(0x14);
    ASSERT_TRUE(nand.has_value());
    EXPECT_TRUE(nand->closed);
    EXPECT_TRUE(nand->image.Equals(nandprg));

    bench.waits.ClearWaits();
    const uint32_t before = bench.clock.TickMs();
    ASSERT_TRUE(ResetAndReconnect(*bench.view, 0));
    EXPECT_EQ(stick->Mode(), sim::StickMode::kNormal);
    // The stick is off the bus for 100 + 3000 ms; the fourth pass finds it.
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{1000, 1000, 1000, 1000}));
    EXPECT_GE(bench.clock.TickMs() - before, 4000u);
    EXPECT_EQ(ArgsOf(*stick, "StreamReset").size(), 1u);
}

TEST_F(DownloadStepsTest, SpcNeverAnsweredFailsAfterTheDocumentedWaitsWithoutAModeChange) {
    sim::FaultPlan faults;
    faults.stopAnswering = {"SendSpc", 1};
    stick->SetFaults(faults);
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(EnterDownloadMode(*bench.view, 0));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{500, 300, 300}));
    // 500 + 2 * 300 + three SPC time-outs of 2000 ms and their last polls.
    EXPECT_GE(spent, 500u + 600u + 3 * 2000u);
    EXPECT_LE(spent, 500u + 600u + 3 * 2000u + 3 * 40u);
    EXPECT_EQ(ArgsOf(*stick, "SendSpc").size(), 3u);
    EXPECT_EQ(stick->CountOf("SwitchToDownloader"), 0u);
    EXPECT_EQ(stick->Mode(), sim::StickMode::kNormal);
    const auto names = stick->CommandNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "FeatureRequest5C"), 1);
}

struct ArmprgCase {
    size_t size;
    std::vector<int64_t> addresses;
};

class ArmprgSplitTest : public DownloadStepsTest,
                        public ::testing::WithParamInterface<ArmprgCase> {};

TEST_P(ArmprgSplitTest, BlocksOf1017Bytes) {
    UseArmprg(GetParam().size);
    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0));
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "DloadWrite32"), GetParam().addresses);
    EXPECT_TRUE(stick->RamImage().Equals(armprg));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ArmprgSplitTest,
                         ::testing::Values(ArmprgCase{1017, {0x800000}},
                                           ArmprgCase{2034, {0x800000, 0x8003F9}},
                                           ArmprgCase{2035, {0x800000, 0x8003F9, 0x8007F2}}));

TEST_F(DownloadStepsTest, MissingArmprgShowsTheLineNumberInABox) {
    SetField(bench.Record(0).armprgPath, (bench.dir.Path() / "absent.bin").string());
    EXPECT_FALSE(UploadArmprg(*bench.view, 0));
    const std::string text =
        "线路1打开FlASH文件armprg.bin失败,请检查当前下载软件目录下是否有该文件";
    EXPECT_EQ(bench.Link(0).m_lastError, text);
    EXPECT_EQ(bench.sink.Boxes(), (std::vector<std::string>{text}));
}

TEST_F(DownloadStepsTest, NandProgrammerOfOneBlockIsOneWriteAtZero) {
    UseArmprg(3000);
    UseNandprg(1024);
    ReachProgrammer();
    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0}));
    EXPECT_EQ(ArgsOf(*stick, "StreamOpenMultiImage"), (std::vector<int64_t>{0x14}));
    EXPECT_TRUE(stick->LatestImage(0x14)->image.Equals(nandprg));
    EXPECT_EQ(stick->CountOf("StreamClose"), 1u);
}

TEST_F(DownloadStepsTest, NandProgrammerBlockRefusedFourTimesShowsTheReason) {
    UseArmprg(3000);
    UseNandprg(3000);
    ReachProgrammer();
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultsOnce = false;
    stick->SetFaults(faults);
    bench.waits.ClearWaits();
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400, 0x400, 0x400, 0x400}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000, 2000, 2000}));
    EXPECT_EQ(bench.sink.Messages(0),
              (std::vector<std::string>{
                  "Write a Block of Data to Memory Failed, Since Write-verify failed"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
}

TEST_F(DownloadStepsTest, NandProgrammerFileMissing) {
    UseArmprg(3000);
    ReachProgrammer();
    SetField(bench.Record(0).nandprgPath, (bench.dir.Path() / "absent.mbn").string());
    EXPECT_FALSE(UploadNandProgrammer(*bench.view, 0));
    EXPECT_EQ(bench.sink.Messages(0), (std::vector<std::string>{"Open file fail"}));
}

TEST_F(DownloadStepsTest, StickThatNeverReturnsFailsAfterSixtyPasses) {
    UseArmprg(3000);
    ReachProgrammer();
    sim::FaultPlan faults;
    faults.neverReturn = true;
    stick->SetFaults(faults);
    bench.waits.ClearWaits();
    EXPECT_FALSE(ResetAndReconnect(*bench.view, 0));
    EXPECT_EQ(bench.waits.Waits(), std::vector<uint32_t>(60, 1000));
    EXPECT_EQ(stick->CountOf("StreamReset"), 1u);
}

TEST_F(DownloadStepsTest, SilentProgrammerFailsAfterThreeHellos) {
    UseArmprg(3000);
    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0));
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    sim::FaultPlan faults;
    faults.stopAnswering = {"StreamHello", 1};
    stick->SetFaults(faults);
    bench.waits.ClearWaits();
    EXPECT_FALSE(StartProgrammer(*bench.view, 0));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{1000, 2000, 2000}));
    EXPECT_EQ(stick->CountOf("StreamHello"), 3u);
    EXPECT_EQ(stick->CountOf("StreamNop"), 0u);
}

TEST_F(DownloadStepsTest, DownloaderWithoutTheFirstGoIsStartedByTheSecondForm) {
    UseArmprg(3000);
    ASSERT_TRUE(EnterDownloadMode(*bench.view, 0));
    ASSERT_TRUE(UploadArmprg(*bench.view, 0));
    sim::FaultPlan faults;
    faults.ignoreDloadGo = true;
    stick->SetFaults(faults);
    bench.waits.ClearWaits();
    ASSERT_TRUE(StartProgrammer(*bench.view, 0)) << bench.Link(0).m_lastError;
    EXPECT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
    // Three gos (reopen and 2000 ms between), then the second form, then a second to settle.
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000, 1000}));
}

// Two lines switch their sticks; the document lock lets one at a time through.
class SingleSwitchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        first = &bench.AddLine(0);
        second = &bench.AddLine(1);
    }
    void Start() {
        for (int line = 0; line < 2; ++line) {
            threads.emplace_back([this, line] {
                results[line] = EnterDownloadMode(*bench.view, line);
                ++done;
            });
        }
    }
    void Join() {
        for (auto& t : threads) {
            t.join();
        }
    }
    // Waits up to `wallMs` of real time for `condition`.
    template <typename Condition>
    static bool WaitFor(Condition condition, int wallMs) {
        for (int i = 0; i < wallMs; ++i) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    test::SimBench bench;
    sim::StickModel* first = nullptr;
    sim::StickModel* second = nullptr;
    std::atomic<bool> results[2] = {false, false};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
};

uint32_t FirstTick(sim::StickModel& stick, const std::string& name) {
    for (const auto& c : stick.Commands()) {
        if (c.name == name) {
            return c.tickMs;
        }
    }
    return 0;
}

TEST_F(SingleSwitchTest, SecondLineWaitsForTheFirstToReleaseTheLock) {
    {
        std::unique_lock lock(bench.doc->DocLock());
        Start();
        // Both lines get through their preparation, then stop in front of the lock.
        ASSERT_TRUE(WaitFor(
            [&] {
                return first->CountOf("QueryModemStatus") > 0 &&
                       second->CountOf("QueryModemStatus") > 0;
            },
            20000));
        WaitFor([] { return false; }, 200);
        EXPECT_EQ(first->CountOf("SwitchToDownloader"), 0u);
        EXPECT_EQ(second->CountOf("SwitchToDownloader"), 0u);
        EXPECT_EQ(done.load(), 0);
    }
    Join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    // One line holds the lock over its switch and the 500 ms after it; the other switches after.
    const uint32_t a = FirstTick(*first, "SwitchToDownloader");
    const uint32_t b = FirstTick(*second, "SwitchToDownloader");
    EXPECT_GE(a > b ? a - b : b - a, 500u);
    EXPECT_EQ(first->Mode(), sim::StickMode::kDownloader);
    EXPECT_EQ(second->Mode(), sim::StickMode::kDownloader);
}

TEST_F(SingleSwitchTest, WithoutTheOptionTheLockIsNotTaken) {
    bench.view->m_singleSwitch = 0;
    {
        std::unique_lock lock(bench.doc->DocLock());
        Start();
        // Both switch and finish although the document lock is held throughout.
        EXPECT_TRUE(WaitFor([&] { return done.load() == 2; }, 20000));
    }
    Join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    EXPECT_EQ(first->CountOf("SwitchToDownloader"), 1u);
    EXPECT_EQ(second->CountOf("SwitchToDownloader"), 1u);
}

}  // namespace
}  // namespace pellan
