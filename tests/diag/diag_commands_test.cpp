// The diagnostic command set against a scripted stick: packets, attempts, time-outs, outputs on
// failure and the failure sentences.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

struct DiagCase {
    const char* name;
    std::function<bool(CPhoneLink&)> run;
    Bytes packet;
    unsigned attempts;
    uint32_t timeoutMs;
    const char* pattern;  // nullptr: the transaction's own reason stays
};

const std::vector<DiagCase>& DiagCases() {
    static const std::vector<DiagCase> cases = {
        {"ResetPhone",
         [](CPhoneLink& l) { return l.ResetPhone(); },
         {0x29, 0x02, 0x00},
         1,
         2000,
         "Cannot Reset the Phone, Since %s"},
        {"GoOffline",
         [](CPhoneLink& l) { return l.GoOffline(); },
         {0x29, 0x01, 0x00},
         1,
         2000,
         "Cannot Put the Phone Offline, Since %s"},
        {"GoOnline",
         [](CPhoneLink& l) { return l.GoOnline(); },
         {0x29, 0x04, 0x00},
         1,
         2000,
         "Cannot Put the Phone Offline, Since %s"},
        {"ReadEsn",
         [](CPhoneLink& l) {
             uint32_t esn = 0;
             return l.ReadEsn(esn);
         },
         {0x01},
         1,
         300,
         "Cannot Get the ESN Number of the Phone, Since %s"},
        {"ReadExtBuildId",
         [](CPhoneLink& l) {
             std::array<uint8_t, 256> out{};
             return l.ReadExtBuildId(out.data());
         },
         {0x7C},
         1,
         300,
         "Cannot get software version from the mobile, Since %s"},
        {"ReadSwVersion",
         [](CPhoneLink& l) {
             std::array<uint8_t, 45> out{};
             return l.ReadSwVersion(out.data());
         },
         {0x38},
         1,
         300,
         "Cannot get software version from the mobile, Since %s"},
        {"ReadVersionSet",
         [](CPhoneLink& l) {
             std::array<uint8_t, 303> out{};
             return l.ReadVersionSet(out.data());
         },
         {0x39},
         1,
         300,
         "Cannot get 9 software version from the mobile, Since %s"},
        {"SwitchToDownloader",
         [](CPhoneLink& l) { return l.SwitchToDownloader(); },
         {0x3A},
         3,
         2000,
         "Cannot Switch to Downloader, Since %s"},
        {"SendSpc",
         [](CPhoneLink& l) { return l.SendSpc(); },
         {0x41, '0', '0', '0', '0', '0', '0'},
         1,
         2000,
         nullptr},
        {"FeatureRequest5C",
         [](CPhoneLink& l) { return l.FeatureRequest5C(); },
         {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00},
         1,
         2000,
         nullptr},
        {"QueryModemStatus",
         [](CPhoneLink& l) { return l.QueryModemStatus(); },
         {0x4B, 0x04, 0x0E, 0x00},
         1,
         2000,
         nullptr},
    };
    return cases;
}

class DiagCommands : public LinkFixture {};

TEST_F(DiagCommands, EachCommandWithoutReplySendsItsPacketForItsAttemptsAndTimeOut) {
    for (const DiagCase& c : DiagCases()) {
        SCOPED_TRACE(c.name);
        FakeSerialProvider freshSerial(clock);
        FakePort& freshPort = freshSerial.Port(1);
        CPhoneLink fresh(freshSerial, clock);
        ASSERT_TRUE(fresh.m_port.Open(1, 115200, 8, 1));
        const uint32_t start = Now();
        EXPECT_FALSE(c.run(fresh));
        const uint32_t elapsed = Now() - start;
        const auto writes = freshPort.Writes();
        ASSERT_EQ(writes.size(), c.attempts);
        for (const Bytes& w : writes) {
            EXPECT_NE(w.front(), frame::kFlag) << "a DIAG frame has no leading flag";
            EXPECT_EQ(PacketOf(w), c.packet);
        }
        EXPECT_GE(elapsed, c.attempts * c.timeoutMs);
        EXPECT_LE(elapsed, c.attempts * (c.timeoutMs + 40));
        EXPECT_EQ(fresh.m_lastError, c.pattern ? Sentence(c.pattern, kNoReply) : kNoReply);
    }
}

TEST_F(DiagCommands, EachCommandSucceedsOnAReplyWithItsCode) {
    for (const DiagCase& c : DiagCases()) {
        SCOPED_TRACE(c.name);
        Bytes reply(c.packet);
        reply.resize(16, 0);  // room for every field a parser looks at, all zero
        AnswerWith(reply);
        EXPECT_TRUE(c.run(link));
    }
}

