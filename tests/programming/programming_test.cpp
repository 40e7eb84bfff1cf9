// Partition table, boot loaders, application and EFS images and the programming cycle, written to
// the simulated stick's programmer on the virtual clock, with its faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include "download/download_steps.h"
#include "download/sim_line.h"
#include "programming/app_image.h"
#include "programming/boot_images.h"
#include "programming/efs_image.h"
#include "programming/programming_cycle.h"

namespace pellan {
namespace {

using test::PatternBytes;

constexpr uint32_t kBlock = 1024;

std::vector<int64_t> ArgsOf(sim::StickModel& stick, const std::string& name) {
    std::vector<int64_t> args;
    for (const auto& c : stick.Commands()) {
        if (c.name == name) {
            args.push_back(c.arg);
        }
    }
    return args;
}

std::string AddressLine(uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof(text), "Re-write data block,address%X", address);
    return text;
}

// Addresses of `lost` blocks whose acknowledgements the stick drops, never five in a row (a
// window of five unacknowledged blocks would stall): four of every five blocks from the start.
std::set<uint32_t> DropFourOfFive(uint32_t lost) {
    std::set<uint32_t> addresses;
    for (uint32_t block = 0; addresses.size() < lost; ++block) {
        if (block % 5 != 4) {
            addresses.insert(block * kBlock);
        }
    }
    return addresses;
}
// Blocks needed so that every dropped acknowledgement is followed by a received one.
size_t BlocksForLost(uint32_t lost) {
    return lost + lost / 4 + 2;
}

class ProgrammingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stick = &bench.AddLine(0);
        SetField(bench.Record(0).armprgPath, bench.WriteFile("armprg.bin", PatternBytes(4000, 1)));
        ASSERT_TRUE(EnterDownloadMode(*bench.view, 0));
        ASSERT_TRUE(UploadArmprg(*bench.view, 0));
        ASSERT_TRUE(StartProgrammer(*bench.view, 0));
        ASSERT_EQ(stick->Mode(), sim::StickMode::kProgrammer);
        bench.waits.ClearWaits();
    }

    std::vector<uint8_t> UseFile(std::array<char, 256>& field, const std::string& name, size_t size,
                                 uint32_t seed) {
        auto bytes = PatternBytes(size, seed);
        SetField(field, bench.WriteFile(name, bytes));
        return bytes;
    }
    std::vector<uint8_t> UseAmss(size_t size) {
        return UseFile(bench.Record(0).amssPath, "amss.mbn", size, 5);
    }
    std::vector<uint8_t> UseEfs(size_t size) {
        auto bytes = PatternBytes(size, 9);
        SetField(bench.Record(0).efsPath, bench.WriteFile("efs.mbn", bytes));
        return bytes;
    }
    void Faults(const sim::FaultPlan& faults) { stick->SetFaults(faults); }
    bool ImageIs(int type, const std::vector<uint8_t>& bytes) {
        const auto session = stick->LatestImage(type);
        return session.has_value() && session->closed && session->image.Equals(bytes);
    }
    std::vector<std::string> Messages() { return bench.sink.Messages(0); }
    std::vector<int> Progress() { return bench.sink.Progress(0); }

    test::SimBench bench;
    sim::StickModel* stick = nullptr;
};

// ---- partition table and boot loaders ----

TEST_F(ProgrammingTest, PartitionTableInOneCommand) {
    const auto table = PatternBytes(464, 3);
    SetField(bench.Record(0).partitionPath, bench.WriteFile("partition.mbn", table));
    ASSERT_TRUE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->PartitionTable(), table);
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 1u);
}

TEST_F(ProgrammingTest, PartitionTableRefusalIsRetriedAfterTwoSeconds) {
    SetField(bench.Record(0).partitionPath, bench.WriteFile("partition.mbn", PatternBytes(464, 3)));
    sim::FaultPlan faults;
    faults.corruptReply = {"StreamPartitionTable", 1};
    Faults(faults);
    ASSERT_TRUE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 2u);
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000}));
}

