// The streaming commands of CPhoneLink against a scripted port on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "support/fake_serial.h"

namespace pellan {
namespace {

using test::Bytes;

constexpr int kPort = 7;

// The body of a frame as the link sent it: flags, stuffing and a good CRC removed.
Bytes BodyOf(const Bytes& frame) {
    EXPECT_GE(frame.size(), 4u);
    EXPECT_EQ(frame.front(), frame::kFlag);
    EXPECT_EQ(frame.back(), frame::kFlag);
    Bytes body(frame.size());
    const size_t n = frame::Unstuff(frame.data() + 1, frame.size() - 2, body.data());
    body.resize(n);
    EXPECT_TRUE(frame::CrcCheck(body.data(), body.size()));
    body.resize(n - 2);
    return body;
}

Bytes Reply(const Bytes& body) {
    return frame::EncodeFrame(body, true);
}

Bytes Ack(uint32_t address) {
    return Reply({0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)});
}

Bytes ErrorReply(uint32_t code) {
    return Reply({0x0D, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                  static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)});
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class StreamTest : public ::testing::Test {
  protected:
    StreamTest() : serial(clock), port(serial.Port(kPort)), link(serial, clock) {
        EXPECT_TRUE(link.m_port.Open(kPort, 115200, 8, 1));
    }

    // Every write is answered by `answer`.
    void AnswerAll(const Bytes& answer) {
        port.SetResponder([answer](const Bytes&) { return answer; });
    }
    std::vector<Bytes> Bodies() const {
        std::vector<Bytes> out;
        for (const Bytes& w : port.Writes()) {
            out.push_back(BodyOf(w));
        }
        return out;
    }
    std::vector<uint32_t> AckList() const {
        return {link.m_ackList.begin(), link.m_ackList.begin() + link.m_ackCount};
    }

    platform::VirtualClock clock;
    test::FakeSerialProvider serial;
    test::FakePort& port;
    CPhoneLink link;
};

TEST_F(StreamTest, HelloIsThirtySixBytesOfMagicAndVersions) {
    AnswerAll(Reply({0x02, 'x'}));
    ASSERT_TRUE(link.StreamHello());
    const Bytes body = BodyOf(port.Writes().at(0));
    ASSERT_EQ(body.size(), 36u);
    EXPECT_EQ(body[0], 0x01);
    EXPECT_EQ(std::string(body.begin() + 1, body.begin() + 33), "QCOM fast download protocol host");
    EXPECT_EQ(body[33], 0x02);
    EXPECT_EQ(body[34], 0x02);
    EXPECT_EQ(body[35], 0x03);
}

struct SingleCase {
    const char* name;
    bool (*call)(CPhoneLink&);
    Bytes packet;
    size_t attempts;
    uint32_t timeoutMs;
    const char* sentence;  // nullptr: the transaction's own reason is left
};

class SingleTransactionTest : public StreamTest,
                              public ::testing::WithParamInterface<SingleCase> {};

TEST_P(SingleTransactionTest, PacketAttemptsTimeoutAndSentence) {
    const SingleCase& c = GetParam();
    AnswerAll(Reply({static_cast<uint8_t>(c.packet[0] + 1)}));
    ASSERT_TRUE(c.call(link));
    ASSERT_EQ(port.WriteCount(), 1u);
    EXPECT_EQ(BodyOf(port.Writes()[0]), c.packet);
    // Frames of this protocol open with a flag.
    EXPECT_EQ(port.Writes()[0][0], 0x7E);

    // Silence: every attempt is made, each waits out the time-out.
    port.SetResponder(nullptr);
    const uint32_t before = clock.TickMs();
    EXPECT_FALSE(c.call(link));
    const uint32_t spent = clock.TickMs() - before;
    EXPECT_EQ(port.WriteCount(), 1u + c.attempts);
    EXPECT_GE(spent, c.attempts * c.timeoutMs);
    EXPECT_LE(spent, c.attempts * (c.timeoutMs + 40));
    const std::string reason = "Port Cannot Receive Desired Data from the Phone";
    if (c.sentence != nullptr) {
        EXPECT_EQ(link.m_lastError, std::string(c.sentence) + reason);
    } else {
        EXPECT_EQ(link.m_lastError, reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SingleTransactionTest,
    ::testing::Values(
        SingleCase{"SecurityMode", [](CPhoneLink& l) { return l.StreamSecurityMode(); },
                   Bytes{0x17, 0x01}, 3, 2000, "Cannot go into security, Since "},
        SingleCase{"Close", [](CPhoneLink& l) { return l.StreamClose(); }, Bytes{0x15}, 3, 10000,
                   nullptr},
        SingleCase{"Nop", [](CPhoneLink& l) { return l.StreamNop(); }, Bytes{0x09, 0x11}, 1, 10000,
                   nullptr},
        SingleCase{"Reset", [](CPhoneLink& l) { return l.StreamReset(); }, Bytes{0x0B}, 3, 20000,
                   nullptr},
        SingleCase{"OpenEfs",
                   [](CPhoneLink& l) { return l.StreamOpenMultiImage(0x09, nullptr, 0); },
                   Bytes{0x1B, 0x09}, 2, 25000, "Cannot open multi-image, Since "},
        SingleCase{"Partition",
                   [](CPhoneLink& l) {
                       const uint8_t table[3] = {0x7E, 0x7D, 0x01};
                       return l.StreamPartitionTable(table, 3);
                   },
                   Bytes{0x19, 0x00, 0x7E, 0x7D, 0x01}, 1, 100000,
                   "Cannot download partition, Since "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, OpenMultiImageCarriesAHeaderOnlyForTheHeaderTypes) {
    AnswerAll(Reply({0x1C}));
    const uint8_t header[4] = {1, 2, 3, 4};
    ASSERT_TRUE(link.StreamOpenMultiImage(0x05, header, 4));
    ASSERT_TRUE(link.StreamOpenMultiImage(0x09, header, 4));
    ASSERT_TRUE(link.StreamOpenMultiImage(0x14, nullptr, 0));
    const auto bodies = Bodies();
    EXPECT_EQ(bodies[0], (Bytes{0x1B, 0x05, 1, 2, 3, 4}));
    EXPECT_EQ(bodies[1], (Bytes{0x1B, 0x09}));
    EXPECT_EQ(bodies[2], (Bytes{0x1B, 0x14}));
}

TEST_F(StreamTest, ErrorReplyOfASingleTransactionNamesItsCode) {
    AnswerAll(ErrorReply(7));
    EXPECT_FALSE(link.StreamOpenMultiImage(0x05, nullptr, 0));
    EXPECT_EQ(port.WriteCount(), 2u);
    EXPECT_EQ(link.m_lastError, "Cannot open multi-image, Since Operation failed");
    EXPECT_EQ(link.m_response[0], 0x0D);
    EXPECT_EQ(link.m_response[1], 7);

    AnswerAll(ErrorReply(6));
    EXPECT_FALSE(link.StreamSecurityMode());
    EXPECT_EQ(link.m_lastError, "Cannot go into security, Since Illegal reason");
    // Commands without a sentence leave the reason itself.
    AnswerAll(ErrorReply(16));
    EXPECT_FALSE(link.StreamClose());
    EXPECT_EQ(link.m_lastError, "Close did not succeed");
}

TEST_F(StreamTest, PartitionOverrideFollowsTheReplies) {
    const uint8_t table[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    AnswerAll(Reply({0x1A, 0x01}));
    ASSERT_TRUE(link.StreamPartitionTable(table, 4));  // accepted whatever the status
    EXPECT_EQ(link.m_partOverride, 1);
    AnswerAll(Reply({0x1A, 0x00}));
    ASSERT_TRUE(link.StreamPartitionTable(table, 4));
    EXPECT_EQ(link.m_partOverride, 0);
    AnswerAll(Reply({0x1A, 0x05}));  // other values leave it
    ASSERT_TRUE(link.StreamPartitionTable(table, 4));
    EXPECT_EQ(link.m_partOverride, 0);
    ASSERT_TRUE(link.StreamPartitionTable(table, 4));
    const auto bodies = Bodies();
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], (Bytes{0x19, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(bodies[1], (Bytes{0x19, 0x01, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(bodies[2][1], 0x00);
    EXPECT_EQ(bodies[3][1], 0x00);
    EXPECT_EQ(link.m_response[1], 0x05);
}

TEST_F(StreamTest, PartitionTableLongerThanThePayloadIsRefusedUnsent) {
    std::vector<uint8_t> table(1025, 0x11);
    AnswerAll(Reply({0x1A, 0x00}));
    EXPECT_FALSE(link.StreamPartitionTable(table.data(), 1025));
    EXPECT_EQ(port.WriteCount(), 0u);
    EXPECT_EQ(link.m_lastError.rfind("Cannot download partition, Since ", 0), 0u);
    EXPECT_TRUE(link.StreamPartitionTable(table.data(), 1024));
    EXPECT_EQ(BodyOf(port.Writes().at(0)).size(), 1026u);
}

TEST_F(StreamTest, StreamWriteSendsAddressAndDataStuffedAndKeepsQueuedInput) {
    Bytes data = {0x7E, 0x00, 0x7D, 0x5E, 0xFF};
    port.Inject(Ack(0x400));  // an acknowledgement of an earlier block, already queued
    AnswerAll(Ack(0x12345678));
    ASSERT_TRUE(link.StreamWrite(data.data(), 0x12345678, 5));
    EXPECT_EQ(BodyOf(port.Writes().at(0)),
              (Bytes{0x07, 0x78, 0x56, 0x34, 0x12, 0x7E, 0x00, 0x7D, 0x5E, 0xFF}));
    // Both the queued and the new acknowledgement were scanned.
    EXPECT_EQ(AckList(), (std::vector<uint32_t>{0x400, 0x12345678}));
}

TEST_F(StreamTest, StreamWriteSilenceIsSuccessWithTheElapsedTime) {
    const uint8_t block[4] = {1, 2, 3, 4};
    const uint32_t before = clock.TickMs();
    ASSERT_TRUE(link.StreamWrite(block, 0, 4));
    const int spent = static_cast<int>(clock.TickMs() - before);
    EXPECT_GT(spent, 3000);
    EXPECT_LE(spent, 3030);
    EXPECT_EQ(link.m_lastError, "time is " + std::to_string(spent) + "(ms)");
}

TEST_F(StreamTest, StreamWriteShortWriteFails) {
    port.SetWriteFails(true);
    const uint8_t block[1] = {9};
    EXPECT_FALSE(link.StreamWrite(block, 0, 1));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_FALSE(link.StreamWriteNoWait(block, 0, 1));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
}

struct ScanCase {
    const char* name;
    Bytes queued;
    bool result;
    std::vector<uint32_t> acks;
    const char* error;  // what m_lastError holds after CollectStreamAcks (nullptr: untouched)
};

class ScanTest : public StreamTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanTest, CollectStreamAcks) {
    const ScanCase& c = GetParam();
    link.m_lastError = "untouched";
    port.Inject(c.queued);
    EXPECT_EQ(link.CollectStreamAcks(), c.result);
    EXPECT_EQ(AckList(), c.acks);
    EXPECT_EQ(link.m_lastError, c.error != nullptr ? c.error : "untouched");
}

Bytes SharedFlag() {
    // 7E ack1 7E ack2 7E: the middle flag closes the first frame and opens nothing.
    Bytes a = Ack(1);
    Bytes b = Ack(2);
    a.insert(a.end(), b.begin() + 1, b.end());
    return a;
}

Bytes BadCrc(uint32_t address) {
    Bytes a = Ack(address);
    a[a.size() - 2] ^= 0x01;
    return a;
}

Bytes NoLeadingFlag() {
    Bytes a = Ack(0x800);
    a.erase(a.begin());
    return Concat({a, Ack(0xC00)});
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ScanTest,
    ::testing::Values(
        ScanCase{"ThreeFrames",
                 Concat({Ack(0), Ack(0x400), Ack(0x800)}),
                 true,
                 {0, 0x400, 0x800},
                 nullptr},
        ScanCase{"SharedFlagYieldsTheFirst", SharedFlag(), true, {1}, nullptr},
        ScanCase{"BadCrcStopsTheScan",
                 Concat({Ack(0), BadCrc(0x400), Ack(0x800)}),
                 false,
                 {0},
                 "the Received Data is Wrong with CRC Checksum"},
        ScanCase{
            "ErrorCodeSix", Concat({Ack(5), ErrorReply(6), Ack(7)}), false, {5}, "Illegal reason"},
        ScanCase{"ErrorCodeEighteen", ErrorReply(18), false, {}, "Out of space"},
        ScanCase{"OtherRepliesIgnored", Concat({Reply({0x16}), Ack(3)}), true, {3}, nullptr},
        ScanCase{"MissingLeadingFlagAssumed", NoLeadingFlag(), true, {0x800, 0xC00}, nullptr},
        ScanCase{
            "UnclosedTailIgnored", Concat({Ack(9), Bytes{0x7E, 0x08, 0x01}}), true, {9}, nullptr},
        ScanCase{"StuffedAddress", Ack(0x7E7D7E7D), true, {0x7E7D7E7D}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, ScanStartsANewListAndKeepsItWhenNothingArrived) {
    port.Inject(Concat({Ack(1), Ack(2)}));
    ASSERT_TRUE(link.CollectStreamAcks());
    EXPECT_EQ(link.m_ackCount, 2);
    ASSERT_TRUE(link.CollectStreamAcks());  // nothing waiting: the list stays
    EXPECT_EQ(AckList(), (std::vector<uint32_t>{1, 2}));
    port.Inject(Ack(3));
    ASSERT_TRUE(link.CollectStreamAcks());
    EXPECT_EQ(AckList(), (std::vector<uint32_t>{3}));
}

TEST_F(StreamTest, CollectTakesAtMostAThousandBytes) {
    Bytes queued;
    for (uint32_t i = 0; queued.size() < 1100; ++i) {
        queued = Concat({queued, Ack(i * 0x400 + 1)});
    }
    port.Inject(queued);
    link.CollectStreamAcks();
    EXPECT_EQ(port.DoBytesWaiting(), queued.size() - 1000);
}

TEST_F(StreamTest, AcknowledgementsBeyondTheListAreHandedOutNextInOrder) {
    Bytes queued;
    for (uint32_t i = 0; i < 100; ++i) {
        queued = Concat({queued, Ack(i * 0x400 + 1)});
    }
    port.Inject(queued);
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackCount, 64);
    for (uint32_t i = 0; i < 64; ++i) {
        EXPECT_EQ(link.m_ackList[i], i * 0x400 + 1);
    }
    port.Inject(Ack(0xFFFF01));
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackCount, 37);
    for (uint32_t i = 0; i < 36; ++i) {
        EXPECT_EQ(link.m_ackList[i], (64 + i) * 0x400 + 1);
    }
    EXPECT_EQ(link.m_ackList[36], 0xFFFF01u);
    // Held acknowledgements come out even when the port is quiet.
    EXPECT_TRUE(link.m_ackPending.empty());
}

TEST_F(StreamTest, HeldAcknowledgementsDoNotOutliveAPurgingCommand) {
    Bytes queued;
    for (uint32_t i = 0; i < 70; ++i) {
        queued = Concat({queued, Ack(i * 0x400 + 1)});
    }
    port.Inject(queued);
    ASSERT_TRUE(link.CollectStreamAcks());
    ASSERT_EQ(link.m_ackPending.size(), 6u);
    AnswerAll(Reply({0x16}));
    ASSERT_TRUE(link.StreamClose());
    EXPECT_TRUE(link.m_ackPending.empty());
    // Nor does the list of the last scan: a quiet port afterwards hands out nothing.
    EXPECT_EQ(link.m_ackCount, 0);
    ASSERT_TRUE(link.CollectStreamAcks());
    EXPECT_EQ(link.m_ackCount, 0);
}

TEST_F(StreamTest, StreamWriteReadsNoMoreThanTheReceiveBuffer) {
    Bytes flood;
    while (flood.size() < 1100) {
        flood = Concat({flood, Ack(static_cast<uint32_t>(flood.size()) + 1)});
    }
    AnswerAll(flood);
    const uint8_t block[1] = {0};
    ASSERT_TRUE(link.StreamWrite(block, 0, 1));
    EXPECT_EQ(link.m_port.BytesWaiting(), flood.size() - 1024);
    EXPECT_EQ(link.m_ackCount, 64);
}

TEST_F(StreamTest, StreamWriteErrorReplyFailsTheBlock) {
    AnswerAll(Concat({Ack(0), ErrorReply(6)}));
    const uint8_t block[2] = {1, 2};
    EXPECT_FALSE(link.StreamWrite(block, 0, 2));
    EXPECT_EQ(link.m_lastError, "Write a Block of Data to Memory Failed, Since Illegal reason");
    AnswerAll(BadCrc(0));
    EXPECT_FALSE(link.StreamWrite(block, 0, 2));
    EXPECT_EQ(link.m_lastError,
              "Write a Block of Data to Memory Failed, Since the Received Data is Wrong with CRC "
              "Checksum");
}

TEST_F(StreamTest, NoWaitFrameEqualsTheWaitingOneAndReadsNothing) {
    std::vector<uint8_t> block(1024);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    AnswerAll(Ack(0x400));
    ASSERT_TRUE(link.StreamWriteNoWait(block.data(), 0x400, 1024));
    EXPECT_EQ(port.DoBytesWaiting(), Ack(0x400).size());
    ASSERT_TRUE(link.StreamWrite(block.data(), 0x400, 1024));
    const auto writes = port.Writes();
    EXPECT_EQ(writes[0], writes[1]);
    const Bytes body = BodyOf(writes[0]);
    ASSERT_EQ(body.size(), 1029u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), body.begin() + 5));
}

TEST_F(StreamTest, FullyStuffedLargestBlockFitsTheFrame) {
    std::vector<uint8_t> block(1024, 0x7E);
    ASSERT_TRUE(link.StreamWriteNoWait(block.data(), 0x7E7E7E7E, 1024));
    const Bytes body = BodyOf(port.Writes().at(0));
    EXPECT_EQ(body.size(), 1029u);
    EXPECT_TRUE(std::all_of(body.begin() + 1, body.end(), [](uint8_t b) { return b == 0x7E; }));
}

TEST_F(StreamTest, OversizedBlockIsRefusedUnsent) {
    std::vector<uint8_t> block(1025, 1);
    EXPECT_FALSE(link.StreamWriteNoWait(block.data(), 0, 1025));
    EXPECT_FALSE(link.StreamWrite(block.data(), 0, 1025));
    EXPECT_EQ(port.WriteCount(), 0u);
}

}  // namespace
}  // namespace pellan
