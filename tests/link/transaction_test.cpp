// The framed request/response transaction of the phone link against a scripted port on a test
// clock: decoding, the polling rule, attempts, time-outs and every failure text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "support/fake_serial.h"

namespace pellan {
namespace {

using test::Bytes;

constexpr int kPort = 7;
constexpr uint8_t kSwitchToDownloader = 0x3A;  // DIAG: packet is the code alone, no reply fields
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kEsn = 0x01;
constexpr uint8_t kDloadNop = 0x06;
constexpr uint8_t kDloadAck = 0x02;

const char* const kNoReply = "Port Cannot Receive Desired Data from the Phone";
const char* const kTooLarge = "The Received Data from the Phone is Too Large";
const char* const kNoEndFlag = "the Received Data is Wrong without End Flag(0x7e)";
const char* const kBadCrc = "the Received Data is Wrong with Wrong CRC Checksum";
const char* const kShortWrite = "Port Cannot Send desired data to the Phone";

// A clock that remembers every sleep, on top of the virtual clock.
class RecordingClock final : public platform::Clock {
  public:
    void SleepMs(uint32_t ms) override {
        m_sleeps.push_back(ms);
        m_base.SleepMs(ms);
    }
    uint32_t TickMs() override { return m_base.TickMs(); }
    const std::vector<uint32_t>& Sleeps() const { return m_sleeps; }

  private:
    platform::VirtualClock m_base;
    std::vector<uint32_t> m_sleeps;
};

// A frame of exactly `total` bytes (with flags, CRC and escapes) whose body starts with `code`.
// The filler avoids 0x7E/0x7D; its last byte is varied until the CRC needs no escape either.
Bytes FrameOfLength(uint8_t code, size_t total, bool leadingFlag) {
    const size_t overhead = 2 + 1 + (leadingFlag ? 1 : 0);
    Bytes body(total - overhead, 0x55);
    body[0] = code;
    for (int last = 0; last < 256; ++last) {
        if (last == 0x7E || last == 0x7D) {
            continue;
        }
        body.back() = static_cast<uint8_t>(last);
        Bytes encoded = frame::EncodeFrame(body, leadingFlag);
        if (encoded.size() == total) {
            return encoded;
        }
    }
    ADD_FAILURE() << "no frame of " << total << " bytes";
    return {};
}

class Transaction : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(link.m_port.Open(kPort, 115200, 8, 1)); }

    void Request(LinkMode mode, uint8_t code) {
        link.ClearBuffers();
        link.m_mode = mode;
        link.m_request.code = code;
    }
    // A MODE_RAW request: the caller's body goes into m_sendBuf.
    void RawRequest(const Bytes& body) {
        link.ClearBuffers();
        link.m_mode = MODE_RAW;
        std::copy(body.begin(), body.end(), link.m_sendBuf.begin());
        link.m_sendLen = static_cast<uint32_t>(body.size());
    }
    // Every write is answered with `reply`.
    void AnswerAlways(const Bytes& reply) {
        port.SetResponder([reply](const Bytes&) { return reply; });
    }
    // The n-th write (from 0) is answered with replies[n]; later writes get silence.
    void AnswerInTurn(std::vector<Bytes> replies) {
        auto turn = std::make_shared<size_t>(0);
        port.SetResponder([replies, turn](const Bytes&) {
            return *turn < replies.size() ? replies[(*turn)++] : Bytes{};
        });
    }
    Bytes Received() const {
        return Bytes(link.m_recvBuf.begin(), link.m_recvBuf.begin() + link.m_recvLen);
    }

    RecordingClock clock;
    test::FakeSerialProvider serial{clock};
    test::FakePort& port = serial.Port(kPort);
    CPhoneLink link{serial, clock};
};

// ---- decoding ----

TEST_F(Transaction, DiagRequestGoesOutAsBodyCrcAndTrailingFlag) {
    Request(MODE_DIAG, kSwitchToDownloader);
    AnswerAlways(frame::EncodeFrame({kSwitchToDownloader}, false));
    ASSERT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    ASSERT_EQ(port.WriteCount(), 1u);
    EXPECT_EQ(port.Writes()[0], frame::EncodeFrame({kSwitchToDownloader}, false));
    EXPECT_EQ(link.m_response[0], kSwitchToDownloader);
}

