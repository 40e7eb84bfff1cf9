// The DMSS download commands against a scripted boot downloader: big-endian packets, NAK texts,
// attempts and time-outs, and the flash information record.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

const Bytes kAck{0x02};

Bytes Nak(uint16_t reason) {
    return {0x03, static_cast<uint8_t>(reason >> 8), static_cast<uint8_t>(reason)};
}

class DmssCommands : public LinkFixture {
  protected:
    void AckAll() { AnswerWith(kAck, true); }
};

struct DmssCase {
    const char* name;
    std::function<bool(CPhoneLink&)> run;
    Bytes packet;
    unsigned attempts;
    uint32_t timeoutMs;
    const char* pattern;
};

const std::vector<DmssCase>& DmssCases() {
    static const uint8_t data[4] = {0xDE, 0xAD, 0x7E, 0x7D};
    static const std::vector<DmssCase> cases = {
        {"DloadWrite32",
         [](CPhoneLink& l) { return l.DloadWrite32(data, 0x00812345, 4); },
         {0x0F, 0x00, 0x81, 0x23, 0x45, 0x00, 0x04, 0xDE, 0xAD, 0x7E, 0x7D},
         3,
         5000,
         "Write a Block of Data to Memory Failed, Since %s"},
        {"DloadGo",
         [](CPhoneLink& l) { return l.DloadGo(0x0080, 0x1234); },
         {0x05, 0x00, 0x80, 0x12, 0x34},
         1,
         10000,
         "Cannot begin execution at an address, Since %s"},
        {"DloadGoAlt",
         [](CPhoneLink& l) { return l.DloadGoAlt(0x0080, 0x0000); },
         {0x90, 0x00, 0x80, 0x00, 0x00},
         1,
         10000,
         "Cannot begin execution at an address, Since %s"},
        {"DloadNop",
         [](CPhoneLink& l) { return l.DloadNop(); },
         {0x06},
         1,
         10000,
         "Cannot Do No Operation, Since %s"},
        {"DloadReset",
         [](CPhoneLink& l) { return l.DloadReset(); },
         {0x0A},
         3,
         2000,
         "Cannot Reset the Phone, Since %s"},
        {"DloadGetParams",
         [](CPhoneLink& l) {
             std::array<uint8_t, 212> record{};
             return l.DloadGetParams(record.data());
         },
         {0x07},
         3,
         2000,
         "Cannot Get flash Information, Since %s"},
    };
    return cases;
}

TEST_F(DmssCommands, WithoutReplyEachSendsItsPacketForItsAttemptsAndTimeOut) {
    for (const DmssCase& c : DmssCases()) {
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
            EXPECT_EQ(w.front(), frame::kFlag) << "a DMSS frame starts with a flag";
            EXPECT_EQ(PacketOf(w), c.packet);
        }
        EXPECT_GE(elapsed, c.attempts * c.timeoutMs);
        EXPECT_LE(elapsed, c.attempts * (c.timeoutMs + 20));
        EXPECT_EQ(fresh.m_lastError, Sentence(c.pattern, kNoReply));
    }
}

TEST_F(DmssCommands, EachSucceedsOnAnAck) {
    for (const DmssCase& c : DmssCases()) {
        SCOPED_TRACE(c.name);
        const size_t before = port.WriteCount();
        AckAll();
        EXPECT_TRUE(c.run(link));
        EXPECT_EQ(port.WriteCount() - before, 1u) << "no further attempt after an ACK";
    }
}

TEST_F(DmssCommands, EachFailsOnANakWithItsTextAfterAllAttempts) {
    for (const DmssCase& c : DmssCases()) {
        SCOPED_TRACE(c.name);
        const size_t before = port.WriteCount();
        AnswerWith(Nak(2), true);
        EXPECT_FALSE(c.run(link));
        EXPECT_EQ(port.WriteCount() - before, c.attempts);
        EXPECT_EQ(link.m_lastError, Sentence(c.pattern, "destination address is invalid"));
    }
}

TEST_F(DmssCommands, NakTexts) {
    const char* const texts[] = {"",
                                 "invalid frame check sequence",
                                 "destination address is invalid",
                                 "operation length is invalid",
                                 "packet was too short for this cmd",
                                 "packet was too long for phone's buffer",
                                 "packet command code was unknown",
                                 "operation did not succeed",
                                 "intelligent ID code was wrong",
                                 "programming voltage out of spec",
                                 "readback verify did not match",
                                 "not permitted without unlock",
                                 "invalid security code",
                                 ""};
    for (uint16_t reason = 0; reason < std::size(texts); ++reason) {
        SCOPED_TRACE(reason);
        AnswerWith(Nak(reason), true);
        EXPECT_FALSE(link.DloadReset());
        EXPECT_EQ(link.m_lastError, std::string("Cannot Reset the Phone, Since ") + texts[reason]);
    }
    // The reason is big-endian: 0x0100 is not reason 1.
    AnswerWith(Nak(0x0100), true);
    EXPECT_FALSE(link.DloadReset());
    EXPECT_EQ(link.m_lastError, "Cannot Reset the Phone, Since ");
}

TEST_F(DmssCommands, ReplyWithoutLeadingFlagIsAccepted) {
    AnswerWith(kAck, false);
    EXPECT_TRUE(link.DloadNop());
}

