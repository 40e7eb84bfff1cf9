// The vendor subsystem commands (raw bodies, replies compared as received) and the challenge
// digest that answers GetValue8.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "diag/challenge.h"
#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

std::array<uint8_t, 128> Block(uint8_t seed) {
    std::array<uint8_t, 128> b{};
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(seed ^ i);
    }
    return b;
}

struct RawCase {
    const char* name;
    std::function<bool(CPhoneLink&)> run;
    Bytes body;
    unsigned attempts;
    uint32_t timeoutMs;
    const char* pattern;
    Bytes goodReply;  // the shortest reply that passes
    size_t compared;  // leading bytes of it that must match
};

const std::array<uint8_t, 16> kBlock16{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

Bytes Concat(Bytes head, const uint8_t* tail, size_t len) {
    head.insert(head.end(), tail, tail + len);
    return head;
}

const std::vector<RawCase>& RawCases() {
    static const auto block = Block(0x5A);
    static const std::vector<RawCase> cases = {
        {"GetValue128",
         [](CPhoneLink& l) { return l.GetValue128(block.data()); },
         Concat({0x4B, 0xA3, 0x00, 0x00}, block.data(), 128),
         2,
         5100,
         "Cannot get value from the mobile, Since %s",
         {0x4B, 0xA3, 0x00, 0x00, 0x00},
         5},
        {"DownloadCheck",
         [](CPhoneLink& l) { return l.DownloadCheck(block.data(), 0xA3); },
         Concat({0x4B, 0xA3, 0x05, 0x00}, block.data(), 128),
         3,
         10000,
         "Cannot pass the download check, Since %s",
         {0x4B, 0xA3, 0x05, 0x00, 0, 0, 0, 0},
         4},
        {"SetVendorMode",
         [](CPhoneLink& l) { return l.SetVendorMode(2); },
         {0x4B, 0xAA, 0x00, 0x00, 0x02},
         1,
         10000,
         nullptr,
         {0x4B, 0xAA, 0x00, 0x00, 0x00},
         5},
        {"SetAutorun",
         [](CPhoneLink& l) { return l.SetAutorun(1); },
         {0x4B, 0xA1, 0x00, 0x00, 0x01},
         1,
         10000,
         "Cannot Set Autorun , Since %s",
         {0x4B, 0xA1, 0x00, 0x00, 0x00},
         5},
        {"GetValue8",
         [](CPhoneLink& l) {
             std::array<uint8_t, 8> out{};
             return l.GetValue8(out.data());
         },
         {0x4B, 0xA3, 0x06, 0x00},
         1,
         1000,
         "Cannot get value from the mobile, Since %s",
         {0x4B, 0xA3, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8},
         4},
        {"SetValue16",
         [](CPhoneLink& l) { return l.SetValue16(kBlock16.data()); },
         Concat({0x4B, 0xA3, 0x07, 0x00}, kBlock16.data(), 16),
         1,
         1000,
         "Cannot get value from the mobile, Since %s",
         {0x4B, 0xA3, 0x07, 0x00, 0x00},
         5},
    };
    return cases;
}

class RawCommands : public LinkFixture {};

TEST_F(RawCommands, WithoutReplyEachSendsItsBodyForItsAttemptsAndTimeOut) {
    for (const RawCase& c : RawCases()) {
        SCOPED_TRACE(c.name);
        FakeSerialProvider freshSerial(clock);
        FakePort& freshPort = freshSerial.Port(1);
        CPhoneLink fresh(freshSerial, clock);
        ASSERT_TRUE(fresh.m_port.Open(1, 115200, 8, 1));
        fresh.m_lastError = "earlier";
        const uint32_t start = Now();
        EXPECT_FALSE(c.run(fresh));
        const uint32_t elapsed = Now() - start;
        const auto writes = freshPort.Writes();
        ASSERT_EQ(writes.size(), c.attempts);
        for (const Bytes& w : writes) {
            EXPECT_EQ(PacketOf(w), c.body);
        }
        EXPECT_GE(elapsed, c.attempts * c.timeoutMs);
        EXPECT_LE(elapsed, c.attempts * (c.timeoutMs + 20));
        EXPECT_EQ(fresh.m_lastError, c.pattern ? Sentence(c.pattern, kNoReply) : kNoReply);
    }
}

TEST_F(RawCommands, EachPassesOnItsReplyAndFailsOnAChangedByteKeepingTheReason) {
    for (const RawCase& c : RawCases()) {
        SCOPED_TRACE(c.name);
        AnswerWith(c.goodReply);
        EXPECT_TRUE(c.run(link));
        for (size_t i = 0; i < c.compared; ++i) {
            Bytes bad(c.goodReply);
            bad[i] ^= 0x01;
            AnswerWith(bad);
            link.m_lastError = "kept";
            EXPECT_FALSE(c.run(link)) << "byte " << i;
            EXPECT_EQ(link.m_lastError, "kept") << "byte " << i;
        }
    }
}

TEST_F(RawCommands, RepliesShorterThanTheComparedHeaderFail) {
    for (const RawCase& c : RawCases()) {
        SCOPED_TRACE(c.name);
        for (size_t len = 1; len < c.goodReply.size(); ++len) {
            AnswerRaw(Bytes(c.goodReply.begin(), c.goodReply.begin() + len));
            EXPECT_FALSE(c.run(link)) << len;
        }
    }
}

TEST_F(RawCommands, EveryAttemptSendsTheBodyEvenWhenAnswered) {
    AnswerWith({0x4B, 0xA3, 0x05, 0x00, 0, 0, 0, 0});
    const auto block = Block(1);
    EXPECT_TRUE(link.DownloadCheck(block.data(), 0xA3));
    EXPECT_EQ(port.WriteCount(), 3u);
}

TEST_F(RawCommands, DownloadCheckStatusTexts) {
    struct {
        uint32_t status;
        bool ok;
        const char* error;
    } const cases[] = {
        {0, true, "before"},
        {1, false, "Cannot pass the download check, Since public key error"},
        {2, false, "Cannot pass the download check, Since main ver error"},
        {3, false, "Cannot pass the download check, Since compare ver error"},
        {4, false, "before"},
        {0x100, false, "before"},
        {0x02000000, false, "before"},
    };
    const auto block = Block(7);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        AnswerWith({0x4B, 0xA3, 0x05, 0x00, static_cast<uint8_t>(c.status),
                    static_cast<uint8_t>(c.status >> 8), static_cast<uint8_t>(c.status >> 16),
                    static_cast<uint8_t>(c.status >> 24)});
        link.m_lastError = "before";
        EXPECT_EQ(link.DownloadCheck(block.data(), 0xA3), c.ok);
        EXPECT_EQ(link.m_lastError, c.error);
    }
}

