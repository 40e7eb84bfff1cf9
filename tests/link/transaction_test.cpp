// The transaction and the stream write of the phone link against a scripted port on a test clock:
// when a reply is complete, attempts, time-outs, failure texts; NV pacing against the simulator.
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "diag/link_fixture.h"
#include "sim/sim_machine.h"

namespace pellan::test {
namespace {

constexpr uint8_t kSwitch = 0x3A;  // DIAG: packet is the code alone, no reply fields
constexpr uint8_t kEsn = 0x01;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNop = 0x06;                               // DMSS
constexpr uint8_t kAck = 0x02;                               // DMSS
constexpr size_t kAll = std::numeric_limits<size_t>::max();  // every byte that arrived

const char* const kTooLarge = "The Received Data from the Phone is Too Large";
const char* const kNoEndFlag = "the Received Data is Wrong without End Flag(0x7e)";
const char* const kBadCrc = "the Received Data is Wrong with Wrong CRC Checksum";

Bytes Frame(const Bytes& body, bool leadingFlag = false) {
    return frame::EncodeFrame(body, leadingFlag);
}
class Transaction : public LinkFixture {
  protected:
    void Request(LinkMode mode, uint8_t code) {
        link.ClearBuffers();
        link.m_mode = mode;
        link.m_request.code = code;
        if (mode == MODE_RAW) {
            link.m_sendBuf = {code, 0xA3, 0x06, 0x00};
            link.m_sendLen = 4;
        }
    }
};

// When a reply is complete. A whole frame (closing flag, good CRC; in MODE_RAW any closing flag)
// ends the wait the moment it is there; anything else is judged by the count rule: input came and
// did not grow over one poll (10 ms, 30 ms for NV items). The checks then judge the reply, and
// broken and error replies fail with their texts.
TEST_F(Transaction, ReplyIsCompleteWhenItsFrameIsWhole) {
    const Bytes esn = Frame({kEsn, 0x78, 0x7E, 0x34, 0x7D});  // escapes inside
    const Bytes cut(esn.begin(), esn.begin() + 2);
    const Bytes rest(esn.begin() + 2, esn.end());
    Bytes badCrc = Frame({kAck, 0x01}, true);
    badCrc[2] ^= 0x01;
    Bytes noEndFlag = Frame({kAck}, true);
    noEndFlag.pop_back();  // the CRC is still right
    const Bytes raw = {0x4B, 0xA3, 0x06, 0x00, 0x7D, 0x5E, 0x01, 0x7E};
    Bytes nvBody(133, 0x00);
    nvBody[0] = kNvRead;
    nvBody[1] = 0x26;  // item 550
    nvBody[2] = 0x02;
    const Bytes nv = Frame(nvBody);
    const Bytes ack = Frame({kAck}, true);
    const auto error = [](uint8_t code) { return Frame({code, kSwitch}); };
    struct Case {
        const char* what;
        LinkMode mode;
        uint8_t code;
        std::vector<Piece> pieces;
        const char* error;  // nullptr: success
        uint32_t endsAt;    // after the write
        size_t read;        // m_recvLen before decoding = m_rawReplyLen, and bytes left queued
        size_t left;
    };
    // clang-format off
    const Case cases[] = {
        {"diag frame",           MODE_DIAG,  kEsn,    {{5, esn}},              nullptr, 5, kAll, 0},
        {"nv item: no 30 ms polls", MODE_DIAG, kNvRead, {{5, nv}},             nullptr, 5, kAll, 0},
        {"dload, leading flag",  MODE_DLOAD, kNop,    {{3, ack}},              nullptr, 3, kAll, 0},
        {"dload, none",          MODE_DLOAD, kNop,    {{3, Frame({kAck})}},    nullptr, 3, kAll, 0},
        {"1024 bytes",           MODE_DLOAD, kNop,    {{2, Frame(PaddedToFrameLength({kAck}, 1024))}}, nullptr, 2, kAll, 0},
        {"two pieces: waits for the second", MODE_DIAG, kEsn, {{5, cut}, {12, rest}}, nullptr, 12, kAll, 0},
        {"gap beyond a poll cuts it", MODE_DIAG, kEsn, {{5, cut}, {40, rest}}, kNoEndFlag, 20, 2, 0},
        {"next frame's start stays", MODE_DLOAD, kNop, {{2, ack + Bytes{0x7E, 0x02}}}, nullptr, 2, ack.size(), 2},
        {"garbage, then a frame", MODE_DIAG, kSwitch, {{2, {0x3A, 0x01}}, {4, Frame({kSwitch})}}, kBadCrc, 20, kAll, 0},
        {"garbage, no flag",     MODE_DLOAD, kNop,    {{2, {2, 0x55, 0x66}}},  kNoEndFlag, 20, kAll, 0},
        {"no end flag",          MODE_DLOAD, kNop,    {{2, noEndFlag}},        kNoEndFlag, 20, kAll, 0},
        {"bad crc",              MODE_DLOAD, kNop,    {{2, badCrc}},           kBadCrc, 20, kAll, 0},
        {"flag without a crc",   MODE_DIAG,  kSwitch, {{2, {kSwitch, 0x7E}}},  kBadCrc, 20, kAll, 0},
        {"error reply",          MODE_DIAG,  kSwitch, {{2, error(0x13)}},      "Bad command", 2, kAll, 0},
        {"error 0x14",           MODE_DIAG,  kSwitch, {{2, error(0x14)}},      "The Request packet has invalid or inconsistent parameters", 2, kAll, 0},
        {"error 0x15",           MODE_DIAG,  kSwitch, {{2, error(0x15)}},      "The Request packet has an invalid length", 2, kAll, 0},
        {"error 0x18",           MODE_DIAG,  kSwitch, {{2, error(0x18)}},      "the DMSS isn't in a particular mode", 2, kAll, 0},
        {"error 0x42",           MODE_DIAG,  kSwitch, {{2, error(0x42)}},      "the correct SPC has not yet been entered to unlock service programming", 2, kAll, 0},
        {"error 0x47",           MODE_DIAG,  kSwitch, {{2, error(0x47)}},      "the correct Security Password has not yet been entered to unlock the phone", 2, kAll, 0},
        {"other code",           MODE_DIAG,  kSwitch, {{2, error(0xFF)}},      "unknow reason", 2, kAll, 0},
        {"leading flag: no diag frame", MODE_DIAG, kSwitch, {{2, Frame({kSwitch}, true)}}, "unknow reason", 20, kAll, 0},
        {"raw: closing flag, no crc", MODE_RAW, 0x4B, {{2, raw + Bytes{0x4B}}}, nullptr, 2, 8, 1},
        {"too large",            MODE_DLOAD, kNop,    {{2, Frame(PaddedToFrameLength({kAck}, 1025))}}, kTooLarge, 2, 0, 1025},
        {"silence",              MODE_DLOAD, kNop,    {},                      kNoReply.c_str(), 1010, 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request(c.mode, c.code);
        link.m_request.itemId = 550;
        AnswerLater(c.pieces);
        link.m_rawReplyLen = 0;
        const uint32_t start = Now();
        const bool ok = link.Transact(1, 1000);
        EXPECT_EQ(Now() - start, c.endsAt);
        EXPECT_EQ(ok, c.error == nullptr) << link.m_lastError;
        if (c.error != nullptr) {
            EXPECT_EQ(link.m_lastError, c.error);
        }
        // What was read: the decoded reply's raw length, else (raw, error replies) what is held.
        const size_t all =
            std::accumulate(c.pieces.begin(), c.pieces.end(), size_t{0},
                            [](size_t n, const Piece& p) { return n + p.bytes.size(); });
        EXPECT_EQ(link.m_rawReplyLen != 0 ? link.m_rawReplyLen : link.m_recvLen,
                  c.read == kAll ? all : c.read);
        EXPECT_EQ(link.m_port.BytesWaiting(), c.left);
        Settle();
    }
    // The paced rule of the option: two counts a poll apart, never the closing flag.
    link.m_pacedReplies = true;
    for (const auto& [code, pollMs] : {std::pair<uint8_t, uint32_t>{kEsn, 10}, {kNvRead, 30}}) {
        Request(MODE_DIAG, code);
        AnswerLater({{2, code == kEsn ? esn : nv}});
        const uint64_t slept = clock.SleptMs();
        const uint32_t start = Now();
        EXPECT_TRUE(link.Transact(1, 1000)) << link.m_lastError;
        EXPECT_EQ(Now() - start, 2 * pollMs);
        EXPECT_EQ(clock.SleptMs() - slept, 2 * pollMs);  // two sleeps, no kernel waits
        Settle();
    }
    link.m_pacedReplies = false;
    // What a reply left queued never reaches the next transaction.
    Request(MODE_DLOAD, kNop);
    AnswerLater({{1, Frame({kAck}, true) + Bytes{0x7E, 0x03}}});
    ASSERT_TRUE(link.Transact(1, 1000) && link.m_port.BytesWaiting() == 2);
    Request(MODE_DIAG, kSwitch);
    AnswerLater({{1, Frame({kSwitch})}});
    EXPECT_TRUE(link.Transact(1, 1000)) << link.m_lastError;
    EXPECT_EQ(link.m_rawReplyLen, Frame({kSwitch}).size());
}

TEST_F(Transaction, AttemptsAndTimeOuts) {
    const Bytes bad = Frame({0x13, kSwitch});
    const Bytes good = Frame({kSwitch});
    Request(MODE_DIAG, kSwitch);
    AnswerInTurn({bad, good});
    EXPECT_TRUE(link.Transact(3, 2000)) << link.m_lastError;
    EXPECT_EQ(port.WriteCount(), 2u);  // stops at the first success
    // The text of the last failed attempt stays.
    Request(MODE_DIAG, kSwitch);
    AnswerInTurn({bad});
    EXPECT_FALSE(link.Transact(2, 100));
    EXPECT_EQ(link.m_lastError, kNoReply);
    EXPECT_EQ(port.WriteCount(), 4u);

    // Silence takes every attempt's full time-out, ending at the first poll beyond it.
    Request(MODE_DIAG, kEsn);
    Silence();
    uint32_t start = Now();
    EXPECT_FALSE(link.Transact(3, 300));
    EXPECT_EQ(Now() - start, 3u * 310);
    EXPECT_EQ(port.WriteCount(), 7u);

    // In MODE_RAW the frame goes out on every attempt.
    const Bytes first = {0x4B, 0xA3, 0x06, 0x00, 1, 2, 0x7E};
    const Bytes second = {0x4B, 0xA3, 0x06, 0x00, 3, 4, 0x7E};
    Request(MODE_RAW, 0x4B);
    AnswerInTurn({first, second});
    EXPECT_TRUE(link.Transact(2, 1000));
    EXPECT_EQ(port.Writes()[8], port.Writes()[7]);
    EXPECT_EQ(Bytes(link.m_recvBuf.begin(), link.m_recvBuf.begin() + link.m_recvLen), second);
    // A failed write fails the attempt at once.
    port.SetWriteFails(true);
    start = Now();
    EXPECT_FALSE(link.Transact(2, 300));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Now(), start);
}

// A stream write ends on its own block's acknowledgement or an error reply; acknowledgements of
// earlier blocks still queued do not end it, and are scanned with it. Silence is success, with
// the time waited as the text.
TEST_F(Transaction, StreamWriteWaitsForItsOwnReply) {
    const uint8_t block[4] = {1, 2, 3, 4};
    const std::string kFailed = "Write a Block of Data to Memory Failed, Since ";
    Bytes badCrc = Ack(0x400);
    badCrc[badCrc.size() - 2] ^= 0x01;
    struct Case {
        const char* what;
        Bytes queued;  // before the write
        std::vector<Piece> pieces;
        bool ok;
        uint32_t endsAt;
        std::vector<uint32_t> acks;
        std::string error;
    };
    // clang-format off
    const Case cases[] = {
        {"silence", {}, {}, true, 3030, {}, "time is 3030(ms)"},
        {"own ack", {}, {{2, Ack(0x400)}}, true, 2, {0x400}, "time is 2(ms)"},
        {"older ack queued", Ack(0), {{7, Ack(0x400)}}, true, 7, {0, 0x400}, "time is 7(ms)"},
        {"older ack late", {}, {{2, Ack(0)}, {25, Ack(0x400)}}, true, 25, {0, 0x400}, "time is 25(ms)"},
        {"error reply", {}, {{3, Frame({0x0D, 10, 0, 0, 0}, true)}}, false, 3, {}, kFailed + "Write-verify failed"},
        {"error after an ack", {}, {{3, Ack(0) + Le32Reply(0x0D, 6)}}, false, 3, {0}, kFailed + "Illegal reason"},
        {"bad crc ends nothing", {}, {{3, badCrc}}, false, 30, {}, kFailed + "the Received Data is Wrong with CRC Checksum"},
        {"only an older ack", {}, {{2, Ack(0)}}, true, 30, {0}, "time is 30(ms)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        port.Inject(c.queued);
        AnswerLater(c.pieces);
        const uint32_t start = Now();
        EXPECT_EQ(link.StreamWrite(block, 0x400, sizeof block), c.ok);
        EXPECT_EQ(Now() - start, c.endsAt);
        EXPECT_EQ(AckList(), c.acks);
        EXPECT_EQ(link.m_lastError, c.error);
        Settle();
    }
}

// A stick whose NV task refuses writes that come faster than it can take them ("Request is
// queued", status 1): the fast path falls back to the paced one for the rest of the job, and the
// caller's one described retry of the refused item then goes through.
TEST(NvPacing, BusyWriteFallsBackToThePacedRhythm) {
    platform::VirtualClock clock;
    sim::SimMachine machine(clock);
    sim::StickOptions options;
    options.nvWriteSpacingMs = 50;
    options.replyLatencyMs = 2;
    auto stick = machine.AddStick(options);
    sim::SimSerialProvider serial(machine);
    CPhoneLink link(serial, clock);
    ASSERT_TRUE(link.m_port.Open(options.diagPort, 115200, 8, 1));
    uint8_t data[128] = {1};
    uint16_t status = 0;
    EXPECT_TRUE(link.WriteNvItem(10, data, status) && !link.m_pacedReplies) << link.m_lastError;
    EXPECT_FALSE(link.WriteNvItem(11, data, status));  // 2 ms after the first
    EXPECT_EQ(status, 1);
    EXPECT_EQ(link.m_lastError, "Cannot Write #11 NVItem, Since Request is queued");
    EXPECT_TRUE(link.m_pacedReplies);
    for (uint16_t id : {11, 12, 13}) {
        EXPECT_TRUE(link.WriteNvItem(id, data, status)) << link.m_lastError;
    }
}

}  // namespace
}  // namespace pellan::test
