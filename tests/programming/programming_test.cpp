// The download-mode line steps, then the partition table, boot loaders, application and EFS
// images written to the simulated stick's programmer, on the virtual clock with their faults. The
// whole path in order, a silent programmer ("Skip fail!") and a stick that never returns ("Reset
// modem fail!") are the update job's tests and tests/e2e/programming_pty.sh's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "download/download_steps.h"
#include "programming/app_image.h"
#include "programming/boot_images.h"
#include "programming/efs_image.h"
#include "programming/programming_cycle.h"
#include "programming/sim_line.h"

namespace pellan {
namespace {

using test::ArgsOf;
using LineStepsTest = test::SimLineTest;
using Strings = std::vector<std::string>;
using Ms = std::vector<uint32_t>;
constexpr uint32_t kBlock = 1024;

std::string AddressLine(uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof(text), "Re-write data block,address%X", address);
    return text;
}

TEST_F(LineStepsTest, SpcNeverAnsweredFailsAfterItsWaitsWithoutAModeChange) {
    sim::FaultPlan faults;
    faults.stopAnswering = {"SendSpc", 1};
    Faults(faults);
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(EnterDownloadMode(bench.Context(0)));
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
    EXPECT_FALSE(UploadArmprg(bench.Context(0)));
    const std::string text =
        "线路1打开FlASH文件armprg.bin失败,请检查当前下载软件目录下是否有该文件";
    EXPECT_EQ(bench.Link(0).m_lastError, text);
    EXPECT_EQ(bench.Boxes(), (Strings{text}));
    ASSERT_TRUE(EnterDownloadMode(bench.Context(0)));
    Use(bench.Record(0).armprgPath, "armprg.bin", 2035);
    ASSERT_TRUE(UploadArmprg(bench.Context(0)));
    EXPECT_EQ(ArgsOf(*stick, "DloadWrite32"), (std::vector<int64_t>{0x800000, 0x8003F9, 0x8007F2}));
}

TEST_F(LineStepsTest, NandProgrammerInBlocksOf1024BytesEachTriedFourTimes) {
    ReachProgrammer();
    Absent(bench.Record(0).nandprgPath);
    EXPECT_FALSE(UploadNandProgrammer(bench.Context(0)));
    EXPECT_EQ(ArgsOf(*stick, "StreamOpenMultiImage"), (std::vector<int64_t>{0x14}));
    EXPECT_EQ(Writes(), 0u);
    Use(bench.Record(0).nandprgPath, "nandprgcombined.mbn", 3000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultsOnce = false;
    Faults(faults);
    EXPECT_FALSE(UploadNandProgrammer(bench.Context(0)));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400, 0x400, 0x400, 0x400}));
    EXPECT_EQ(Waits(), (Ms{2000, 2000, 2000, 2000}));
    EXPECT_EQ(Messages(),
              (Strings{"Open file fail",
                       "Write a Block of Data to Memory Failed, Since Write-verify failed"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
}

TEST_F(LineStepsTest, ProgrammerStartFallsBackToTheSecondGo) {
    ReachProgrammer(false);
    sim::FaultPlan faults;
    faults.ignoreDloadGo = true;
    Faults(faults);
    ASSERT_TRUE(StartProgrammer(bench.Context(0))) << bench.Link(0).m_lastError;
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
    bench.singleSwitch = single ? 1 : 0;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    const auto switches = [&] {
        return sticks[0]->CountOf("SwitchToDownloader") + sticks[1]->CountOf("SwitchToDownloader");
    };
    {
        std::unique_lock lock(bench.docLock);
        for (int line = 0; line < 2; ++line) {
            threads.emplace_back(
                [&, line] { done += EnterDownloadMode(bench.Context(line)) ? 1 : 0; });
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

class ProgrammingTest : public test::SimLineTest {
  protected:
    void SetUp() override {
        SimLineTest::SetUp();
        ReachProgrammer();
    }
    std::vector<uint8_t> UseAmss(size_t size) {
        return Use(bench.Record(0).amssPath, "amss", size);
    }
    std::vector<uint8_t> UseEfs(size_t size) { return Use(bench.Record(0).efsPath, "efs", size); }
    bool Write(bool efs) {
        return efs ? WriteEfsImage(bench.Context(0)) : WriteApplicationImage(bench.Context(0));
    }
};

TEST_F(ProgrammingTest, PartitionTableInOneCommandTriedThreeTimes) {
    const auto table = Use(bench.Record(0).partitionPath, "partition.mbn", 464);
    ASSERT_TRUE(WritePartitionTable(bench.Context(0)));
    EXPECT_EQ(stick->PartitionTable(), table);
    Silent("StreamPartitionTable");
    EXPECT_FALSE(WritePartitionTable(bench.Context(0)));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 4u);
    EXPECT_EQ(Waits(), (Ms{2000, 2000}));  // between the three attempts
    EXPECT_EQ(bench.Link(0).m_lastError,
              "Cannot download partition, Since Port Cannot Receive Desired Data from the Phone");
    // A bad file is refused before anything is sent (these lines exist in Chinese only).
    bench.language = 1;
    Absent(bench.Record(0).partitionPath);
    EXPECT_FALSE(WritePartitionTable(bench.Context(0)));
    for (const size_t size : {0, 1025}) {
        Use(bench.Record(0).partitionPath, "partition.mbn", size);
        EXPECT_FALSE(WritePartitionTable(bench.Context(0)));
    }
    EXPECT_EQ(Messages(), (Strings{"打开文件失败！", "文件长度不正确", "文件长度不正确"}));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 4u);
}

TEST_F(ProgrammingTest, BootImagesWholeAndTheirFailures) {
    const auto dbl = Use(bench.Record(0).dblPath, "dbl.mbn", 35340);
    ASSERT_TRUE(WriteBootImage(bench.Context(0), BootImage::DBL));
    EXPECT_TRUE(ImageIs(0x0F, dbl));
    EXPECT_EQ(Writes(), 35u);
    EXPECT_TRUE(Waits().empty());

    Absent(bench.Record(0).dblPath);
    EXPECT_FALSE(WriteBootImage(bench.Context(0), BootImage::DBL));
    Use(bench.Record(0).dblPath, "dbl.mbn", 0);
    EXPECT_FALSE(WriteBootImage(bench.Context(0), BootImage::DBL));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 1u);
    Use(bench.Record(0).osblPath, "osbl.mbn", 5000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x800] = 7;
    Faults(faults);
    EXPECT_FALSE(WriteBootImage(bench.Context(0), BootImage::OSBL));
    EXPECT_EQ(Writes(), 35u + 3u);
    EXPECT_EQ(stick->CountOf("StreamClose"), 1u);

    bench.language = 0;  // English only, whatever the language
    Use(bench.Record(0).dblPath, "dbl.mbn", 3000);
    Silent("StreamOpenMultiImage");
    EXPECT_FALSE(WriteBootImage(bench.Context(0), BootImage::DBL));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 2u + 4u);  // two commands of two attempts
    EXPECT_EQ(Waits(), (Ms{2000}));
    EXPECT_EQ(Messages(), (Strings{"open file fail!", "The length of file is not correct",
                                   "Write a Block of Data to Memory Failed, Since Operation failed",
                                   "Download DBL file failed!"}));
}

TEST_F(ProgrammingTest, ApplicationProgressAndLostUndrainedAndCorruptAcknowledgements) {
    const auto amss = UseAmss(200 * kBlock + 77);
    ASSERT_TRUE(WriteApplicationImage(bench.Context(0)));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(Writes(), 201u);
    const auto progress = Progress();
    ASSERT_EQ(progress.size(), 1u + 201 / 6 + 1);  // S = (L / 1024) / 32 = 6: a step every six
    EXPECT_EQ(progress.front(), 28);
    EXPECT_EQ(progress.back(), 60);
    EXPECT_EQ(Waits(), (Ms{150}));  // one drain pass

    // Block 7's acknowledgement never comes (found missing when block 8's arrives); the last two
    // are never acknowledged and stay outstanding through the drain.
    const auto lost = UseAmss(40 * kBlock);
    DropAcks({7 * kBlock, 38 * kBlock, 39 * kBlock});
    ASSERT_TRUE(WriteApplicationImage(bench.Context(0)));
    auto writes = test::ArgsOf(*stick, "StreamWrite");
    ASSERT_EQ(writes.size(), 201u + 43u);
    EXPECT_EQ(std::vector<int64_t>(writes.end() - 3, writes.end()),
              (std::vector<int64_t>{7 * kBlock, 38 * kBlock, 39 * kBlock}));
    EXPECT_TRUE(ImageIs(0x05, lost));

    // The window's five acknowledgements arrive in one read; the corrupt first one ends the scan,
    // the four behind it are never recorded, and with nothing more to come the window stalls.
    UseAmss(30 * kBlock);
    sim::FaultPlan faults;
    faults.corruptAckAddresses = {10 * kBlock};
    Faults(faults);
    EXPECT_FALSE(WriteApplicationImage(bench.Context(0)));
    EXPECT_EQ(Writes(), 244u + 15);
    EXPECT_EQ(Messages(), (Strings{"no return value, write fail!"}));
}

struct LostCase {
    bool efs;
    uint32_t lost;
    bool ok;
    bool pause;  // the application pauses 2000 ms between 65 and 1023 lost blocks
};

class LostBlocksTest : public ProgrammingTest, public ::testing::WithParamInterface<LostCase> {};

// Lost blocks are dropped four of every five (five in a row would stall the window).
TEST_P(LostBlocksTest, AreRewrittenUpTo6000) {
    const LostCase& c = GetParam();
    const size_t blocks = c.lost + c.lost / 4 + 2;
    const auto bytes = c.efs ? UseEfs(blocks * kBlock) : UseAmss(blocks * kBlock);
    std::set<uint32_t> dropped;
    for (uint32_t block = 0; dropped.size() < c.lost; ++block) {
        if (block % 5 != 4) {
            dropped.insert(block * kBlock);
        }
    }
    DropAcks(dropped);
    ASSERT_EQ(Write(c.efs), c.ok);
    const std::string count =
        "1 line download efs have " + std::to_string(c.lost) + " block no response";
    if (!c.ok) {
        EXPECT_EQ(Writes(), blocks);
        EXPECT_EQ(Messages(), c.efs ? (Strings{count, "下载过程中有过多的未响应数据块,下载失败!"})
                                    : (Strings{"too many blocks no response, write fail!"}));
        EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
        return;
    }
    EXPECT_TRUE(ImageIs(c.efs ? 0x09 : 0x05, bytes));
    EXPECT_EQ(Writes(), blocks + c.lost);
    const auto waits = Waits();  // only drain passes of 150 ms besides the pause
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 2000u), c.pause ? 1 : 0);
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 150u) + (c.pause ? 1 : 0),
              static_cast<std::ptrdiff_t>(waits.size()));
    if (c.efs) {
        ASSERT_EQ(Messages().size(), 2u + c.lost);
        EXPECT_EQ(Messages()[0], count);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, LostBlocksTest,
    ::testing::Values(LostCase{false, 64, true, false}, LostCase{false, 65, true, true},
                      LostCase{false, 1024, true, false}, LostCase{false, 6001, false, false},
                      LostCase{true, 6000, true, false}, LostCase{true, 6001, false, false}));