TEST_F(ProgrammingTest, PartitionTableSilenceFailsAfterThreeCommands) {
    SetField(bench.Record(0).partitionPath, bench.WriteFile("partition.mbn", PatternBytes(464, 3)));
    sim::FaultPlan faults;
    faults.stopAnswering = {"StreamPartitionTable", 1};
    Faults(faults);
    EXPECT_FALSE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 3u);
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000}));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(bench.Link(0).m_lastError,
              "Cannot download partition, Since Port Cannot Receive Desired Data from the Phone");
}

struct BadTableCase {
    const char* name;
    int size;  // -1: no file
    const char* message;
};

class BadPartitionTableTest : public ProgrammingTest,
                              public ::testing::WithParamInterface<BadTableCase> {};

TEST_P(BadPartitionTableTest, RefusedBeforeAnythingIsSent) {
    const BadTableCase& c = GetParam();
    bench.doc->m_language = 1;  // the lines exist in Chinese only
    if (c.size >= 0) {
        SetField(bench.Record(0).partitionPath,
                 bench.WriteFile("partition.mbn", PatternBytes(static_cast<size_t>(c.size), 3)));
    } else {
        SetField(bench.Record(0).partitionPath, (bench.dir.Path() / "absent.mbn").string());
    }
    EXPECT_FALSE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(Messages(), (std::vector<std::string>{c.message}));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, BadPartitionTableTest,
                         ::testing::Values(BadTableCase{"Missing", -1, "打开文件失败！"},
                                           BadTableCase{"Empty", 0, "文件长度不正确"},
                                           BadTableCase{"LongerThanAPayload", 1025,
                                                        "文件长度不正确"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgrammingTest, DblIsThirtyFourFullBlocksAndATail) {
    const auto dbl = UseFile(bench.Record(0).dblPath, "dbl.mbn", 35340, 4);
    ASSERT_TRUE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    const auto writes = ArgsOf(*stick, "StreamWrite");
    ASSERT_EQ(writes.size(), 35u);
    EXPECT_EQ(writes.back(), 0x8800);
    EXPECT_TRUE(ImageIs(0x0F, dbl));
}

TEST_F(ProgrammingTest, FsblPlaceholderIsOneBlockBetweenOpenAndClose) {
    const auto fsbl = UseFile(bench.Record(0).fsblPath, "fsbl.mbn", 118, 6);
    ASSERT_TRUE(WriteBootImage(*bench.view, 0, BootImage::FSBL));
    std::vector<std::string> streamCommands;
    for (const auto& c : stick->Commands()) {
        if (c.mode == sim::StickMode::kProgrammer && c.name != "StreamHello" &&
            c.name != "StreamNop") {
            streamCommands.push_back(c.name + ":" + std::to_string(c.arg));
        }
    }
    EXPECT_EQ(streamCommands, (std::vector<std::string>{"StreamOpenMultiImage:17", "StreamWrite:0",
                                                        "StreamClose:-1"}));
    EXPECT_TRUE(ImageIs(0x11, fsbl));
}

TEST_F(ProgrammingTest, OsblOfAnExactMultipleEndsWithAFullBlock) {
    const auto osbl = UseFile(bench.Record(0).osblPath, "osbl.mbn", 8 * kBlock, 7);
    ASSERT_TRUE(WriteBootImage(*bench.view, 0, BootImage::OSBL));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"),
              (std::vector<int64_t>{0, 0x400, 0x800, 0xC00, 0x1000, 0x1400, 0x1800, 0x1C00}));
    EXPECT_TRUE(ImageIs(0x10, osbl));
}

TEST_F(ProgrammingTest, BootImageOpenRefusedTwiceNamesTheImage) {
    UseFile(bench.Record(0).dblPath, "dbl.mbn", 3000, 4);
    bench.doc->m_language = 0;  // English only, whatever the language
    sim::FaultPlan faults;
    faults.stopAnswering = {"StreamOpenMultiImage", 1};
    Faults(faults);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Download DBL file failed!"}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000}));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 4u);  // two commands of two attempts
}

TEST_F(ProgrammingTest, BootImageBlockErrorStopsWithTheLinksText) {
    UseFile(bench.Record(0).osblPath, "osbl.mbn", 5000, 7);
    sim::FaultPlan faults;
    faults.errorBlocks[0x800] = 7;
    Faults(faults);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::OSBL));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400, 0x800}));
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "Write a Block of Data to Memory Failed, Since Operation failed"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
}

