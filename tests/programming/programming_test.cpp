// Partition table, boot loaders, application and EFS images and the programming cycle, written to
// the simulated stick's programmer on the virtual clock, with its faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

#include "programming/app_image.h"
#include "programming/boot_images.h"
#include "programming/efs_image.h"
#include "programming/programming_cycle.h"
#include "programming/sim_line.h"

namespace pellan {
namespace {

using test::PatternBytes;
using Strings = std::vector<std::string>;

constexpr uint32_t kBlock = 1024;

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
};

// ---- partition table and boot loaders ----

TEST_F(ProgrammingTest, PartitionTableInOneCommandTriedThreeTimes) {
    const auto table = Use(bench.Record(0).partitionPath, "partition.mbn", 464);
    ASSERT_TRUE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->PartitionTable(), table);
    sim::FaultPlan faults;
    faults.corruptReply = {"StreamPartitionTable", 2};
    Faults(faults);
    ASSERT_TRUE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 3u);
    Silent("StreamPartitionTable");
    EXPECT_FALSE(WritePartitionTable(*bench.view, 0));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 6u);
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{2000, 2000, 2000}));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(bench.Link(0).m_lastError,
              "Cannot download partition, Since Port Cannot Receive Desired Data from the Phone");

    // A bad file is refused before anything is sent (these lines exist in Chinese only).
    bench.doc->m_language = 1;
    Absent(bench.Record(0).partitionPath);
    EXPECT_FALSE(WritePartitionTable(*bench.view, 0));
    for (const size_t size : {0, 1025}) {
        Use(bench.Record(0).partitionPath, "partition.mbn", size);
        EXPECT_FALSE(WritePartitionTable(*bench.view, 0));
    }
    EXPECT_EQ(Messages(), (Strings{"打开文件失败！", "文件长度不正确", "文件长度不正确"}));
    EXPECT_EQ(stick->CountOf("StreamPartitionTable"), 6u);
}

TEST_F(ProgrammingTest, BootImagesInBlocksBetweenOpenAndClose) {
    const struct {
        BootImage image;
        std::array<char, 256>* field;
        size_t size;
        int type;
        size_t writes;
    } cases[] = {{BootImage::DBL, &bench.Record(0).dblPath, 35340, 0x0F, 35},
                 {BootImage::FSBL, &bench.Record(0).fsblPath, 118, 0x11, 1},
                 {BootImage::OSBL, &bench.Record(0).osblPath, 8 * kBlock, 0x10, 8}};
    for (const auto& c : cases) {
        const size_t before = stick->Commands().size();
        const auto bytes = Use(*c.field, "boot.mbn", c.size);
        ASSERT_TRUE(WriteBootImage(*bench.view, 0, c.image));
        EXPECT_TRUE(ImageIs(c.type, bytes)) << c.type;
        const auto all = stick->Commands();
        Strings commands;
        for (size_t i = before; i < all.size(); ++i) {
            commands.push_back(all[i].name);
        }
        Strings expected{"StreamOpenMultiImage"};
        expected.resize(1 + c.writes, "StreamWrite");
        expected.push_back("StreamClose");
        EXPECT_EQ(commands, expected) << c.type;
    }
    EXPECT_EQ(test::ArgsOf(*stick, "StreamWrite").back(), 7 * kBlock);
    EXPECT_TRUE(Waits().empty());
}

TEST_F(ProgrammingTest, BootImageFailures) {
    Absent(bench.Record(0).dblPath);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    Use(bench.Record(0).dblPath, "dbl.mbn", 0);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 0u);

    Use(bench.Record(0).osblPath, "osbl.mbn", 5000);
    sim::FaultPlan faults;
    faults.errorBlocks[0x800] = 7;
    Faults(faults);
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::OSBL));
    EXPECT_EQ(test::ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400, 0x800}));
    EXPECT_EQ(stick->CountOf("StreamClose"), 0u);

    bench.doc->m_language = 0;  // English only, whatever the language
    Use(bench.Record(0).dblPath, "dbl.mbn", 3000);
    Silent("StreamOpenMultiImage");
    bench.waits.ClearWaits();
    EXPECT_FALSE(WriteBootImage(*bench.view, 0, BootImage::DBL));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 1u + 4u);  // two commands of two attempts
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{2000}));
    EXPECT_EQ(Messages(), (Strings{"open file fail!", "The length of file is not correct",
                                   "Write a Block of Data to Memory Failed, Since Operation failed",
                                   "Download DBL file failed!"}));
}