TEST_F(Transaction, EscapedReplyDecodesToTheBytesSent) {
    const Bytes body = {kSwitchToDownloader, 0x7E, 0x7D, 0x00, 0x5E, 0x5D};
    Request(MODE_DIAG, kSwitchToDownloader);
    const Bytes reply = frame::EncodeFrame(body, false);
    AnswerAlways(reply);
    ASSERT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    const Bytes got = Received();
    ASSERT_EQ(got.size(), body.size() + 2);  // the CRC stays behind the body
    EXPECT_TRUE(std::equal(body.begin(), body.end(), got.begin()));
    EXPECT_EQ(link.m_rawReplyLen, reply.size());
}

TEST_F(Transaction, DownloadReplyWithOrWithoutLeadingFlag) {
    for (const bool leadingFlag : {true, false}) {
        SCOPED_TRACE(leadingFlag ? "with leading flag" : "without leading flag");
        Request(MODE_DLOAD, kDloadNop);
        const Bytes reply = frame::EncodeFrame({kDloadAck}, leadingFlag);
        AnswerAlways(reply);
        link.m_lastError.clear();
        EXPECT_TRUE(link.Transact(1, 10000)) << link.m_lastError;
        EXPECT_EQ(link.m_response[0], kDloadAck);
        EXPECT_EQ(link.m_rawReplyLen, reply.size());
        EXPECT_EQ(Received(),
                  (Bytes{kDloadAck, reply[leadingFlag ? 2 : 1], reply[leadingFlag ? 3 : 2]}));
    }
    EXPECT_EQ(port.Writes().back(), frame::EncodeFrame({kDloadNop}, true));
}