TEST_F(ProgrammingTest, BootImageFileProblems) {
    SetField(bench.Record(0).dblPath, (bench.dir.Path() / "absent").string());
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    UseFile(bench.Record(0).dblPath, "dbl.mbn", 0, 4);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"open file fail!", "The length of file is not correct"}));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 0u);
}

// ---- acknowledgement matching ----

struct MatchCase {
    const char* name;
    std::vector<uint32_t> outstanding;
    std::vector<uint32_t> acks;
    std::vector<uint32_t> stillOutstanding;
    std::vector<uint32_t> lost;
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {
  protected:
    test::SimBench bench;
};

TEST_P(MatchTest, MovesAcknowledgedAndSkippedBlocks) {
    const MatchCase& c = GetParam();
    CPhoneLink& link = bench.Link(0);
    OutstandingList outstanding{};
    std::copy(c.outstanding.begin(), c.outstanding.end(), outstanding.begin());
    uint32_t outstandingCount = static_cast<uint32_t>(c.outstanding.size());
    auto lost = std::make_unique<LostList>();
    uint32_t lostCount = 0;
    link.m_ackCount = static_cast<uint8_t>(c.acks.size());
    std::copy(c.acks.begin(), c.acks.end(), link.m_ackList.begin());
    MatchStreamAcks(*bench.view, 0, outstanding, outstandingCount, *lost, lostCount);
    EXPECT_EQ(std::vector<uint32_t>(outstanding.begin(), outstanding.begin() + outstandingCount),
              c.stillOutstanding);
    EXPECT_EQ(std::vector<uint32_t>(lost->begin(), lost->begin() + lostCount), c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchTest,
    ::testing::Values(MatchCase{"OldestAcknowledged", {0, 1, 2, 3, 4}, {0}, {1, 2, 3, 4}, {}},
                      MatchCase{"AckForNMovesTheTwoBefore", {10, 11, 12, 13}, {12}, {13}, {10, 11}},
                      MatchCase{"AcksInOrder", {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {}, {}},
                      MatchCase{"UnknownAckIgnored", {1, 2, 3}, {99, 2}, {3}, {1}},
                      MatchCase{"StaleAckIgnored", {5, 6}, {3, 6}, {}, {5}},
                      MatchCase{"NoAcks", {1, 2}, {}, {1, 2}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MatchLimits, LostBlocksBeyondTheListAreCountedNotStored) {
    test::SimBench bench;
    CPhoneLink& link = bench.Link(0);
    OutstandingList outstanding{};
    for (uint32_t i = 0; i < 5; ++i) {
        outstanding[i] = 100 + i;
    }
    uint32_t outstandingCount = 5;
    auto lost = std::make_unique<LostList>();
    lost->fill(7);
    uint32_t lostCount = kLostSlots - 1;
    link.m_ackCount = 1;
    link.m_ackList[0] = 104;
    MatchStreamAcks(*bench.view, 0, outstanding, outstandingCount, *lost, lostCount);
    EXPECT_EQ(lostCount, kLostSlots + 3);
    EXPECT_EQ((*lost)[kLostSlots - 1], 100u);
    EXPECT_EQ(outstandingCount, 0u);
}

// ---- application image ----

TEST_F(ProgrammingTest, ApplicationEveryBlockAcknowledged) {
    const auto amss = UseAmss(200 * kBlock + 77);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), 201u);  // no rewrite
    const auto progress = Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 28);
    EXPECT_EQ(progress.back(), 60);
    // S = (L / 1024) / 32 = 6: one step every six blocks.
    EXPECT_EQ(progress.size(), 1u + 201 / 6 + 1);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{150}));  // one drain pass
    const auto session = stick->LatestImage(0x05);
    ASSERT_TRUE(session.has_value());
    EXPECT_TRUE(session->image.Overlaps().empty());
}