// ---- acknowledgement matching ----

// Lost blocks beyond the list are counted, not stored.
TEST(MatchStreamAcks, LostBlocksBeyondTheListAreCountedNotStored) {
    test::SimBench bench;
    CPhoneLink& link = bench.Link(0);
    OutstandingList outstanding{100, 101, 102, 103, 104};
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

// ---- application and EFS images ----

bool Write(CPellanView& view, bool efs) {
    return efs ? WriteEfsImage(view, 0) : WriteApplicationImage(view, 0);
}

TEST_F(ProgrammingTest, ApplicationEveryBlockAcknowledgedAndItsProgress) {
    const auto amss = UseAmss(200 * kBlock + 77);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(Writes(), 201u);  // no rewrite
    const auto progress = Progress();
    ASSERT_EQ(progress.size(), 1u + 201 / 6 + 1);  // S = (L / 1024) / 32 = 6: a step every six
    EXPECT_EQ(progress.front(), 28);
    EXPECT_EQ(progress.back(), 60);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{150}));  // one drain pass

    UseAmss(10 * kBlock + 1);  // S = 0: a step at every block; an exact multiple sends no tail
    bench.sink.Clear();
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Progress(), (std::vector<int>{28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 60}));
    const auto exact = UseAmss(12 * kBlock);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Writes(), 201u + 11 + 12);
    EXPECT_TRUE(ImageIs(0x05, exact));
}

TEST_F(ProgrammingTest, ApplicationLostUndrainedAndCorruptAcknowledgementsAreRewritten) {
    // Block 7's acknowledgement never comes (found missing when block 8's arrives); the last two
    // are never acknowledged and stay outstanding through the drain.
    const auto amss = UseAmss(40 * kBlock);
    DropAcks({7 * kBlock, 38 * kBlock, 39 * kBlock});
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    auto writes = test::ArgsOf(*stick, "StreamWrite");
    ASSERT_EQ(writes.size(), 43u);
    EXPECT_EQ(std::vector<int64_t>(writes.end() - 3, writes.end()),
              (std::vector<int64_t>{7 * kBlock, 38 * kBlock, 39 * kBlock}));
    EXPECT_TRUE(ImageIs(0x05, amss));
    EXPECT_EQ(stick->LatestImage(0x05)->image.Overlaps().size(), 3u);

    // An acknowledgement read alone (the drain of a last, single block) fails only its own scan.
    const auto small = UseAmss(6 * kBlock);
    sim::FaultPlan faults;
    faults.corruptAckAddresses = {5 * kBlock};
    Faults(faults);
    ASSERT_TRUE(WriteApplicationImage(*bench.view, 0));
    EXPECT_TRUE(ImageIs(0x05, small));
    writes = test::ArgsOf(*stick, "StreamWrite");
    EXPECT_EQ(std::vector<int64_t>(writes.begin() + 43, writes.end()),
              (std::vector<int64_t>{0, 0x400, 0x800, 0xC00, 0x1000, 0x1400, 0x1400}));
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{150, 150, 150, 150, 150, 150}));

    // The window's five acknowledgements arrive in one read; the corrupt first one ends the scan,
    // the four behind it are never recorded, and with nothing more to come the window stalls.
    UseAmss(30 * kBlock);
    faults.corruptAckAddresses = {10 * kBlock};
    Faults(faults);
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Writes(), 43u + 7 + 15);
    EXPECT_EQ(Messages(), (Strings{"no return value, write fail!"}));
}

struct LostCase {
    bool efs;
    uint32_t lost;
    bool ok;
    bool pause;  // the application pauses 2000 ms between 65 and 1023 lost blocks
};

class LostBlocksTest : public ProgrammingTest, public ::testing::WithParamInterface<LostCase> {};

