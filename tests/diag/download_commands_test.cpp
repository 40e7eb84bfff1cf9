// What the DMSS and streaming commands build and read beyond their table rows: a short flash
// information reply, the open and partition-table packets, the acknowledgement scan and the
// limits of the streaming writes (their wait is the transaction test's).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

Bytes Acks(uint32_t count) {
    Bytes all;
    for (uint32_t i = 0; i < count; ++i) {
        all = all + Ack(i * 0x400 + 1);
    }
    return all;
}
// 7E ack1 7E ack2 7E: the middle flag closes the first frame and opens nothing.
Bytes WithoutLeadingFlag(Bytes frame) {
    frame.erase(frame.begin());
    return frame;
}

using DownloadCommands = LinkFixture;

// A short parameter reply reads zero beyond its end: neither its CRC nor an earlier reply's fields.
TEST_F(DownloadCommands, ShortParameterReplyReadsZeroBeyondItsEnd) {
    std::array<uint8_t, 212> record;
    AnswerWith({0x08, 0x04, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 1, 34}, true);
    ASSERT_TRUE(link.DloadGetParams(record.data()));
    AnswerWith({0x08, 0x04}, true);
    record.fill(0xEE);
    ASSERT_TRUE(link.DloadGetParams(record.data()));
    Bytes expected(18, 0);
    expected[0] = 0x08;
    expected[1] = 0x04;
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 18), expected);
}

// The hello and the table's bytes are the simulator's to check; the override and the image
// header are decided here.
TEST_F(DownloadCommands, OpenAndPartitionPackets) {
    // Only the application's type carries a header.
    AnswerWith({0x1C}, true);
    const uint8_t header[4] = {1, 2, 3, 4};
    ASSERT_TRUE(link.StreamOpenMultiImage(0x05, header, 4));
    EXPECT_EQ(LastPacket(), (Bytes{0x1B, 0x05, 1, 2, 3, 4}));
    ASSERT_TRUE(link.StreamOpenMultiImage(0x09, header, 4));
    EXPECT_EQ(LastPacket(), (Bytes{0x1B, 0x09}));
    // Status 1 makes the next table carry override 1, status 0 clears it, others leave it; the
    // table is accepted whatever the status.
    for (const auto& [status, sentOverride] : {std::pair{1, 0}, {5, 1}, {0, 1}, {5, 0}}) {
        AnswerWith({0x1A, static_cast<uint8_t>(status)}, true);
        ASSERT_TRUE(link.StreamPartitionTable(header, 4));
        EXPECT_EQ(LastPacket(), (Bytes{0x19, static_cast<uint8_t>(sentOverride), 1, 2, 3, 4}));
    }
    const size_t sent = port.WriteCount();
    std::vector<uint8_t> big(1025, 0x11);
    EXPECT_FALSE(link.StreamPartitionTable(big.data(), 1025));
    EXPECT_EQ(port.WriteCount(), sent) << "a table longer than the payload is not sent";
    EXPECT_EQ(link.m_lastError.rfind("Cannot download partition, Since ", 0), 0u);
    EXPECT_TRUE(link.StreamPartitionTable(big.data(), 1024));
    EXPECT_EQ(LastPacket().size(), 1026u);
}

TEST_F(DownloadCommands, ScanOfQueuedReplies) {
    const struct {
        const char* name;
        Bytes queued;
        bool result;
        std::vector<uint32_t> acks;
        const char* error;  // m_lastError afterwards (nullptr: untouched)
    } cases[] = {
        // clang-format off
        {"ThreeFrames", Acks(3), true, {1, 0x401, 0x801}, nullptr},
        {"SharedFlagYieldsTheFirst", Ack(1) + WithoutLeadingFlag(Ack(2)), true, {1}, nullptr},
        {"ErrorCodeSix", Ack(5) + Le32Reply(0x0D, 6) + Ack(7), false, {5}, "Illegal reason"},
        {"OtherRepliesIgnored", frame::EncodeFrame(Bytes{0x16}, true) + Ack(3), true, {3}, nullptr},
        {"MissingLeadingFlagAssumed", WithoutLeadingFlag(Ack(0x800)) + Ack(0xC00), true, {0x800, 0xC00}, nullptr},
        {"UnclosedTailIgnored", Ack(9) + Bytes{0x7E, 0x08, 0x01}, true, {9}, nullptr},
        {"StuffedAddress", Ack(0x7E7D7E7D), true, {0x7E7D7E7D}, nullptr},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.m_lastError = "untouched";
        port.Inject(c.queued);
        EXPECT_EQ(link.CollectStreamAcks(), c.result);
        EXPECT_EQ(AckList(), c.acks);
        EXPECT_EQ(link.m_lastError, c.error != nullptr ? c.error : "untouched");
    }
}