TEST_F(ProgrammingTest, EfsLostBlocksListedInOrderNotAcknowledgedByTheNandProgrammer) {
    // The NAND programmer's last block is at 0x400; its acknowledgement was the last one scanned
    // before the EFS image opens. EFS blocks must be found missing rather than pass on the old one.
    Use(bench.Record(0).nandprgPath, "nandprg.mbn", 2000);
    ASSERT_TRUE(UploadNandProgrammer(bench.Context(0)));
    bench.ClearLines();
    const auto efs = UseEfs(50 * kBlock + 300);
    sim::FaultPlan faults;
    faults.dropAckAddresses = {12 * kBlock, kBlock, 30 * kBlock};
    faults.blockFaultImageType = 0x09;
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(bench.Context(0)));
    EXPECT_EQ(Messages(),
              (Strings{"1 line download efs have 3 block no response", "Re-write data block!",
                       AddressLine(kBlock), AddressLine(12 * kBlock), AddressLine(30 * kBlock)}));
    EXPECT_TRUE(ImageIs(0x09, efs));
    EXPECT_EQ(Progress().front(), 61);
    EXPECT_EQ(Progress().back(), 80);
}

TEST_F(ProgrammingTest, RefusedFilesAndOpensAndAStop) {
    Absent(bench.Record(0).efsPath);
    EXPECT_FALSE(WriteEfsImage(bench.Context(0)));
    UseEfs(0);
    EXPECT_FALSE(WriteEfsImage(bench.Context(0)));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 0u);
    // A stop is noticed at a progress step: the application's after its second block (S = 2),
    // the EFS image's after its third (S = 3).
    bench.Context(0).runtime.running = 0;
    UseAmss(64 * kBlock + 10);
    EXPECT_FALSE(WriteApplicationImage(bench.Context(0)));
    EXPECT_EQ(test::ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400}));
    UseEfs(19 * 3 * kBlock);
    EXPECT_FALSE(WriteEfsImage(bench.Context(0)));
    EXPECT_EQ(Writes(), 2u + 3u);
    bench.Context(0).runtime.running = 1;
    // Unanswered opens: three for the application 1500 ms apart, three for the EFS image 2000 ms
    // apart (its line in Chinese).
    UseAmss(3 * kBlock);
    UseEfs(20 * kBlock);
    Silent("StreamOpenMultiImage");
    EXPECT_FALSE(WriteApplicationImage(bench.Context(0)));
    EXPECT_EQ(Waits(), (Ms{1500, 1500}));
    bench.language = 0;
    bench.waits.ClearWaits();
    EXPECT_FALSE(WriteEfsImage(bench.Context(0)));
    EXPECT_EQ(Waits(), (Ms{2000, 2000}));
    EXPECT_EQ(Messages(),
              (Strings{"Open EFS file failed!", "The length of EFS is wrong.",
                       "downloading is stopped by manual!", "The download thread stopped!",
                       "OpenMulti mode fail!!", "进入Download EFS模式失败!"}));
}