TEST_P(LostBlocksTest, AreRewrittenUpTo6000) {
    const LostCase& c = GetParam();
    const size_t blocks = BlocksForLost(c.lost);
    const auto bytes = c.efs ? UseEfs(blocks * kBlock) : UseAmss(blocks * kBlock);
    DropAcks(DropFourOfFive(c.lost));
    ASSERT_EQ(Write(*bench.view, c.efs), c.ok);
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
    // Only drain passes of 150 ms besides the pause.
    const auto waits = Waits();
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 2000u), c.pause ? 1 : 0);
    EXPECT_EQ(std::count(waits.begin(), waits.end(), 150u) + (c.pause ? 1 : 0),
              static_cast<std::ptrdiff_t>(waits.size()));
    const auto messages = Messages();
    if (c.efs) {
        ASSERT_EQ(messages.size(), 2u + c.lost);
        EXPECT_EQ(messages[0], count);
        EXPECT_EQ(messages[1], "Re-write data block!");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, LostBlocksTest,
    ::testing::Values(LostCase{false, 64, true, false}, LostCase{false, 65, true, true},
                      LostCase{false, 1023, true, true}, LostCase{false, 1024, true, false},
                      LostCase{false, 6000, true, false}, LostCase{false, 6001, false, false},
                      LostCase{true, 100, true, false}, LostCase{true, 6000, true, false},
                      LostCase{true, 6001, false, false}));

TEST_F(ProgrammingTest, EfsLostBlocksAreListedAndRewrittenInOrder) {
    const auto efs = UseEfs(50 * kBlock + 300);
    DropAcks({12 * kBlock, 3 * kBlock, 30 * kBlock});
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(), (Strings{"1 line download efs have 3 block no response",
                                   "Re-write data block!", AddressLine(3 * kBlock),
                                   AddressLine(12 * kBlock), AddressLine(30 * kBlock)}));
    EXPECT_TRUE(ImageIs(0x09, efs));
    EXPECT_EQ(Progress().front(), 61);
    EXPECT_EQ(Progress().back(), 80);
}

TEST_F(ProgrammingTest, EfsIsNotAcknowledgedByTheNandProgrammersLastReply) {
    // The NAND programmer's last block is at 0x400; its acknowledgement was the last one scanned
    // before the EFS image opens. The EFS block at 0x400 loses its own acknowledgement, so it
    // must be found missing and written again rather than pass on the old one.
    Use(bench.Record(0).nandprgPath, "nandprg.mbn", 2000);
    ASSERT_TRUE(UploadNandProgrammer(*bench.view, 0));
    const auto efs = UseEfs(12 * kBlock);
    sim::FaultPlan faults;
    faults.dropAckAddresses = {kBlock};
    faults.blockFaultImageType = 0x09;
    Faults(faults);
    ASSERT_TRUE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Messages(), (Strings{"1 line download efs have 1 block no response",
                                   "Re-write data block!", AddressLine(kBlock)}));
    EXPECT_TRUE(ImageIs(0x09, efs));
}

TEST_F(ProgrammingTest, RefusedFilesAndOpensAndAStop) {
    Absent(bench.Record(0).efsPath);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    UseEfs(0);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(stick->CountOf("StreamOpenMultiImage"), 0u);
    // A stop is noticed at a progress step: the application's after its second block (S = 2),
    // the EFS image's after its third (S = 3).
    bench.doc->Runtime(0).running = 0;
    UseAmss(64 * kBlock + 10);
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(test::ArgsOf(*stick, "StreamWrite"), (std::vector<int64_t>{0, 0x400}));
    UseEfs(19 * 3 * kBlock);
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Writes(), 2u + 3u);
    bench.doc->Runtime(0).running = 1;

    // Opens that go unanswered: three for the application, 1500 ms apart, three for the EFS
    // image, 2000 ms apart (its line in Chinese).
    UseAmss(3 * kBlock);
    UseEfs(20 * kBlock);
    Silent("StreamOpenMultiImage");
    bench.waits.ClearWaits();
    EXPECT_FALSE(WriteApplicationImage(*bench.view, 0));
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{1500, 1500}));
    bench.doc->m_language = 0;
    bench.waits.ClearWaits();
    EXPECT_FALSE(WriteEfsImage(*bench.view, 0));
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(Messages(),
              (Strings{"Open EFS file failed!", "The length of EFS is wrong.",
                       "downloading is stopped by manual!", "The download thread stopped!",
                       "OpenMulti mode fail!!", "进入Download EFS模式失败!"}));
}

// A full, unacknowledged window fails at its time limit; when the port goes away meanwhile
// (closed here; a stick that has left the bus answers every wait at once alike) it must still
// wait rather than spin: on the virtual clock a spin never gets there.
class StalledWindowTest : public ProgrammingTest,
                          public ::testing::WithParamInterface<std::pair<bool, bool>> {};