TEST_F(RawCommands, DownloadCheckUsesTheGivenSubsystem) {
    AnswerWith({0x4B, 0x21, 0x05, 0x00, 0, 0, 0, 0});
    const auto block = Block(7);
    EXPECT_TRUE(link.DownloadCheck(block.data(), 0x21));
    EXPECT_EQ(LastPacket()[1], 0x21);
    EXPECT_FALSE(link.DownloadCheck(block.data(), 0xA3));
}

TEST_F(RawCommands, GetValue8TakesTheEightBytesBehindTheHeader) {
    AnswerWith({0x4B, 0xA3, 0x06, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99});
    std::array<uint8_t, 8> out{};
    ASSERT_TRUE(link.GetValue8(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 8>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
}

TEST_F(RawCommands, GetValue8MismatchGivesZerosFailureLeavesTheBufferAlone) {
    std::array<uint8_t, 8> out;
    out.fill(0xEE);
    AnswerWith({0x4B, 0xA3, 0x06, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    link.m_lastError = "before";
    EXPECT_FALSE(link.GetValue8(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 8>{}));
    EXPECT_EQ(link.m_lastError, "before");

    out.fill(0xEE);
    Silence();
    EXPECT_FALSE(link.GetValue8(out.data()));
    std::array<uint8_t, 8> untouched;
    untouched.fill(0xEE);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(link.m_lastError, Sentence("Cannot get value from the mobile, Since %s", kNoReply));
}

TEST_F(RawCommands, GetValue8WithTooFewValueBytesGivesZeros) {
    AnswerRaw({0x4B, 0xA3, 0x06, 0x00, 0x11, 0x22, 0x33});
    std::array<uint8_t, 8> out;
    out.fill(0xEE);
    EXPECT_FALSE(link.GetValue8(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 8>{}));
}

// A challenge byte of 0x7E or 0x7D arrives escaped; the value is what the stick meant.
TEST_F(RawCommands, GetValue8ValueWithFrameBytesIsUnescaped) {
    const Bytes value{0x7E, 0x7D, 0x00, 0x01, 0x02, 0x03, 0xFF, 0x80};
    Bytes reply{0x4B, 0xA3, 0x06, 0x00};
    reply.insert(reply.end(), value.begin(), value.end());
    AnswerWith(reply);
    std::array<uint8_t, 8> out{};
    ASSERT_TRUE(link.GetValue8(out.data()));
    EXPECT_EQ(Bytes(out.begin(), out.end()), value);
}

TEST(ChallengeDigest, IsTheMd5OfTheEightBytes) {
    struct {
        std::array<uint8_t, 8> challenge;
        std::array<uint8_t, 16> digest;
    } const cases[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8'},
         {0x25, 0xd5, 0x5a, 0xd2, 0x83, 0xaa, 0x40, 0x0a, 0xf4, 0x64, 0xc7, 0x6d, 0x71, 0x3c, 0x07,
          0xad}},
        {{0x7e, 0x7d, 0, 1, 2, 3, 0xff, 0x80},
         {0x45, 0x26, 0x67, 0xd8, 0xe6, 0x9e, 0x81, 0x27, 0x95, 0x44, 0x0f, 0xbb, 0x19, 0xb8, 0x23,
          0x46}},
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 16> digest{};
        ASSERT_TRUE(ChallengeDigest(c.challenge.data(), digest.data()));
        EXPECT_EQ(digest, c.digest);
    }
}

}  // namespace
}  // namespace pellan::test