// A full, unacknowledged window fails at its time limit; when the port goes away meanwhile it
// must still wait rather than spin: on the virtual clock a spin never gets there.
class StalledWindowTest : public ProgrammingTest,
                          public ::testing::WithParamInterface<std::pair<bool, bool>> {};

TEST_P(StalledWindowTest, FailsAtItsLimit) {
    const auto [efs, portLost] = GetParam();
    if (portLost) {
        const int fifthStep = efs ? 66 : 33;  // a small image steps at every block
        bench.onProgress = [this, fifthStep](int line, int position) {
            if (line == 0 && position == fifthStep) {
                bench.Link(0).m_port.Close();
            }
        };
    }
    efs ? UseEfs(12 * kBlock) : UseAmss(12 * kBlock);
    DropAcks({0, kBlock, 2 * kBlock, 3 * kBlock, 4 * kBlock});
    const uint32_t limitMs = efs ? 10000 : 20000;
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(Write(efs));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_GE(spent, limitMs);
    EXPECT_LT(spent, limitMs + 100);
    EXPECT_EQ(Writes(), 5u);
    EXPECT_EQ(Messages(), (Strings{"no return value, write fail!"}));
    bench.onProgress = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Images, StalledWindowTest,
                         ::testing::Values(std::pair{false, false}, std::pair{false, true},
                                           std::pair{true, false}, std::pair{true, true}));