TEST_F(ProgrammingTest, ApplicationLostAndUndrainedBlocksAreRewritten) {
    const size_t blocks = 40;
    const auto amss = UseAmss(blocks * kBlock);
    sim::FaultPlan faults;
    // Block 7's acknowledgement never comes (found missing when block 8's arrives); the last two
    // are never acknowledged and stay outstanding through the drain.
    faults.dropAckAddresses = {7 * kBlock, 38 * kBlock, 39 * kBlock};
    Faults(faults);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    const auto writes = ArgsOf(*stick, "StreamWrite");
    ASSERT_EQ(writes.size(), blocks + 3);
    EXPECT_EQ(std::vector<int64_t>(writes.end() - 3, writes.end()),
              (std::vector<int64_t>{7 * kBlock, 38 * kBlock, 39 * kBlock}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{150, 150, 150}));
    EXPECT_TRUE(ImageIs(0x05, amss));
    const auto session = stick->LatestImage(0x05);
    ASSERT_TRUE(session.has_value());
    const auto& overlaps = session->image.Overlaps();
    EXPECT_EQ(overlaps.size(), 3u);
    EXPECT_TRUE(
        std::all_of(overlaps.begin(), overlaps.end(), [](const auto& o) { return o.identical; }));
}

TEST_F(ProgrammingTest, ApplicationCorruptAckHidesTheRestOfItsRead) {
    // The window's five acknowledgements arrive in one read; the corrupt first one ends the scan,
    // the four behind it are never recorded, and with nothing more to come the window stalls.
    UseAmss(30 * kBlock);
    sim::FaultPlan faults;
    faults.corruptAckAddresses = {10 * kBlock};
    Faults(faults);
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"no return value, write fail!"}));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), 15u);
}

TEST_F(ProgrammingTest, ApplicationCorruptAckAloneCostsARewrite) {
    // An acknowledgement read alone (the drain of a last, single block) fails only its own scan.
    const auto amss = UseAmss(6 * kBlock);
    sim::FaultPlan faults;
    faults.corruptAckAddresses = {5 * kBlock};
    Faults(faults);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"),
              (std::vector<int64_t>{0, 0x400, 0x800, 0xC00, 0x1000, 0x1400, 0x1400}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{150, 150, 150}));
}

struct PauseCase {
    uint32_t lost;
    bool pause;
};

class ApplicationPauseTest : public ProgrammingTest,
                             public ::testing::WithParamInterface<PauseCase> {};

TEST_P(ApplicationPauseTest, PauseOnlyBetween65And1023LostBlocks) {
    const PauseCase& c = GetParam();
    const auto amss = UseAmss(BlocksForLost(c.lost) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(c.lost);
    Faults(faults);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, amss));
    const auto waits = bench.waits.Waits();
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 2000u), c.pause ? 1 : 0);
    // Only drain passes besides.
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 150u) + (c.pause ? 1 : 0),
              static_cast<std::ptrdiff_t>(waits.size()));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), BlocksForLost(c.lost) + c.lost);
}

INSTANTIATE_TEST_SUITE_P(LostCounts, ApplicationPauseTest,
                         ::testing::Values(PauseCase{64, false}, PauseCase{65, true},
                                           PauseCase{1023, true}, PauseCase{1024, false}));

TEST_F(ProgrammingTest, ApplicationSixThousandLostAreRewritten) {
    const auto amss = UseAmss(BlocksForLost(6000) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(6000);
    Faults(faults);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), BlocksForLost(6000) + 6000);
}

