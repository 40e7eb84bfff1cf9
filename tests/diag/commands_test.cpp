// Every command of the diagnostic, vendor, DMSS and streaming sets against a scripted stick: its
// packet, attempts, time-outs and failure sentence, then what the diagnostic and vendor commands
// hand out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "diag/challenge.h"
#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

enum Protocol { kDiag, kRaw, kDmss, kStream };

struct CommandCase {
    const char* name;
    Protocol protocol;
    std::function<bool(CPhoneLink&)> run;
    Bytes packet;
    unsigned attempts;
    uint32_t timeoutMs;
    const char* pattern;  // nullptr: the transaction's own reason stays
    Bytes rawReply = {};  // vendor commands: the shortest reply that passes...
    size_t compared = 0;  // ...and how many of its leading bytes must match
};

std::array<uint8_t, 400> g_out;
uint32_t g_esn;
const std::array<uint8_t, 16> kBlock16{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kData4[4] = {0xDE, 0xAD, 0x7E, 0x7D};
const uint8_t kTable3[3] = {0x7E, 0x7D, 0x01};

std::array<uint8_t, 128> Pattern(uint8_t seed) {
    std::array<uint8_t, 128> d{};
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(seed + i * 7);  // includes 0x7D and 0x7E for some seeds
    }
    return d;
}
const std::array<uint8_t, 128> kBlock128 = Pattern(0x5A);

Bytes Concat(Bytes head, const uint8_t* tail, size_t len) {
    head.insert(head.end(), tail, tail + len);
    return head;
}