// A failed boot image is tried once more on a reopened port; failing twice ends the attempt.
TEST_F(ProgrammingTest, CycleTriesAFailedBootImageOnceMore) {
    LineRecord& r = bench.Record(0);
    Use(r.partitionPath, "partition.mbn", 464);
    const auto dbl = Use(r.dblPath, "dbl.mbn", 3000);
    Use(r.fsblPath, "fsbl.mbn", 3000);
    Use(r.osblPath, "osbl.mbn", 2000);
    const auto efs = UseEfs(20 * kBlock);
    UseAmss(20 * kBlock);
    Use(r.nandprgPath, "nandprgcombined.mbn", 2000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultImageType = 0x0F;
    Faults(faults);
    const auto types = [&] {
        std::vector<int> all;
        for (const auto& session : stick->ImageSessions()) {
            all.push_back(session.type);
        }
        return all;
    };
    ASSERT_TRUE(RunProgrammingCycle(bench.Context(0))) << bench.Link(0).m_lastError;
    EXPECT_TRUE(ImageIs(0x0F, dbl));
    EXPECT_TRUE(ImageIs(0x09, efs));
    EXPECT_EQ(types(), (std::vector<int>{0x0F, 0x0F, 0x11, 0x10, 0x05, 0x14, 0x09}));
    faults.blockFaultImageType = 0x11;
    faults.blockFaultsOnce = false;
    Faults(faults);
    EXPECT_FALSE(RunProgrammingCycle(bench.Context(0)));
    EXPECT_EQ(types(),
              (std::vector<int>{0x0F, 0x0F, 0x11, 0x10, 0x05, 0x14, 0x09, 0x0F, 0x11, 0x11}));
}

}  // namespace
}  // namespace pellan