TEST_F(ProgrammingTest, ApplicationSixThousandAndOneLostFailWithoutARewrite) {
    UseAmss(BlocksForLost(6001) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(6001);
    Faults(faults);
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), BlocksForLost(6001));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"too many blocks no response, write fail!"}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);
}

TEST_F(ProgrammingTest, ApplicationSmallFileStepsEveryBlock) {
    UseAmss(10 * kBlock + 1);  // S = 0
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Progress(), (std::vector<int>{28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 60}));
}

TEST_F(ProgrammingTest, ApplicationStopIsNoticedAtAProgressStep) {
    UseAmss(64 * kBlock + 10);  // S = 2
    bench.doc->Runtime(0).running = 0;
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    // The first block passes unnoticed; the step after the second one sees the stop.
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400}));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"downloading is stopped by manual!"}));
    EXPECT_EQ(Progress(), (std::vector<int>{28, 29}));
}

TEST_F(ProgrammingTest, ApplicationStalledWindowFailsAfterTwentySeconds) {
    UseAmss(20 * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = {0, kBlock, 2 * kBlock, 3 * kBlock, 4 * kBlock};
    Faults(faults);
    // The virtual clock moves only because the full window waits on the port; a loop that spun
    // without waiting would never reach the limit here.
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_GE(spent, 20000u);
    EXPECT_LT(spent, 20100u);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"no return value, write fail!"}));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), 5u);
}

// The port goes away while the window is full and unacknowledged (closed here; a stick that has
// left the bus behaves alike: its port answers every wait at once). The window must still fail
// at its time limit, waiting rather than spinning: on the virtual clock a spin never gets there.
class PortLostTest : public ProgrammingTest, public ::testing::WithParamInterface<bool> {
  protected:
    void LoseThePortAfterTheFifthBlock(int fifthStep) {
        bench.sink.onProgress = [this, fifthStep](int line, int position) {
            if (line == 0 && position == fifthStep) {
                bench.doc->Link(0).m_port.Close();
            }
        };
        sim::FaultPlan faults;
        faults.dropAckAddresses = {0, kBlock, 2 * kBlock, 3 * kBlock, 4 * kBlock};
        Faults(faults);
    }
};

TEST_P(PortLostTest, FullWindowFailsAtItsLimit) {
    const bool efs = GetParam();
    const uint32_t limitMs = efs ? 10000 : 20000;
    LoseThePortAfterTheFifthBlock(efs ? 66 : 33);  // a small image steps at every block
    efs ? UseEfs(12 * kBlock)
        : UseAmss(12 * kBlock);  // the EFS starts at 61, the application at 28
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(efs ? WriteEfsImage(*bench.view, 0) : WriteApplicationImage(*bench.view, 0));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_GE(spent, limitMs);
    EXPECT_LT(spent, limitMs + 100);
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), 5u);
    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages().back(), "no return value, write fail!");
    bench.sink.onProgress = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Images, PortLostTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Efs" : "Application"; });

TEST_F(ProgrammingTest, ApplicationOfAnExactMultipleSendsNoEmptyBlock) {
    const auto amss = UseAmss(12 * kBlock);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    const auto writes = ArgsOf(*stick, "StreamWrite");
    ASSERT_EQ(writes.size(), 12u);
    EXPECT_EQ(writes.back(), 11 * kBlock);
    EXPECT_TRUE(ImageIs(0x05, amss));
}

TEST_F(ProgrammingTest, ApplicationOpenRefusedThreeTimes) {
    UseAmss(3 * kBlock);
    sim::FaultPlan faults;
    faults.stopAnswering = {"StreamOpenMultiImage", 1};
    Faults(faults);
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{1500, 1500}));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"OpenMulti mode fail!!"}));
}

// ---- EFS image ----