#define RUN(call) [](CPhoneLink& l) { return l.call; }
// clang-format off
const std::vector<CommandCase> kCommands = {
    {"ResetPhone", kDiag, RUN(ResetPhone()), {0x29, 0x02, 0x00}, 1, 2000, "Cannot Reset the Phone, Since %s"},
    {"GoOffline", kDiag, RUN(GoOffline()), {0x29, 0x01, 0x00}, 1, 2000, "Cannot Put the Phone Offline, Since %s"},
    {"ReadEsn", kDiag, RUN(ReadEsn(g_esn)), {0x01}, 1, 300, "Cannot Get the ESN Number of the Phone, Since %s"},
    {"ReadSwVersion", kDiag, RUN(ReadSwVersion(g_out.data())), {0x38}, 1, 300, "Cannot get software version from the mobile, Since %s"},
    {"ReadVersionSet", kDiag, RUN(ReadVersionSet(g_out.data())), {0x39}, 1, 300, "Cannot get 9 software version from the mobile, Since %s"},
    {"SwitchToDownloader", kDiag, RUN(SwitchToDownloader()), {0x3A}, 3, 2000, "Cannot Switch to Downloader, Since %s"},
    {"SendSpc", kDiag, RUN(SendSpc()), {0x41, '0', '0', '0', '0', '0', '0'}, 1, 2000, nullptr},
    {"FeatureRequest5C", kDiag, RUN(FeatureRequest5C()), {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00}, 1, 2000, nullptr},
    {"QueryModemStatus", kDiag, RUN(QueryModemStatus()), {0x4B, 0x04, 0x0E, 0x00}, 1, 2000, nullptr},
    {"GetValue128", kRaw, RUN(GetValue128(kBlock128.data())), Concat({0x4B, 0xA3, 0x00, 0x00}, kBlock128.data(), 128), 2, 5100,
     "Cannot get value from the mobile, Since %s", {0x4B, 0xA3, 0x00, 0x00, 0x00}, 5},
    {"DownloadCheck", kRaw, RUN(DownloadCheck(kBlock128.data(), 0xA3)), Concat({0x4B, 0xA3, 0x05, 0x00}, kBlock128.data(), 128), 3, 10000,
     "Cannot pass the download check, Since %s", {0x4B, 0xA3, 0x05, 0x00, 0, 0, 0, 0}, 4},
    {"SetVendorMode", kRaw, RUN(SetVendorMode(2)), {0x4B, 0xAA, 0x00, 0x00, 0x02}, 1, 10000, nullptr, {0x4B, 0xAA, 0x00, 0x00, 0x00}, 5},
    {"SetAutorun", kRaw, RUN(SetAutorun(1)), {0x4B, 0xA1, 0x00, 0x00, 0x01}, 1, 10000, "Cannot Set Autorun , Since %s",
     {0x4B, 0xA1, 0x00, 0x00, 0x00}, 5},
    {"GetValue8", kRaw, RUN(GetValue8(g_out.data())), {0x4B, 0xA3, 0x06, 0x00}, 1, 1000, "Cannot get value from the mobile, Since %s",
     {0x4B, 0xA3, 0x06, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, 4},
    {"SetValue16", kRaw, RUN(SetValue16(kBlock16.data())), Concat({0x4B, 0xA3, 0x07, 0x00}, kBlock16.data(), 16), 1, 1000,
     "Cannot get value from the mobile, Since %s", {0x4B, 0xA3, 0x07, 0x00, 0x00}, 5},
    {"DloadWrite32", kDmss, RUN(DloadWrite32(kData4, 0x00812345, 4)), {0x0F, 0x00, 0x81, 0x23, 0x45, 0x00, 0x04, 0xDE, 0xAD, 0x7E, 0x7D}, 3, 5000,
     "Write a Block of Data to Memory Failed, Since %s"},
    {"DloadGo", kDmss, RUN(DloadGo(0x0080, 0x1234)), {0x05, 0x00, 0x80, 0x12, 0x34}, 1, 10000, "Cannot begin execution at an address, Since %s"},
    {"DloadNop", kDmss, RUN(DloadNop()), {0x06}, 1, 10000, "Cannot Do No Operation, Since %s"},
    {"DloadReset", kDmss, RUN(DloadReset()), {0x0A}, 3, 2000, "Cannot Reset the Phone, Since %s"},
    {"DloadGetParams", kDmss, RUN(DloadGetParams(g_out.data())), {0x07}, 3, 2000, "Cannot Get flash Information, Since %s"},
    {"StreamSecurityMode", kStream, RUN(StreamSecurityMode()), {0x17, 0x01}, 3, 2000, "Cannot go into security, Since %s"},
    {"StreamClose", kStream, RUN(StreamClose()), {0x15}, 3, 10000, nullptr},
    {"StreamReset", kStream, RUN(StreamReset()), {0x0B}, 3, 20000, nullptr},
    {"StreamOpenEfs", kStream, RUN(StreamOpenMultiImage(0x09, nullptr, 0)), {0x1B, 0x09}, 2, 25000, "Cannot open multi-image, Since %s"},
    {"StreamPartitionTable", kStream, RUN(StreamPartitionTable(kTable3, 3)), {0x19, 0x00, 0x7E, 0x7D, 0x01}, 1, 100000,
     "Cannot download partition, Since %s"},
};
// clang-format on
#undef RUN

class Commands : public LinkFixture {
  protected:
    // The reply that passes, framed as the stick sends it.
    static Bytes GoodReply(const CommandCase& c) {
        switch (c.protocol) {
            case kDiag: {
                Bytes reply(c.packet);
                reply.resize(16, 0);  // room for every field a parser looks at, all zero
                return frame::EncodeFrame(reply, false);
            }
            case kRaw:
                return frame::EncodeFrame(c.rawReply, false);
            case kDmss:
                return frame::EncodeFrame(Bytes{0x02}, true);
            case kStream:
                return frame::EncodeFrame(Bytes{static_cast<uint8_t>(c.packet[0] + 1)}, true);
        }
        return {};
    }
};

// Silence, the reply that passes and an error reply; vendor replies are compared as received, so
// a changed or missing byte of the compared header fails without a reason of its own.
TEST_F(Commands, EachSendsItsPacketForItsAttemptsAndPassesOnlyOnItsReply) {
    for (const CommandCase& c : kCommands) {
        SCOPED_TRACE(c.name);
        Silence();
        size_t before = port.WriteCount();
        link.m_lastError = "earlier";
        const uint32_t start = Now();
        EXPECT_FALSE(c.run(link));
        const uint32_t elapsed = Now() - start;
        const auto writes = WritesSince(before);
        ASSERT_EQ(writes.size(), c.attempts);
        for (const Bytes& w : writes) {
            // DMSS and streaming frames open with a flag, diagnostic ones do not.
            EXPECT_EQ(w.front() == frame::kFlag, c.protocol == kDmss || c.protocol == kStream);
            EXPECT_EQ(PacketOf(w), c.packet);
        }
        EXPECT_GE(elapsed, c.attempts * c.timeoutMs);
        EXPECT_LE(elapsed, c.attempts * (c.timeoutMs + 40));
        EXPECT_EQ(link.m_lastError, Sentence(c.pattern, kNoReply));

        AnswerRaw(GoodReply(c));
        before = port.WriteCount();
        EXPECT_TRUE(c.run(link));
        // A vendor command is sent on every attempt, answered or not; the others stop at a reply.
        EXPECT_EQ(port.WriteCount() - before, c.protocol == kRaw ? c.attempts : 1u);

        for (size_t i = 0; i < c.compared; ++i) {
            Bytes bad(c.rawReply);
            bad[i] ^= 0x01;
            AnswerWith(bad);
            link.m_lastError = "kept";
            EXPECT_FALSE(c.run(link)) << "byte " << i;
            EXPECT_EQ(link.m_lastError, "kept") << "byte " << i;
        }
        for (size_t len = 1; len < c.rawReply.size(); ++len) {
            AnswerRaw(Bytes(c.rawReply.begin(), c.rawReply.begin() + len));
            EXPECT_FALSE(c.run(link)) << len;
        }

        const struct {
            Bytes body;
            const char* reason;
        } errors[] = {{{0x13, c.packet[0]}, "Bad command"},
                      {{}, nullptr},
                      {{0x03, 0x00, 0x02}, "destination address is invalid"},
                      {{0x0D, 7, 0, 0, 0}, "Operation failed"}};
        const auto& error = errors[c.protocol];
        if (error.reason != nullptr) {
            AnswerWith(error.body, c.protocol != kDiag);
            before = port.WriteCount();
            EXPECT_FALSE(c.run(link));
            EXPECT_EQ(port.WriteCount() - before, c.attempts);
            EXPECT_EQ(link.m_lastError, Sentence(c.pattern, error.reason));
        }
    }
}

// One reply to one command, in order on one link: the result, the bytes handed out and the text.
struct ReplyCase {
    const char* name;
    Protocol framing;  // kRaw: the bytes exactly as they arrive, unframed
    std::function<bool(CPhoneLink&, uint8_t*)> run;
    Bytes reply;
    bool ok;
    Bytes out;          // the leading bytes handed out...
    size_t zeroTo;      // ...and zeros behind them up to here
    const char* error;  // m_lastError afterwards ("before" if left alone)
};

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}
Bytes Status(uint32_t s) {
    return Bytes{0x4B, 0xA3, 0x05, 0x00} +
           Bytes{static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8),
                 static_cast<uint8_t>(s >> 16), static_cast<uint8_t>(s >> 24)};
}