TEST_F(Transaction, BrokenRepliesFailWithTheirTexts) {
    struct Case {
        const char* what;
        LinkMode mode;
        uint8_t code;
        Bytes reply;
        const char* error;
    };
    Bytes withoutEndFlag = frame::EncodeFrame({kDloadAck}, true);
    withoutEndFlag.pop_back();  // the CRC is still right
    Bytes diagWithoutEndFlag = frame::EncodeFrame({kSwitchToDownloader, 0x11}, false);
    diagWithoutEndFlag.pop_back();
    Bytes badCrc = frame::EncodeFrame({kDloadAck, 0x01}, true);
    badCrc[2] ^= 0x01;
    Bytes diagBadCrc = frame::EncodeFrame({kSwitchToDownloader, 0x10, 0x20}, false);
    diagBadCrc[1] ^= 0x80;
    const Case cases[] = {
        {"dload, no end flag", MODE_DLOAD, kDloadNop, withoutEndFlag, kNoEndFlag},
        {"diag, no end flag", MODE_DIAG, kSwitchToDownloader, diagWithoutEndFlag, kNoEndFlag},
        {"dload, bad crc", MODE_DLOAD, kDloadNop, badCrc, kBadCrc},
        {"diag, bad crc", MODE_DIAG, kSwitchToDownloader, diagBadCrc, kBadCrc},
        {"dload, flag only", MODE_DLOAD, kDloadNop, {0x7E}, kNoEndFlag},
        {"diag, two bytes and a flag", MODE_DIAG, kSwitchToDownloader, {0x3A, 0x7E}, kBadCrc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request(c.mode, c.code);
        AnswerAlways(c.reply);
        EXPECT_FALSE(link.Transact(1, 1000));
        EXPECT_EQ(link.m_lastError, c.error);
    }
}

// ---- reply size ----

TEST_F(Transaction, ReplyOf1024BytesIsReadWhole) {
    struct Case {
        const char* what;
        LinkMode mode;
        uint8_t code;
        uint8_t replyCode;
        bool leadingFlag;
    };
    const Case cases[] = {
        {"diag", MODE_DIAG, kSwitchToDownloader, kSwitchToDownloader, false},
        {"dload with flag", MODE_DLOAD, kDloadNop, kDloadAck, true},
        // The flag put in front makes 1025 bytes: the buffer has room for it.
        {"dload without flag", MODE_DLOAD, kDloadNop, kDloadAck, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request(c.mode, c.code);
        const Bytes reply = FrameOfLength(c.replyCode, 1024, c.leadingFlag);
        AnswerAlways(reply);
        EXPECT_TRUE(link.Transact(1, 1000)) << link.m_lastError;
        EXPECT_EQ(link.m_rawReplyLen, 1024u);
        EXPECT_EQ(link.m_recvLen, 1024u - 1 - (c.leadingFlag ? 1 : 0));  // body and CRC
        EXPECT_EQ(link.m_response[0], c.replyCode);
    }
    EXPECT_EQ(port.LargestRead(), 1024u);

    RawRequest({0x4B, 0xA3, 0x06, 0x00});
    const Bytes raw = FrameOfLength(0x4B, 1024, false);
    AnswerAlways(raw);
    EXPECT_TRUE(link.Transact(1, 1000));
    EXPECT_EQ(Received(), raw);
}

TEST_F(Transaction, ReplyOf1025BytesIsTooLargeAndNotRead) {
    for (const LinkMode mode : {MODE_DIAG, MODE_DLOAD, MODE_STREAM, MODE_RAW}) {
        SCOPED_TRACE(mode);
        if (mode == MODE_RAW) {
            RawRequest({0x4B, 0xA3, 0x06, 0x00});
        } else {
            Request(mode, mode == MODE_DIAG ? kSwitchToDownloader : kDloadNop);
        }
        AnswerAlways(FrameOfLength(mode == MODE_DIAG ? kSwitchToDownloader : 0x02, 1025, false));
        EXPECT_FALSE(link.Transact(1, 1000));
        EXPECT_EQ(link.m_lastError, kTooLarge);
        EXPECT_EQ(link.m_recvLen, 0u);
        EXPECT_EQ(link.m_port.BytesWaiting(), 1025u);  // left in the queue, not read
    }
    EXPECT_EQ(port.LargestRead(), 0u);
}

// ---- DIAG error replies ----

TEST_F(Transaction, DiagErrorRepliesAndTheirTexts) {
    struct Case {
        uint8_t first;
        const char* text;
    };
    const Case cases[] = {
        {0x13, "Bad command"},
        {0x14, "The Request packet has invalid or inconsistent parameters"},
        {0x15, "The Request packet has an invalid length"},
        {0x18, "the DMSS isn't in a particular mode"},
        {0x42, "the correct SPC has not yet been entered to unlock service programming"},
        {0x47, "the correct Security Password has not yet been entered to unlock the phone"},
        {0x00, "unknow reason"},
        {0x16, "unknow reason"},
        {0x3B, "unknow reason"},
        {0xFF, "unknow reason"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.first));
        Request(MODE_DIAG, kSwitchToDownloader);
        // Error replies echo the request behind their own code.
        AnswerAlways(frame::EncodeFrame({c.first, kSwitchToDownloader}, false));
        EXPECT_FALSE(link.Transact(1, 1000));
        EXPECT_EQ(link.m_lastError, c.text);
    }
}

TEST_F(Transaction, DiagReplyStartingWithFlagIsAnErrorReply) {
    // A well-formed reply with the right code, but framed with a leading flag as the download
    // protocols do: in DIAG mode the first byte read decides, before any unstuffing.
    Request(MODE_DIAG, kSwitchToDownloader);
    AnswerAlways(frame::EncodeFrame({kSwitchToDownloader}, true));
    EXPECT_FALSE(link.Transact(1, 1000));
    EXPECT_EQ(link.m_lastError, "unknow reason");
}

TEST_F(Transaction, ErrorReplyIsRetriedWhileAttemptsRemain) {
    const Bytes bad = frame::EncodeFrame({0x13, kSwitchToDownloader}, false);
    const Bytes good = frame::EncodeFrame({kSwitchToDownloader}, false);

    Request(MODE_DIAG, kSwitchToDownloader);
    AnswerInTurn({bad, good});
    EXPECT_TRUE(link.Transact(3, 2000)) << link.m_lastError;
    EXPECT_EQ(port.WriteCount(), 2u);  // stops at the first success

    Request(MODE_DIAG, kSwitchToDownloader);
    AnswerInTurn({bad, good});
    EXPECT_FALSE(link.Transact(1, 2000));
    EXPECT_EQ(link.m_lastError, "Bad command");
    EXPECT_EQ(port.WriteCount(), 3u);

    // The text of the last failed attempt stays.
    Request(MODE_DIAG, kSwitchToDownloader);
    AnswerInTurn({bad});
    EXPECT_FALSE(link.Transact(2, 100));
    EXPECT_EQ(link.m_lastError, kNoReply);
    EXPECT_EQ(port.WriteCount(), 5u);
}

// ---- attempts and time-outs ----

TEST_F(Transaction, SilenceTakesEveryAttemptsFullTimeOut) {
    struct Case {
        LinkMode mode;
        uint8_t attempts;
        uint32_t timeoutMs;
    };
    const Case cases[] = {
        {MODE_DIAG, 3, 300}, {MODE_DLOAD, 1, 10000}, {MODE_STREAM, 2, 2000}, {MODE_RAW, 3, 1000}};
    size_t writes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        if (c.mode == MODE_RAW) {
            RawRequest({0x4B, 0xAA, 0x00, 0x00, 0x01});
        } else {
            Request(c.mode, c.mode == MODE_DIAG ? kEsn : kDloadNop);
        }
        port.SetResponder({});
        const uint32_t start = clock.TickMs();
        EXPECT_FALSE(link.Transact(c.attempts, c.timeoutMs));
        const uint32_t elapsed = clock.TickMs() - start;
        EXPECT_EQ(link.m_lastError, kNoReply);
        writes += c.attempts;
        EXPECT_EQ(port.WriteCount(), writes);
        // Each attempt polls on while no more than the time-out has passed, so it ends with the
        // first 10 ms step beyond it (the time-outs here are multiples of 10).
        EXPECT_EQ(elapsed, c.attempts * (c.timeoutMs + 10));
    }
}