TEST_P(StalledWindowTest, FailsAtItsLimit) {
    const auto [efs, portLost] = GetParam();
    if (portLost) {
        const int fifthStep = efs ? 66 : 33;  // a small image steps at every block
        bench.sink.onProgress = [this, fifthStep](int line, int position) {
            if (line == 0 && position == fifthStep) {
                bench.doc->Link(0).m_port.Close();
            }
        };
    }
    efs ? UseEfs(12 * kBlock) : UseAmss(12 * kBlock);
    DropAcks({0, kBlock, 2 * kBlock, 3 * kBlock, 4 * kBlock});
    const uint32_t limitMs = efs ? 10000 : 20000;
    const uint32_t before = bench.clock.TickMs();
    EXPECT_FALSE(Write(*bench.view, efs));
    const uint32_t spent = bench.clock.TickMs() - before;
    EXPECT_GE(spent, limitMs);
    EXPECT_LT(spent, limitMs + 100);
    EXPECT_EQ(Writes(), 5u);
    EXPECT_EQ(Messages(), (Strings{"no return value, write fail!"}));
    bench.sink.onProgress = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Images, StalledWindowTest,
                         ::testing::Values(std::pair{false, false}, std::pair{false, true},
                                           std::pair{true, false}, std::pair{true, true}));

// ---- the programming cycle ----

class CycleTest : public ProgrammingTest {
  protected:
    void SetUp() override {
        ProgrammingTest::SetUp();
        LineRecord& r = bench.Record(0);
        table = Use(r.partitionPath, "partition.mbn", 464);
        images = {{0x0F, Use(r.dblPath, "dbl.mbn", 35340)},
                  {0x11, Use(r.fsblPath, "fsbl.mbn", 118)},
                  {0x10, Use(r.osblPath, "osbl.mbn", 30000)},
                  {0x05, UseAmss(300 * kBlock)},
                  {0x14, Use(r.nandprgPath, "nandprgcombined.mbn", 9000)},
                  {0x09, UseEfs(400 * kBlock)}};
    }
    void ExpectAllWritten() {
        EXPECT_EQ(stick->PartitionTable(), table);
        for (const auto& [type, bytes] : images) {
            EXPECT_TRUE(ImageIs(type, bytes)) << type;
        }
    }
    std::vector<int> ImageOrder() {
        std::vector<int> types;
        for (const auto& s : stick->ImageSessions()) {
            types.push_back(s.type);
        }
        return types;
    }

    std::vector<uint8_t> table;
    std::vector<std::pair<int, std::vector<uint8_t>>> images;
};

TEST_F(CycleTest, OneAttemptWritesEveryImageInOrder) {
    ASSERT_TRUE(PrepareProgrammingAttempt(*bench.view, 0, 0));
    ASSERT_TRUE(RunProgrammingCycle(*bench.view, 0)) << bench.Link(0).m_lastError;
    ExpectAllWritten();
    EXPECT_EQ(ImageOrder(), (std::vector<int>{0x0F, 0x11, 0x10, 0x05, 0x14, 0x09}));
    EXPECT_EQ(Messages(), Strings(6, "Downloading..."));
    EXPECT_EQ(Progress().front(), 23);
    EXPECT_EQ(Progress().back(), 80);
    EXPECT_EQ(stick->CountOf("StreamSecurityMode"), 1u);
    // Security mode after 2000 ms; 2000 ms after the partition table and before the NAND
    // programmer. Both pipelined images are whole windows, so no drain pass waits.
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{2000, 2000, 2000}));
}

TEST_F(CycleTest, FailedBootImageIsTriedOnceMoreOnAReopenedPortAndTwiceEndsTheAttempt) {
    sim::FaultPlan faults;
    faults.errorBlocks[0x400] = 10;
    faults.blockFaultImageType = 0x0F;
    Faults(faults);
    ASSERT_TRUE(RunProgrammingCycle(*bench.view, 0));
    ExpectAllWritten();
    EXPECT_EQ(ImageOrder(), (std::vector<int>{0x0F, 0x0F, 0x11, 0x10, 0x05, 0x14, 0x09}));
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{2000, 1000, 1000, 2000}));

    Use(bench.Record(0).fsblPath, "fsbl.mbn", 3000);
    faults.blockFaultImageType = 0x11;
    faults.blockFaultsOnce = false;
    Faults(faults);
    EXPECT_FALSE(RunProgrammingCycle(*bench.view, 0));
    const auto order = ImageOrder();
    EXPECT_EQ(std::vector<int>(order.begin() + 7, order.end()),
              (std::vector<int>{0x0F, 0x11, 0x11}));
}

}  // namespace
}  // namespace pellan