#define OUT(call) [](CPhoneLink& l, [[maybe_unused]] uint8_t* o) { return l.call; }
const auto kEsn = [](CPhoneLink& l, uint8_t* o) {
    uint32_t esn = 0;
    const bool ok = l.ReadEsn(esn);
    std::memcpy(o, &esn, 4);
    return ok;
};
// clang-format off
const ReplyCase kReplies[] = {
    {"EsnIsLittleEndian", kDiag, kEsn, {0x01, 0x78, 0x56, 0x34, 0x12}, true, {0x78, 0x56, 0x34, 0x12}, 4, "before"},
    {"ModemStatusZero", kDiag, OUT(QueryModemStatus()), {0x4B, 0x04, 0x0E, 0x00, 0x00}, true, {}, 0, "before"},
    {"ModemStatusOne", kDiag, OUT(QueryModemStatus()), {0x4B, 0x04, 0x0E, 0x00, 0x01}, false, {}, 0, "before"},
    {"SwVersionFirst21", kDiag, OUT(ReadSwVersion(o)), Bytes{0x38} + ToBytes(Repeat('v', 46)), true, ToBytes(Repeat('v', 21)), 45, "before"},
    {"SwVersionShortNotItsCrc", kDiag, OUT(ReadSwVersion(o)), {0x38, 'V', '1'}, true, ToBytes("V1"), 45, "before"},
    {"BuildIdFromByte12EndsInside", kDiag, OUT(ReadExtBuildId(o)), Bytes(12, 0x7C) + ToBytes(Repeat('x', 300)), true, ToBytes(Repeat('x', 255)), 256, "before"},
    {"BuildIdShortAfterLong", kDiag, OUT(ReadExtBuildId(o)), Bytes(12, 0x7C) + ToBytes("B1"), true, ToBytes("B1"), 256, "before"},
    {"DownloadCheckPublicKey", kDiag, OUT(DownloadCheck(kBlock128.data(), 0xA3)), Status(1), false, {}, 0, "Cannot pass the download check, Since public key error"},
    {"DownloadCheckMainVersion", kDiag, OUT(DownloadCheck(kBlock128.data(), 0xA3)), Status(2), false, {}, 0, "Cannot pass the download check, Since main ver error"},
    {"DownloadCheckCompareVersion", kDiag, OUT(DownloadCheck(kBlock128.data(), 0xA3)), Status(3), false, {}, 0, "Cannot pass the download check, Since compare ver error"},
    {"DownloadCheck256", kDiag, OUT(DownloadCheck(kBlock128.data(), 0xA3)), Status(0x100), false, {}, 0, "before"},
    {"DownloadCheckOtherSubsystem", kDiag, OUT(DownloadCheck(kBlock128.data(), 0x21)), {0x4B, 0x21, 0x05, 0x00, 0, 0, 0, 0}, true, {}, 0, "before"},
    {"DownloadCheckWrongSubsystem", kDiag, OUT(DownloadCheck(kBlock128.data(), 0xA3)), {0x4B, 0x21, 0x05, 0x00, 0, 0, 0, 0}, false, {}, 0, "before"},
    // A challenge byte of 0x7E or 0x7D arrives escaped; the value is what the stick meant.
    {"ChallengeUnescaped", kDiag, OUT(GetValue8(o)), {0x4B, 0xA3, 0x06, 0x00, 0x7E, 0x7D, 0, 1, 2, 3, 0xFF, 0x80, 0x99}, true, {0x7E, 0x7D, 0, 1, 2, 3, 0xFF, 0x80}, 8, "before"},
    {"ChallengeHeaderMismatch", kDiag, OUT(GetValue8(o)), {0x4B, 0xA3, 0x06, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}, false, {}, 8, "before"},
    {"ChallengeTooShort", kRaw, OUT(GetValue8(o)), {0x4B, 0xA3, 0x06, 0x00, 0x11, 0x22, 0x33}, false, {}, 8, "before"},
    {"DloadAckWithoutLeadingFlag", kDiag, OUT(DloadNop()), {0x02}, true, {}, 0, "before"},
    {"DloadOtherCodeKeepsTheReason", kDmss, OUT(DloadNop()), {0x04}, false, {}, 0, "Cannot Do No Operation, Since before"},
    {"DloadNakTooShortForAReason", kDmss, OUT(DloadReset()), {0x03, 0x02}, false, {}, 0, "Cannot Reset the Phone, Since "},
    {"DloadNakIsBigEndian", kDmss, OUT(DloadReset()), {0x03, 0x01, 0x00}, false, {}, 0, "Cannot Reset the Phone, Since "},
    {"StreamErrorSixteen", kStream, OUT(StreamClose()), {0x0D, 16, 0, 0, 0}, false, {}, 0, "Close did not succeed"},
};
// clang-format on
#undef OUT