TEST_F(DownloadCommands, ScanKeepsItsBuffersAndListsWithinTheirSizes) {
    // Nothing waiting: the list of the last scan stays; a new scan starts a new list.
    port.Inject(Acks(2));
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_TRUE(link.CollectStreamAcks());
    EXPECT_EQ(AckList(), (std::vector<uint32_t>{1, 0x401}));
    // More than 64 acknowledgements are handed out by the next scans in order, even when the port
    // is quiet by then.
    port.Inject(Acks(100));
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackCount, 64);
    EXPECT_EQ(link.m_ackList[63], 63u * 0x400 + 1);
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackCount, 36);
    EXPECT_EQ(link.m_ackList[0], 64u * 0x400 + 1);
    EXPECT_EQ(link.m_ackList[35], 99u * 0x400 + 1);
    EXPECT_TRUE(link.m_ackPending.empty());

    // Held acknowledgements and the last list do not outlive a purging command.
    port.Inject(Acks(70));
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackPending.size(), 6u);
    AnswerWith({0x16}, true);
    ASSERT_TRUE(link.StreamClose());
    EXPECT_TRUE(link.m_ackPending.empty());
    ASSERT_TRUE(link.CollectStreamAcks());
    EXPECT_EQ(link.m_ackCount, 0);

    // A read takes at most a thousand bytes; a write's reply read at most the 1024-byte buffer.
    const Bytes flood = Acks(130);
    port.Inject(flood);
    link.CollectStreamAcks();
    EXPECT_EQ(port.DoBytesWaiting(), flood.size() - 1000);
    Settle();
    AnswerRaw(flood);
    const uint8_t data[1] = {0x7E};
    ASSERT_TRUE(link.StreamWrite(data, 0, 1));
    EXPECT_EQ(link.m_port.BytesWaiting(), flood.size() - 1024);
    EXPECT_EQ(link.m_ackCount, 64);
}

TEST_F(DownloadCommands, WritesFitFullyStuffedOrAreRefused) {
    std::vector<uint8_t> block(1025);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    AnswerRaw(Ack(0x400));
    ASSERT_TRUE(link.StreamWriteNoWait(block.data(), 0x400, 1024));
    EXPECT_EQ(port.DoBytesWaiting(), Ack(0x400).size()) << "no reply is read";
    ASSERT_TRUE(link.StreamWrite(block.data(), 0x400, 1024));
    auto writes = port.Writes();
    EXPECT_EQ(writes[0], writes[1]);
    ASSERT_EQ(PacketOf(writes[0]).size(), 1029u);
    EXPECT_TRUE(std::equal(block.begin(), block.end() - 1, PacketOf(writes[0]).begin() + 5));

    EXPECT_FALSE(link.StreamWriteNoWait(block.data(), 0, 1025));
    EXPECT_FALSE(link.StreamWrite(block.data(), 0, 1025));
    EXPECT_FALSE(link.DloadWrite32(block.data(), 0x00800000, 1018));  // 1017 fill its packet
    EXPECT_EQ(link.m_lastError.rfind("Write a Block of Data to Memory Failed, Since ", 0), 0u);
    EXPECT_EQ(port.WriteCount(), 2u) << "an oversized block is not sent";

    std::fill(block.begin(), block.end(), 0x7E);
    ASSERT_TRUE(link.StreamWriteNoWait(block.data(), 0x7E7E7E7E, 1024));
    const Bytes body = LastPacket();
    EXPECT_EQ(body.size(), 1029u);
    EXPECT_TRUE(std::all_of(body.begin() + 1, body.end(), [](uint8_t b) { return b == 0x7E; }));

    port.SetWriteFails(true);
    EXPECT_FALSE(link.StreamWrite(block.data(), 0, 1));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
    link.m_lastError.clear();
    EXPECT_FALSE(link.StreamWriteNoWait(block.data(), 0, 1));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
}

}  // namespace
}  // namespace pellan::test