TEST_F(Transaction, ReplyWithinTheTimeOutIsTaken) {
    Request(MODE_DIAG, kEsn);
    AnswerAlways(frame::EncodeFrame({kEsn, 0x78, 0x56, 0x34, 0x12}, false));
    port.SetReplyDelayMs(250);
    const uint32_t start = clock.TickMs();
    EXPECT_TRUE(link.Transact(1, 300)) << link.m_lastError;
    EXPECT_LT(clock.TickMs() - start, 300u);

    Request(MODE_DIAG, kEsn);
    port.SetReplyDelayMs(400);
    EXPECT_FALSE(link.Transact(1, 300));
    EXPECT_EQ(link.m_lastError, kNoReply);
}

TEST_F(Transaction, ZeroAttemptsBuildsButSendsNothing) {
    Request(MODE_DLOAD, kDloadNop);
    EXPECT_TRUE(link.Transact(0, 1000));
    EXPECT_EQ(port.WriteCount(), 0u);
    EXPECT_EQ(Bytes(link.m_sendBuf.begin(), link.m_sendBuf.begin() + link.m_sendLen),
              frame::EncodeFrame({kDloadNop}, true));
}

TEST_F(Transaction, ShortWriteFailsTheAttempt) {
    Request(MODE_DIAG, kEsn);
    AnswerAlways(frame::EncodeFrame({kEsn, 1, 2, 3, 4}, false));
    port.SetWriteFails(true);
    EXPECT_FALSE(link.Transact(2, 300));
    EXPECT_EQ(link.m_lastError, kShortWrite);

    // A closed port writes nothing either.
    port.SetWriteFails(false);
    link.m_port.Close();
    Request(MODE_DIAG, kEsn);
    EXPECT_FALSE(link.Transact(1, 300));
    EXPECT_EQ(link.m_lastError, kShortWrite);
}