TEST_F(DmssCommands, NopNeedsAnAck) {
    AnswerWith(kAck, true);
    EXPECT_TRUE(link.DloadNop());
    AnswerWith(Nak(7), true);
    EXPECT_FALSE(link.DloadNop());
    EXPECT_EQ(link.m_lastError, "Cannot Do No Operation, Since operation did not succeed");
    // A decoded reply of another code fails with the same sentence around the reason held.
    AnswerWith({0x04}, true);
    link.m_lastError = "held";
    EXPECT_FALSE(link.DloadNop());
    EXPECT_EQ(link.m_lastError, "Cannot Do No Operation, Since held");
}

TEST_F(DmssCommands, WriteOf1017BytesIsA1024BytePacket) {
    std::array<uint8_t, 1017> data{};
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 13);  // plenty of 0x7D/0x7E to escape
    }
    AckAll();
    ASSERT_TRUE(link.DloadWrite32(data.data(), 0x00800000, 1017));
    const Bytes packet = LastPacket();
    ASSERT_EQ(packet.size(), 1024u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 7),
              (Bytes{0x0F, 0x00, 0x80, 0x00, 0x00, 0x03, 0xF9}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), packet.begin() + 7));
}

TEST_F(DmssCommands, WriteLongerThanOnePacketIsRefusedUnsent) {
    std::array<uint8_t, 1018> data{};
    AckAll();
    EXPECT_FALSE(link.DloadWrite32(data.data(), 0x00800000, 1018));
    EXPECT_EQ(port.WriteCount(), 0u);
    EXPECT_EQ(link.m_lastError.rfind("Write a Block of Data to Memory Failed, Since ", 0), 0u);
}

Bytes ParamsReply(uint8_t sizeCode, uint8_t byte9) {
    return {0x08, 0x04, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, sizeCode, byte9};
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

TEST_F(DmssCommands, FlashRecordFromTheParameterReply) {
    AnswerWith(ParamsReply(4, 20), true);
    std::array<uint8_t, 212> record;
    record.fill(0xEE);
    ASSERT_TRUE(link.DloadGetParams(record.data()));
    EXPECT_EQ(record[0], 0x08);
    EXPECT_EQ(record[1], 0x04);
    EXPECT_EQ(record[2], 0x02);
    EXPECT_EQ(Le32(&record[4]), 0x44332211u);
    EXPECT_EQ(record[8], 0x55);
    EXPECT_EQ(record[9], 4);
    EXPECT_EQ(Le32(&record[12]), 0x200000u);
    EXPECT_EQ(record[16], 20);
    EXPECT_EQ(record[17], 4);
    EXPECT_STREQ(reinterpret_cast<const char*>(&record[18]), "Unknown");
    EXPECT_STREQ(reinterpret_cast<const char*>(&record[82]), "Unknown");
}

TEST_F(DmssCommands, FlashSizeCodes) {
    const uint32_t sizes[] = {0,        0x80000, 0x100000, 0x100000, 0x200000, 0x400000,
                              0x800000, 0,       0,        0,        0,        0xFF};
    for (uint8_t code = 0; code < std::size(sizes); ++code) {
        SCOPED_TRACE(int(code));
        const uint8_t sizeCode = code == 11 ? 0xFF : code;
        AnswerWith(ParamsReply(sizeCode, 0), true);
        std::array<uint8_t, 212> record{};
        ASSERT_TRUE(link.DloadGetParams(record.data()));
        EXPECT_EQ(Le32(&record[12]), code == 11 ? 0u : sizes[code]);
        EXPECT_EQ(record[9], sizeCode);
        EXPECT_EQ(record[17], sizeCode < 7 ? sizeCode : 0);
    }
}

TEST_F(DmssCommands, Byte16KeepsValuesBelow35) {
    for (uint8_t v : {uint8_t{0}, uint8_t{34}, uint8_t{35}, uint8_t{200}}) {
        AnswerWith(ParamsReply(1, v), true);
        std::array<uint8_t, 212> record{};
        ASSERT_TRUE(link.DloadGetParams(record.data()));
        EXPECT_EQ(record[16], v < 35 ? v : 0) << int(v);
    }
}

TEST_F(DmssCommands, ShortParameterReplyReadsZeroBeyondItsEnd) {
    AnswerWith(ParamsReply(5, 30), true);
    std::array<uint8_t, 212> record{};
    ASSERT_TRUE(link.DloadGetParams(record.data()));
    AnswerWith({0x08, 0x04}, true);
    ASSERT_TRUE(link.DloadGetParams(record.data()));
    EXPECT_EQ(record[1], 0x04);
    EXPECT_EQ(record[2], 0) << "not the CRC behind the reply";
    EXPECT_EQ(record[9], 0);
    EXPECT_EQ(Le32(&record[12]), 0u);
    EXPECT_EQ(record[16], 0);
}

TEST_F(DmssCommands, FailedParameterRequestZeroesTheRecord) {
    std::array<uint8_t, 212> record;
    record.fill(0xEE);
    EXPECT_FALSE(link.DloadGetParams(record.data()));
    EXPECT_EQ(record, (std::array<uint8_t, 212>{}));
}

}  // namespace
}  // namespace pellan::test