TEST_F(Commands, RepliesHandOutTheirFieldsWithinTheirLengths) {
    std::array<uint8_t, 400> out;
    for (const ReplyCase& c : kReplies) {
        SCOPED_TRACE(c.name);
        c.framing == kRaw ? AnswerRaw(c.reply)
                          : AnswerWith(c.reply, c.framing == kDmss || c.framing == kStream);
        out.fill(0xEE);
        link.m_lastError = "before";
        EXPECT_EQ(c.run(link, out.data()), c.ok);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.out.size()), c.out);
        EXPECT_EQ(Bytes(out.begin() + c.out.size(), out.begin() + c.zeroTo),
                  Bytes(c.zeroTo - c.out.size(), 0));
        EXPECT_EQ(link.m_lastError, c.error);
    }
}

TEST_F(Commands, FailedReadsHandOutZerosAndTheNakTexts) {
    const struct {
        std::function<bool(CPhoneLink&, uint8_t*)> run;
        size_t size;
    } reads[] = {{[](CPhoneLink& l, uint8_t* o) { return l.ReadSwVersion(o); }, 45},
                 {[](CPhoneLink& l, uint8_t* o) { return l.ReadExtBuildId(o); }, 256},
                 {[](CPhoneLink& l, uint8_t* o) { return l.ReadVersionSet(o); }, 303},
                 {[](CPhoneLink& l, uint8_t* o) { return l.DloadGetParams(o); }, 212},
                 {[](CPhoneLink& l, uint8_t* o) { return l.ReadImei(o); }, 15},
                 {kEsn, 4}};
    for (const auto& r : reads) {
        Bytes out(r.size, 0xEE);
        EXPECT_FALSE(r.run(link, out.data()));
        EXPECT_EQ(out, r.size == 4 ? Bytes(4, 0xFF) : Bytes(r.size, 0)) << r.size;
    }
    std::array<uint8_t, 8> value;
    value.fill(0xEE);
    EXPECT_FALSE(link.GetValue8(value.data()));
    EXPECT_EQ(value[0], 0xEE) << "a challenge that never came leaves the buffer alone";

    // clang-format off
    const char* const texts[] = {"", "invalid frame check sequence", "destination address is invalid",
        "operation length is invalid", "packet was too short for this cmd",
        "packet was too long for phone's buffer", "packet command code was unknown",
        "operation did not succeed", "intelligent ID code was wrong", "programming voltage out of spec",
        "readback verify did not match", "not permitted without unlock", "invalid security code", ""};
    // clang-format on
    for (uint8_t reason = 0; reason < std::size(texts); ++reason) {
        AnswerWith({0x03, 0x00, reason}, true);
        EXPECT_FALSE(link.DloadReset());
        EXPECT_EQ(link.m_lastError, std::string("Cannot Reset the Phone, Since ") + texts[reason]);
    }
}