// ---- MODE_RAW ----

TEST_F(Transaction, RawModeSendsOnEveryAttempt) {
    const Bytes body = {0x4B, 0xA3, 0x06, 0x00};
    RawRequest(body);
    const Bytes first = {0x4B, 0xA3, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x22, 0x7E};
    const Bytes second = {0x4B, 0xA3, 0x06, 0x00, 9, 9, 9, 9, 9, 9, 9, 9, 0x33, 0x44, 0x7E};
    AnswerInTurn({first, second});
    EXPECT_TRUE(link.Transact(2, 1000));
    ASSERT_EQ(port.WriteCount(), 2u);
    EXPECT_EQ(port.Writes()[0], frame::EncodeFrame(body, false));
    EXPECT_EQ(port.Writes()[1], port.Writes()[0]);
    EXPECT_EQ(Received(), second);  // the last reply, as received: not unstuffed, not checked
}

TEST_F(Transaction, RawModeFailsWhenAnyAttemptFailed) {
    RawRequest({0x4B, 0xA1, 0x00, 0x00, 0x00});
    AnswerInTurn({{}, {0x4B, 0xA1, 0x00, 0x00, 0x00}});
    EXPECT_FALSE(link.Transact(2, 500));
    EXPECT_EQ(port.WriteCount(), 2u);
    EXPECT_EQ(link.m_lastError, kNoReply);
}

// ---- the polling rule ----

TEST_F(Transaction, PollsEvery30MsOnlyForDiagNvItems) {
    struct Case {
        const char* what;
        LinkMode mode;
        uint8_t code;
        uint32_t pollMs;
    };
    const Case cases[] = {
        {"diag nv read", MODE_DIAG, 0x26, 30},
        {"diag nv write", MODE_DIAG, 0x27, 30},
        {"diag esn", MODE_DIAG, kEsn, 10},
        {"dload nop", MODE_DLOAD, kDloadNop, 10},
        {"raw body starting with 0x26", MODE_RAW, 0x26, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.mode == MODE_RAW) {
            RawRequest({c.code, 0x00});
        } else {
            Request(c.mode, c.code);
        }
        port.SetResponder({});
        const size_t before = clock.Sleeps().size();
        EXPECT_FALSE(link.Transact(1, 200));
        const std::vector<uint32_t> sleeps(clock.Sleeps().begin() + before, clock.Sleeps().end());
        ASSERT_FALSE(sleeps.empty());
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), c.pollMs), std::ssize(sleeps));
    }
}

TEST_F(Transaction, NvReplyIsTakenWhenItStopsGrowing) {
    Bytes body(133, 0x00);
    body[0] = kNvRead;
    body[1] = 0x26;  // item 550
    body[2] = 0x02;
    for (size_t i = 0; i < 128; ++i) {
        body[3 + i] = static_cast<uint8_t>(i);
    }
    const Bytes reply = frame::EncodeFrame(body, false);
    const Bytes head(reply.begin(), reply.begin() + 60);
    const Bytes tail(reply.begin() + 60, reply.end());

    // The tail comes 20 ms after the head: within one 30 ms NV poll, so the reply is whole.
    Request(MODE_DIAG, kNvRead);
    link.m_request.itemId = 550;
    AnswerAlways(head);
    port.InjectAfter(20, tail);
    EXPECT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    EXPECT_EQ(link.m_rawReplyLen, reply.size());

    // The same gap after an ESN request (10 ms polls) cuts the reply at the head.
    Request(MODE_DIAG, kEsn);
    const Bytes esn = frame::EncodeFrame({kEsn, 0x78, 0x56, 0x34, 0x12}, false);
    AnswerAlways(Bytes(esn.begin(), esn.begin() + 3));
    port.InjectAfter(20, Bytes(esn.begin() + 3, esn.end()));
    EXPECT_FALSE(link.Transact(1, 2000));
    EXPECT_EQ(link.m_rawReplyLen, 3u);
}

}  // namespace
}  // namespace pellan