TEST_F(ProgrammingTest, EfsThreeLostBlocksAreCountedAndRewrittenInOrder) {
    const auto efs = UseEfs(50 * kBlock + 300);
    sim::FaultPlan faults;
    faults.dropAckAddresses = {12 * kBlock, 3 * kBlock, 30 * kBlock};
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"1 line download efs have 3 block no response",
                                        "Re-write data block!", AddressLine(3 * kBlock),
                                        AddressLine(12 * kBlock), AddressLine(30 * kBlock)}));
    EXPECT_TRUE(ImageIs(0x09, efs));
    const auto progress = Progress();
    EXPECT_EQ(progress.front(), 61);
    EXPECT_EQ(progress.back(), 80);
}

TEST_F(ProgrammingTest, EfsIsNotAcknowledgedByTheNandProgrammersLastReply) {
    // The NAND programmer's last block is at 0x400; its acknowledgement was the last one scanned
    // before the EFS image opens. The EFS block at 0x400 loses its own acknowledgement, so it
    // must be found missing and written again rather than pass on the old one.
    SetField(bench.Record(0).nandprgPath, bench.WriteFile("nandprg.mbn", PatternBytes(2000, 8)));
    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    ASSERT_EQ(bench.Link(0).m_ackCount, 0);  // the close purged the port and forgot the list
    const auto efs = UseEfs(12 * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = {kBlock};
    faults.blockFaultImageType = 0x09;
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"1 line download efs have 1 block no response",
                                                    "Re-write data block!", AddressLine(kBlock)}));
    EXPECT_TRUE(ImageIs(0x09, efs));
}

TEST_F(ProgrammingTest, EfsHundredLostBlocksWithoutAPause) {
    const auto efs = UseEfs(BlocksForLost(100) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(100);
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x09, efs));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{150}));
    EXPECT_EQ(Messages().size(), 2u + 100u);
}

TEST_F(ProgrammingTest, EfsSixThousandLostAreRewritten) {
    const auto efs = UseEfs(BlocksForLost(6000) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(6000);
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x09, efs));
    EXPECT_EQ(Messages().size(), 2u + 6000u);
}

TEST_F(ProgrammingTest, EfsSixThousandAndOneLostEndWithTheChineseLine) {
    UseEfs(BlocksForLost(6001) * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = DropFourOfFive(6001);
    Faults(faults);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"1 line download efs have 6001 block no response",
                                        "下载过程中有过多的未响应数据块,下载失败!"}));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), BlocksForLost(6001));
}

TEST_F(ProgrammingTest, EfsChineseInterface) {
    UseEfs(20 * kBlock);
    bench.doc->m_language = 0;
    sim::FaultPlan faults;
    faults.stopAnswering = {"StreamOpenMultiImage", 1};
    Faults(faults);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"进入Download EFS模式失败!"}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000}));
}

TEST_F(ProgrammingTest, EfsEmptyOrMissingIsRefusedBeforeOpening) {
    SetField(bench.Record(0).efsPath, (bench.dir.Path() / "absent").string());
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    UseEfs(0);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"Open EFS file failed!", "The length of EFS is wrong."}));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 0u);
}

TEST_F(ProgrammingTest, EfsStopAndStalledWindow) {
    UseEfs(19 * 3 * kBlock);  // S = 3
    bench.doc->Runtime(0).running = 0;
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(ArgsOf(*stick, "StreamWrite").size(), 3u);
    bench.doc->Runtime(0).running = 1;
    sim::FaultPlan faults;
    faults.dropAckAddresses = {0, kBlock, 2 * kBlock, 3 * kBlock, 4 * kBlock};
    Faults(faults);
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_GE(spent, 10000u);
    EXPECT_LT(spent, 10100u);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"The download thread stopped!",
                                                    "no return value, write fail!"}));
}

// ---- the programming cycle ----