TEST_F(Commands, SpcIsSentOnlyWithSixCharacters) {
    AnswerWith({0x41, 0x01});
    for (const char* spc : {"12345", "1234567", ""}) {
        link.SetSpc(spc);
        EXPECT_FALSE(link.SendSpc()) << spc;
    }
    EXPECT_EQ(port.WriteCount(), 0u);
    link.SetSpc("A1b2C3");
    EXPECT_TRUE(link.SendSpc());
    EXPECT_EQ(LastPacket(), (Bytes{0x41, 'A', '1', 'b', '2', 'C', '3'}));
}

Bytes NvReply(uint8_t code, uint16_t item, const std::array<uint8_t, 128>& data, uint16_t status) {
    Bytes r{code, static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
    r.insert(r.end(), data.begin(), data.end());
    return r + Bytes{static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8)};
}

TEST_F(Commands, NvRefusalsGiveTheirStatusTextAndNoData) {
    // clang-format off
    const char* const texts[] = {"", "Request is queued", "Unrecognizable command field", "The NVM is full",
        "Command failed, reason other than NVM was full", "Variable was not active",
        "Bad parameter in command block", "Parameter is write-protected and thus read only",
        "Item not valid for Target", "free memory exhausted", "address is not a valid allocation ", ""};
    // clang-format on
    std::array<uint8_t, 128> data;
    uint16_t status = 0;
    for (const uint16_t code : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xFFFE}) {
        SCOPED_TRACE(code);
        const std::string text = texts[std::min<size_t>(code, 11)];
        AnswerWith(NvReply(0x26, 888, Pattern(9), code));
        data = Pattern(1);
        EXPECT_FALSE(link.ReadNvItem(888, data.data(), status));
        EXPECT_EQ(status, code);
        EXPECT_EQ(data, (std::array<uint8_t, 128>{}));
        EXPECT_EQ(link.m_lastError, "cannot read #888 NV Item, since " + text);
        AnswerWith(NvReply(0x27, 22, Pattern(9), code));
        EXPECT_FALSE(link.WriteNvItem(22, data.data(), status));
        EXPECT_EQ(status, code);
        EXPECT_EQ(link.m_lastError, "Cannot Write #22 NVItem, Since " + text);
    }
    // A short reply carries no status: taking its missing bytes as status 0 and zero data would
    // let a backup keep zeros for a calibration item.
    Bytes shortReply = NvReply(0x26, 22, Pattern(5), 0);
    shortReply.resize(60);
    for (const bool silent : {false, true}) {
        silent ? Silence() : AnswerWith(shortReply);
        data = Pattern(1);
        EXPECT_FALSE(link.ReadNvItem(22, data.data(), status));
        EXPECT_EQ(status, 0xFFFF);
        EXPECT_EQ(data, (std::array<uint8_t, 128>{}));
        EXPECT_EQ(link.m_lastError,
                  "cannot read #22 NVItem, since " +
                      (silent ? kNoReply : "The Received Data from the Phone is Too Short"));
    }
    data = Pattern(1);
    EXPECT_FALSE(link.WriteNvItem(65535, data.data(), status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(data, Pattern(1)) << "a failed write leaves the caller's data alone";
    EXPECT_EQ(link.m_lastError, "Cannot write #65535 NVItem, Since " + kNoReply);
}

const Bytes kAtDiag = ToBytes("AT$QCDMG\r");
const Bytes kAtDiagEcho = ToBytes("AT$QCDMG\r\r\nOK\r\n");

TEST_F(Commands, CommunicationCheckTriesEsnThenTheAtCommandThenEsnAgain) {
    const Bytes esn = frame::EncodeFrame(Bytes{0x01, 1, 2, 3, 4}, false);
    const struct {
        std::function<Bytes(int write, const Bytes&)> stick;
        bool ok;
        size_t writes;
    } cases[] = {
        {[&](int, const Bytes&) { return esn; }, true, 1},
        {[](int, const Bytes& w) { return w == kAtDiag ? kAtDiagEcho : Bytes{}; }, true, 2},
        {[&](int write, const Bytes&) { return write == 3 ? esn : Bytes{}; }, true, 3},
        {[](int, const Bytes&) { return Bytes{}; }, false, 3}};
    for (const auto& c : cases) {
        const size_t before = port.WriteCount();
        int count = 0;
        port.SetResponder([&](const Bytes& w) { return c.stick(++count, w); });
        EXPECT_EQ(link.CheckCommunication(), c.ok);
        const auto writes = WritesSince(before);
        ASSERT_EQ(writes.size(), c.writes);
        EXPECT_EQ(PacketOf(writes[0]), Bytes{0x01});
        if (c.writes > 1) {
            EXPECT_EQ(writes[1], kAtDiag) << "sent as it is, without framing";
        }
    }
    EXPECT_EQ(link.m_lastError,
              "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, "
              "Since " +
                  kNoReply);

    Bytes wrongEcho(kAtDiagEcho);
    wrongEcho[11] = 'E';
    for (const Bytes& answer : {Bytes(kAtDiagEcho.begin(), kAtDiagEcho.end() - 1), wrongEcho}) {
        AnswerRaw(answer);
        EXPECT_FALSE(link.EnterDiagByAt());
    }
    AnswerRaw(kAtDiagEcho);
    EXPECT_TRUE(link.EnterDiagByAt());
}

// The digest that answers the stick's challenge: the MD5 of its eight bytes, as received.
TEST(Challenge, DigestIsTheMd5OfTheChallenge) {
    const uint8_t challenge[8] = {0x7e, 0x7d, 0, 1, 2, 3, 0xff, 0x80};
    std::array<uint8_t, 16> digest{};
    ASSERT_TRUE(ChallengeDigest(challenge, digest.data()));
    EXPECT_EQ(digest, (std::array<uint8_t, 16>{0x45, 0x26, 0x67, 0xd8, 0xe6, 0x9e, 0x81, 0x27, 0x95,
                                               0x44, 0x0f, 0xbb, 0x19, 0xb8, 0x23, 0x46}));
}

}  // namespace
}  // namespace pellan::test