TEST_F(DiagCommands, ErrorReplyFailsEveryAttemptWithItsText) {
    AnswerWith({0x13, 0x3A});
    EXPECT_FALSE(link.SwitchToDownloader());
    EXPECT_EQ(port.WriteCount(), 3u);
    EXPECT_EQ(link.m_lastError, "Cannot Switch to Downloader, Since Bad command");
}

TEST_F(DiagCommands, ConfiguredSpcIsSent) {
    AnswerWith({0x41, 0x01});
    link.SetSpc("A1b2C3");
    EXPECT_TRUE(link.SendSpc());
    EXPECT_EQ(LastPacket(), (Bytes{0x41, 'A', '1', 'b', '2', 'C', '3'}));
}

TEST_F(DiagCommands, SpcOfWrongLengthIsNotSent) {
    AnswerWith({0x41, 0x01});
    for (const char* spc : {"12345", "1234567", ""}) {
        link.SetSpc(spc);
        EXPECT_FALSE(link.SendSpc()) << spc;
    }
    EXPECT_EQ(port.WriteCount(), 0u);
}

TEST_F(DiagCommands, ModemStatusMustBeZeroAndPresent) {
    AnswerWith({0x4B, 0x04, 0x0E, 0x00, 0x00});
    EXPECT_TRUE(link.QueryModemStatus());
    AnswerWith({0x4B, 0x04, 0x0E, 0x00, 0x01});
    EXPECT_FALSE(link.QueryModemStatus());
    AnswerWith({0x4B, 0x04, 0x0E, 0x00});  // no status byte at all
    EXPECT_FALSE(link.QueryModemStatus());
}

// ---- ESN ----

TEST_F(DiagCommands, EsnIsLittleEndianAndAllOnesWithoutReply) {
    AnswerWith({0x01, 0x78, 0x56, 0x34, 0x12});
    uint32_t esn = 0;
    EXPECT_TRUE(link.ReadEsn(esn));
    EXPECT_EQ(esn, 0x12345678u);
    Silence();
    EXPECT_FALSE(link.ReadEsn(esn));
    EXPECT_EQ(esn, 0xFFFFFFFFu);
}

// ---- NV items ----

Bytes NvReply(uint8_t code, uint16_t item, const std::array<uint8_t, 128>& data, uint16_t status) {
    Bytes r{code, static_cast<uint8_t>(item), static_cast<uint8_t>(item >> 8)};
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(static_cast<uint8_t>(status));
    r.push_back(static_cast<uint8_t>(status >> 8));
    return r;
}

std::array<uint8_t, 128> Pattern(uint8_t seed) {
    std::array<uint8_t, 128> d{};
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(seed + i * 7);  // includes 0x7D and 0x7E for some seeds
    }
    return d;
}