class CycleTest : public ProgrammingTest {
  protected:
    void SetUp() override {
        ProgrammingTest::SetUp();
        table = PatternBytes(464, 3);
        SetField(bench.Record(0).partitionPath, bench.WriteFile("partition.mbn", table));
        dbl = UseFile(bench.Record(0).dblPath, "dbl.mbn", 35340, 4);
        fsbl = UseFile(bench.Record(0).fsblPath, "fsbl.mbn", 118, 6);
        osbl = UseFile(bench.Record(0).osblPath, "osbl.mbn", 30000, 7);
        amss = UseAmss(300 * kBlock);
        efs = UseEfs(400 * kBlock);
        nandprg = PatternBytes(9000, 8);
        SetField(bench.Record(0).nandprgPath, bench.WriteFile("nandprgcombined.mbn", nandprg));
    }
    void ExpectAllWritten() {
        EXPECT_EQ(stick->PartitionTable(), table);
        EXPECT_TRUE(ImageIs(0x0F, dbl));
        EXPECT_TRUE(ImageIs(0x11, fsbl));
        EXPECT_TRUE(ImageIs(0x10, osbl));
        EXPECT_TRUE(ImageIs(0x05, amss));
        EXPECT_TRUE(ImageIs(0x14, nandprg));
        EXPECT_TRUE(ImageIs(0x09, efs));
    }
    std::vector<int> ImageOrder() {
        std::vector<int> types;
        for (const auto& s : stick->ImageSessions()) {
            types.push_back(s.type);
        }
        return types;
    }

    std::vector<uint8_t> table, dbl, fsbl, osbl, amss, efs, nandprg;
};

TEST_F(CycleTest, OneAttemptWritesEveryImageInOrder) {
    ASSERT_TRUE(PrepareProgrammingAttempt(*bench.view, 0, 0));
    ASSERT_TRUE(RunProgrammingCycle(*bench.view, 0)) << bench.Link(0).m_lastError;
    ExpectAllWritten();
    EXPECT_EQ(ImageOrder(), (std::vector<int>{0x0F, 0x11, 0x10, 0x05, 0x14, 0x09}));
    const auto messages = Messages();
    EXPECT_EQ(messages, std::vector<std::string>(6, "Downloading..."));
    const auto progress = Progress();
    for (int value : {23, 24, 25, 26, 27, 28, 60, 61, 80}) {
        EXPECT_NE(std::find(progress.begin(), progress.end(), value), progress.end()) << value;
    }
    EXPECT_EQ(progress.front(), 23);
    EXPECT_EQ(progress.back(), 80);
    EXPECT_EQ(stick->CountOf("StreamSecurityMode"), 1u);
    // Security mode after 2000 ms; 2000 ms after the partition table and before the NAND
    // programmer. Both pipelined images are whole windows, so no drain pass waits.
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000, 2000}));
}

TEST_F(CycleTest, FailedBootImageIsTriedOnceMoreOnAReopenedPort) {
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultImageType = 0x0F;
    Faults(faults);
    ASSERT_TRUE(RunProgrammingCycle(*bench.view, 0));
    ExpectAllWritten();
    EXPECT_EQ(ImageOrder(), (std::vector<int>{0x0F, 0x0F, 0x11, 0x10, 0x05, 0x14, 0x09}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 1000, 1000, 2000}));
}

TEST_F(CycleTest, BootImageFailingTwiceEndsTheAttempt) {
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultImageType = 0x11;
    faults.blockFaultsOnce = false;
    UseFile(bench.Record(0).fsblPath, "fsbl.mbn", 3000, 6);
    Faults(faults);
    EXPECT_FALSE(RunProgrammingCycle(*bench.view, 0));
    EXPECT_EQ(ImageOrder(), (std::vector<int>{0x0F, 0x11, 0x11}));
}

TEST_F(CycleTest, RetryAttemptClosesAndTalksToTheProgrammerFirst) {
    bench.doc->m_language = 1;
    ASSERT_TRUE(PrepareProgrammingAttempt(*bench.view, 0, 1));
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"download fail, try again,First ClosePacket...",
                                        "Try to communicate with the armprg.bin again..."}));
    EXPECT_EQ(bench.waits.Waits(), (std::vector<uint32_t>{2000, 2000, 2000}));
    EXPECT_EQ(Progress(), (std::vector<int>{23}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 1u);
}

}  // namespace
}  // namespace pellan