TEST_F(DiagCommands, NvReadSendsTheCallersBytesAndReturnsTheItem) {
    const auto stored = Pattern(3);
    AnswerWith(NvReply(0x26, 0x1234, stored, 0));
    auto data = Pattern(100);
    const auto sent = data;
    uint16_t status = 0xABCD;
    ASSERT_TRUE(link.ReadNvItem(0x1234, data.data(), status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data, stored);
    EXPECT_EQ(LastPacket(), NvReply(0x26, 0x1234, sent, 0));
}

TEST_F(DiagCommands, NvItemsArePolledEvery30Ms) {
    AnswerWith(NvReply(0x26, 5, Pattern(1), 0));
    port.SetReplyDelayMs(100);
    auto data = Pattern(0);
    uint16_t status = 0;
    link.m_pacedReplies = true;  // the 30 ms rhythm is the paced rule's; a whole reply ends sooner
    const uint64_t slept = clock.SleptMs();
    ASSERT_TRUE(link.ReadNvItem(5, data.data(), status));
    EXPECT_EQ((clock.SleptMs() - slept) % 30, 0u);
}

struct NvStatusCase {
    uint16_t status;
    const char* text;
};

const NvStatusCase kNvStatus[] = {
    {1, "Request is queued"},
    {2, "Unrecognizable command field"},
    {3, "The NVM is full"},
    {4, "Command failed, reason other than NVM was full"},
    {5, "Variable was not active"},
    {6, "Bad parameter in command block"},
    {7, "Parameter is write-protected and thus read only"},
    {8, "Item not valid for Target"},
    {9, "free memory exhausted"},
    {10, "address is not a valid allocation "},
    {11, ""},
    {0xFFFE, ""},
};

TEST_F(DiagCommands, NvReadRejectedByStatusGivesItsTextAndZeroData) {
    for (const NvStatusCase& c : kNvStatus) {
        SCOPED_TRACE(c.status);
        AnswerWith(NvReply(0x26, 888, Pattern(9), c.status));
        auto data = Pattern(1);
        uint16_t status = 0;
        EXPECT_FALSE(link.ReadNvItem(888, data.data(), status));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(data, (std::array<uint8_t, 128>{}));
        EXPECT_EQ(link.m_lastError, std::string("cannot read #888 NV Item, since ") + c.text);
    }
}

TEST_F(DiagCommands, NvWriteRejectedByStatusGivesItsText) {
    for (const NvStatusCase& c : kNvStatus) {
        SCOPED_TRACE(c.status);
        AnswerWith(NvReply(0x27, 22, Pattern(9), c.status));
        auto data = Pattern(1);
        uint16_t status = 0;
        EXPECT_FALSE(link.WriteNvItem(22, data.data(), status));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(link.m_lastError, std::string("Cannot Write #22 NVItem, Since ") + c.text);
    }
}

TEST_F(DiagCommands, NvWithoutReplyGivesAllOnesStatus) {
    auto data = Pattern(1);
    uint16_t status = 0;
    EXPECT_FALSE(link.ReadNvItem(550, data.data(), status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(data, (std::array<uint8_t, 128>{}));
    EXPECT_EQ(link.m_lastError, "cannot read #550 NVItem, since " + kNoReply);

    data = Pattern(1);
    status = 0;
    EXPECT_FALSE(link.WriteNvItem(65535, data.data(), status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(data, Pattern(1)) << "a failed write leaves the caller's data alone";
    EXPECT_EQ(link.m_lastError, "Cannot write #65535 NVItem, Since " + kNoReply);
}

TEST_F(DiagCommands, NvWriteSendsItemAndData) {
    AnswerWith(NvReply(0x27, 22, Pattern(0), 0));
    auto data = Pattern(42);
    uint16_t status = 0xFFFF;
    EXPECT_TRUE(link.WriteNvItem(22, data.data(), status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(LastPacket(), NvReply(0x27, 22, Pattern(42), 0));
}

// A short NV reply carries no status: taking its missing bytes as status 0 and zero data would
// let a backup keep zeros for a calibration item.
TEST_F(DiagCommands, ShortNvReplyIsAFailureNotZeroData) {
    Bytes shortReply = NvReply(0x26, 22, Pattern(5), 0);
    shortReply.resize(60);
    AnswerWith(shortReply);
    auto data = Pattern(1);
    uint16_t status = 0;
    EXPECT_FALSE(link.ReadNvItem(22, data.data(), status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(data, (std::array<uint8_t, 128>{}));
    EXPECT_EQ(link.m_lastError,
              "cannot read #22 NVItem, since The Received Data from the Phone is Too Short");
}

// ---- IMEI ----

TEST_F(DiagCommands, ImeiIsUnpackedFromBcd) {
    std::array<uint8_t, 128> nv{};
    // IMEI 356938035643809: a length byte, then the first digit alone in the high nibble.
    const uint8_t packed[] = {0x08, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90};
    std::copy(std::begin(packed), std::end(packed), nv.begin());
    AnswerWith(NvReply(0x26, 550, nv, 0));
    std::array<uint8_t, 15> digits{};
    ASSERT_TRUE(link.ReadImei(digits.data()));
    const std::array<uint8_t, 15> expected{3, 5, 6, 9, 3, 8, 0, 3, 5, 6, 4, 3, 8, 0, 9};
    EXPECT_EQ(digits, expected);
    const Bytes packet = LastPacket();
    ASSERT_EQ(packet.size(), 133u);
    EXPECT_EQ(packet[1] | (packet[2] << 8), 550);
    EXPECT_TRUE(std::all_of(packet.begin() + 3, packet.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DiagCommands, ImeiFailureClearsTheDigits) {
    AnswerWith(NvReply(0x26, 550, Pattern(1), 5));
    std::array<uint8_t, 15> digits;
    digits.fill(7);
    EXPECT_FALSE(link.ReadImei(digits.data()));
    EXPECT_EQ(digits, (std::array<uint8_t, 15>{}));
    EXPECT_EQ(link.m_lastError, "cannot read #550 NV Item, since Variable was not active");
}

// ---- software version and build id ----

TEST_F(DiagCommands, SwVersionTakesTheFirst21Characters) {
    Bytes reply{0x38};
    const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijk";
    reply.insert(reply.end(), text.begin(), text.end());
    AnswerWith(reply);
    std::array<uint8_t, 45> out;
    out.fill(0xEE);
    ASSERT_TRUE(link.ReadSwVersion(out.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), text.substr(0, 21));
    EXPECT_TRUE(std::all_of(out.begin() + 21, out.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DiagCommands, ShortSwVersionReplyGivesOnlyItsOwnBytes) {
    AnswerWith({0x38, 'V', '1'});
    std::array<uint8_t, 45> out{};
    ASSERT_TRUE(link.ReadSwVersion(out.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), "V1");  // not the CRC behind it
}

TEST_F(DiagCommands, SwVersionFailureGivesZeros) {
    std::array<uint8_t, 45> out;
    out.fill(0xEE);
    EXPECT_FALSE(link.ReadSwVersion(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 45>{}));
}

TEST_F(DiagCommands, ExtBuildIdIsTheAreaFromByte12AndEndsInsideIt) {
    Bytes reply{0x7C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    reply.resize(12 + 300, 'x');
    AnswerWith(reply);
    std::array<uint8_t, 256> out{};
    ASSERT_TRUE(link.ReadExtBuildId(out.data()));
    EXPECT_TRUE(std::all_of(out.begin(), out.end() - 1, [](uint8_t b) { return b == 'x'; }));
    EXPECT_EQ(out.back(), 0) << "the text must be terminated within its 256 bytes";
}

TEST_F(DiagCommands, ShortExtBuildIdReplyIsZeroFilled) {
    // An earlier long reply must not show through a shorter one.
    Bytes longReply{0x7C};
    longReply.resize(12 + 256, 'y');
    AnswerWith(longReply);
    std::array<uint8_t, 256> out{};
    ASSERT_TRUE(link.ReadExtBuildId(out.data()));
    Bytes reply{0x7C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'B', '1'};
    AnswerWith(reply);
    ASSERT_TRUE(link.ReadExtBuildId(out.data()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), "B1");
    EXPECT_TRUE(std::all_of(out.begin() + 2, out.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(DiagCommands, ExtBuildIdFailureGivesZeros) {
    std::array<uint8_t, 256> out;
    out.fill(0xEE);
    EXPECT_FALSE(link.ReadExtBuildId(out.data()));
    EXPECT_EQ(out, (std::array<uint8_t, 256>{}));
}

// ---- communication check ----

const Bytes kAtDiag{'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', 0x0D};
const Bytes kAtDiagEcho{'A',  'T',  '$',  'Q', 'C', 'D',  'M', 'G',
                        0x0D, 0x0D, 0x0A, 'O', 'K', 0x0D, 0x0A};

TEST_F(DiagCommands, CommunicationCheckPassesThroughTheAtEchoAlone) {
    port.SetResponder([](const Bytes& w) { return w == kAtDiag ? kAtDiagEcho : Bytes{}; });
    EXPECT_TRUE(link.CheckCommunication());
    const auto writes = port.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(PacketOf(writes[0]), Bytes{0x01});
    EXPECT_EQ(writes[1], kAtDiag) << "sent as it is, without framing";
}

TEST_F(DiagCommands, CommunicationCheckPassesOnTheFirstEsn) {
    AnswerWith({0x01, 1, 2, 3, 4});
    EXPECT_TRUE(link.CheckCommunication());
    EXPECT_EQ(port.WriteCount(), 1u);
}

TEST_F(DiagCommands, CommunicationCheckTriesEsnAgainAfterTheAtCommand) {
    int writes = 0;
    const Bytes esn = frame::EncodeFrame(Bytes{0x01, 1, 2, 3, 4}, false);
    port.SetResponder([&](const Bytes&) { return ++writes == 3 ? esn : Bytes{}; });
    EXPECT_TRUE(link.CheckCommunication());
    EXPECT_EQ(writes, 3);
}

TEST_F(DiagCommands, CommunicationCheckFailsWithTheLastReason) {
    EXPECT_FALSE(link.CheckCommunication());
    EXPECT_EQ(port.WriteCount(), 3u);
    EXPECT_EQ(link.m_lastError,
              "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, "
              "Since " +
                  kNoReply);
}

TEST_F(DiagCommands, AtDiagEchoMustBeComplete) {
    const Bytes shortEcho(kAtDiagEcho.begin(), kAtDiagEcho.end() - 1);
    Bytes wrongEcho(kAtDiagEcho);
    wrongEcho[11] = 'E';
    for (const Bytes& answer : {shortEcho, wrongEcho, Bytes{}}) {
        AnswerRaw(answer);
        EXPECT_FALSE(link.EnterDiagByAt());
    }
    AnswerRaw(kAtDiagEcho);
    const uint32_t start = Now();
    EXPECT_TRUE(link.EnterDiagByAt());
    EXPECT_EQ(Now() - start, 100u);
}

}  // namespace
}  // namespace pellan::test
