// CRC-16/X.25, escaping and frame layout of the HDLC-style framing, and the file CRC.
#include "diag/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diag/phone_link.h"
#include "support/fake_serial.h"
#include "support/temp_dir.h"

namespace pellan {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// ---- CRC ----

TEST(Crc, KnownVectors) {
    struct Case {
        Bytes data;
        uint16_t crc;
    };
    const Case cases[] = {
        {Ascii("123456789"), 0x906E},  // the CRC-16/X.25 check value
        {{}, 0x0000},                  // ~0xFFFF
        {{0x00}, 0xF078},
        {{0x7E}, 0x6A81},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x0F47},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frame::Crc16(c.data.data(), c.data.size()), c.crc) << c.data.size() << " bytes";
    }
}

// Bit at a time, straight from the polynomial: what the table-driven CRC must agree with at every
// length, start and initial value (the eight-byte steps and the tail meet at every offset).
uint16_t BitwiseCrcRun(uint16_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

TEST(Crc, AgreesWithTheBitwiseDefinitionAtEveryLengthAndOffset) {
    Bytes data(1100);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (const uint16_t init : {uint16_t{0xFFFF}, uint16_t{0x0000}, uint16_t{0x1D0F}}) {
        for (size_t start = 0; start < 8; ++start) {
            for (size_t len = 0; len <= 40; ++len) {
                ASSERT_EQ(frame::CrcRun(init, data.data() + start, len),
                          BitwiseCrcRun(init, data.data() + start, len))
                    << "init " << init << " start " << start << " length " << len;
            }
        }
        for (const size_t len : {1024u, 1031u, 1100u}) {
            EXPECT_EQ(frame::CrcRun(init, data.data(), len), BitwiseCrcRun(init, data.data(), len));
        }
    }
}

TEST(Crc, AppendsLowByteFirstAndChecksToResidue) {
    Bytes packet = Ascii("123456789");
    packet.resize(packet.size() + 2);
    EXPECT_EQ(CPhoneLink::CrcAppend(packet.data(), 9), 11u);
    EXPECT_EQ(packet[9], 0x6E);
    EXPECT_EQ(packet[10], 0x90);
    EXPECT_EQ(frame::CrcRun(0xFFFF, packet.data(), packet.size()), frame::kCrcResidue);
    EXPECT_EQ(frame::kCrcResidue, 0xF0B8);
    EXPECT_TRUE(CPhoneLink::CrcCheck(packet.data(), 11));
}

TEST(Crc, CheckRejectsEmptyAndEveryFlippedBit) {
    EXPECT_FALSE(CPhoneLink::CrcCheck(nullptr, 0));
    Bytes packet = {0x26, 0x26, 0x02, 0x7E, 0x7D, 0x00};
    packet.resize(packet.size() + 2);
    CPhoneLink::CrcAppend(packet.data(), 6);
    ASSERT_TRUE(CPhoneLink::CrcCheck(packet.data(), static_cast<uint16_t>(packet.size())));
    for (size_t i = 0; i < packet.size() * 8; ++i) {
        Bytes damaged = packet;
        damaged[i / 8] ^= static_cast<uint8_t>(1u << (i % 8));
        EXPECT_FALSE(CPhoneLink::CrcCheck(damaged.data(), static_cast<uint16_t>(damaged.size())))
            << "bit " << i;
    }
}

// ---- FileCrc16 ----

class FileCrc : public ::testing::Test {
  protected:
    void SetUp() override {
        m_path = (m_dir.Path() / "image.bin").string();
        for (size_t i = 0; i < m_content.size(); ++i) {
            m_content[i] = static_cast<uint8_t>((i * 131u + 7u) ^ (i >> 8));
        }
        std::ofstream(m_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(m_content.data()),
                   static_cast<std::streamsize>(m_content.size()));
    }
    // The expected value: register from 0, complemented.
    uint16_t Expected(size_t offset, size_t length) const {
        return static_cast<uint16_t>(~frame::CrcRun(0, m_content.data() + offset, length));
    }

    test::TempDir m_dir;
    std::string m_path;
    std::vector<uint8_t> m_content = std::vector<uint8_t>(200000);  // more than three pieces
};

TEST_F(FileCrc, RegionsInsideTheFile) {
    struct Case {
        uint32_t offset, length;
    };
    const Case cases[] = {{0, 9}, {0, 200000}, {1000, 65536}, {70000, 130000}, {199999, 1}, {5, 0}};
    for (const Case& c : cases) {
        uint8_t low = 0xAA, high = 0xAA;
        ASSERT_TRUE(CPhoneLink::FileCrc16(m_path, c.offset, c.length, low, high))
            << c.offset << "+" << c.length;
        const uint16_t crc = Expected(c.offset, c.length);
        EXPECT_EQ(low, crc & 0xFF) << c.offset << "+" << c.length;
        EXPECT_EQ(high, crc >> 8) << c.offset << "+" << c.length;
    }
}

TEST_F(FileCrc, StartsFromZeroNotFromTheFrameInitialValue) {
    const std::string digits = (m_dir.Path() / "digits").string();
    std::ofstream(digits) << "123456789";
    uint8_t low = 0, high = 0;
    ASSERT_TRUE(CPhoneLink::FileCrc16(digits, 0, 9, low, high));
    const Bytes data = Ascii("123456789");
    const uint16_t fromZero = static_cast<uint16_t>(~frame::CrcRun(0, data.data(), 9));
    EXPECT_NE(fromZero, 0x906E);
    EXPECT_EQ(low | (high << 8), fromZero);
}

TEST_F(FileCrc, RegionBeyondTheEndOrMissingFileFails) {
    uint8_t low = 0x11, high = 0x22;
    EXPECT_FALSE(CPhoneLink::FileCrc16(m_path, 199990, 11, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16(m_path, 300000, 1, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16((m_dir.Path() / "missing.bin").string(), 0, 1, low, high));
    EXPECT_EQ(low, 0x11);
    EXPECT_EQ(high, 0x22);
}

// ---- stuffing and frames ----

TEST(Stuffing, EscapesOnlyFlagAndEscape) {
    const Bytes in = {0x00, 0x7E, 0x7D, 0x5E, 0x5D, 0x7F, 0x20, 0xFF};
    Bytes out(2 * in.size());
    out.resize(frame::Stuff(in.data(), in.size(), out.data()));
    EXPECT_EQ(out, (Bytes{0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x5E, 0x5D, 0x7F, 0x20, 0xFF}));
    Bytes back(out.size());
    back.resize(frame::Unstuff(out.data(), out.size(), back.data()));
    EXPECT_EQ(back, in);
}

TEST(Stuffing, EveryByteValueRoundTrips) {
    Bytes in(256);
    for (int i = 0; i < 256; ++i) {
        in[i] = static_cast<uint8_t>(i);
    }
    Bytes out(2 * in.size());
    out.resize(frame::Stuff(in.data(), in.size(), out.data()));
    EXPECT_EQ(out.size(), 258u);
    Bytes back(out.size());
    back.resize(frame::Unstuff(out.data(), out.size(), back.data()));
    EXPECT_EQ(back, in);
}

// The request body that Transact would send in each mode, built through the link itself so that
// the layout checked is the one on the wire.
struct LinkFixture {
    platform::VirtualClock clock;
    test::FakeSerialProvider serial{clock};
    CPhoneLink link{serial, clock};

    Bytes RawFrame(const Bytes& body) {
        link.ClearBuffers();
        link.m_mode = MODE_RAW;
        std::copy(body.begin(), body.end(), link.m_sendBuf.begin());
        link.m_sendLen = static_cast<uint32_t>(body.size());
        const uint32_t len = link.BuildFrame();
        return Bytes(link.m_sendBuf.begin(), link.m_sendBuf.begin() + len);
    }
};

TEST(FrameLayout, EscapesInBodyAndInCrc) {
    // Body "7E 00 7D": CRC computed over the unescaped bytes, both escaped, trailing flag only.
    LinkFixture f;
    const Bytes body = {0x7E, 0x00, 0x7D};
    const uint16_t crc = frame::Crc16(body.data(), body.size());
    Bytes expected = {0x7D, 0x5E, 0x00, 0x7D, 0x5D};
    for (uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
        if (b == 0x7E || b == 0x7D) {
            expected.push_back(0x7D);
            expected.push_back(b ^ 0x20);
        } else {
            expected.push_back(b);
        }
    }
    expected.push_back(0x7E);
    EXPECT_EQ(f.RawFrame(body), expected);

    // A body whose CRC is 7E 7D (low, high): for a fixed first byte the last two bytes map one
    // to one onto the CRC, so exactly one pair gives it; take a first byte whose pair needs no
    // escape itself.
    bool found = false;
    for (int first = 0; first < 0x7D && !found; ++first) {
        for (int v = 0; v < 65536; ++v) {
            const Bytes probe = {static_cast<uint8_t>(first), static_cast<uint8_t>(v >> 8),
                                 static_cast<uint8_t>(v & 0xFF)};
            if (frame::Crc16(probe.data(), 3) != 0x7D7E) {
                continue;
            }
            if (probe[1] < 0x7D && probe[2] < 0x7D) {
                found = true;
                EXPECT_EQ(f.RawFrame(probe),
                          (Bytes{probe[0], probe[1], probe[2], 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}));
            }
            break;
        }
    }
    EXPECT_TRUE(found);
}

TEST(FrameLayout, LeadingFlagOnlyForDownloadAndStreaming) {
    struct Case {
        LinkMode mode;
        uint8_t code;
        bool leadingFlag;
    };
    const Case cases[] = {
        {MODE_DIAG, 0x3A, false},   // switch to downloader
        {MODE_DLOAD, 0x06, true},   // no-operation
        {MODE_STREAM, 0x0B, true},  // reset
    };
    for (const Case& c : cases) {
        LinkFixture f;
        f.link.ClearBuffers();
        f.link.m_mode = c.mode;
        f.link.m_request.code = c.code;
        const uint32_t len = f.link.BuildFrame();
        ASSERT_GE(len, 4u) << "mode " << c.mode;
        EXPECT_EQ(f.link.m_sendLen, len);
        const Bytes sent(f.link.m_sendBuf.begin(), f.link.m_sendBuf.begin() + len);
        EXPECT_EQ(sent.front() == 0x7E, c.leadingFlag) << "mode " << c.mode;
        EXPECT_EQ(sent.back(), 0x7E) << "mode " << c.mode;
        EXPECT_EQ(sent[c.leadingFlag ? 1 : 0], c.code) << "mode " << c.mode;
        // Nothing but the flags is a bare 0x7E; the unescaped body checks to the residue.
        Bytes inner(sent.begin() + (c.leadingFlag ? 1 : 0), sent.end() - 1);
        EXPECT_EQ(std::count(inner.begin(), inner.end(), 0x7E), 0);
        Bytes body(inner.size());
        body.resize(frame::Unstuff(inner.data(), inner.size(), body.data()));
        EXPECT_TRUE(frame::CrcCheck(body.data(), body.size())) << "mode " << c.mode;
    }
    // The stand-alone encoder used by the simulator lays frames out the same way.
    const Bytes body = {0x02};
    EXPECT_EQ(frame::EncodeFrame(body, true).front(), 0x7E);
    EXPECT_EQ(frame::EncodeFrame(body, false).front(), 0x02);
}

TEST(FrameLayout, FullyStuffedLargestPacketFits) {
    // The largest packet, every byte needing an escape, with a CRC that needs them too.
    LinkFixture f;
    Bytes body(CPhoneLink::kMaxPacket, 0x7E);
    for (size_t i = 0; i < body.size(); i += 2) {
        body[i] = 0x7D;
    }
    EXPECT_GE(CPhoneLink::kMaxPacket, 1u + 4u + 1024u);  // streaming write: code, address, data
    EXPECT_GE(CPhoneLink::kSendBufSize, 2 * (CPhoneLink::kMaxPacket + 2) + 2);
    const Bytes sent = f.RawFrame(body);
    const uint16_t crc = frame::Crc16(body.data(), body.size());
    const auto stuffedLen = [](uint8_t b) { return b == 0x7E || b == 0x7D ? 2u : 1u; };
    EXPECT_EQ(sent.size(),
              2 * body.size() + stuffedLen(crc & 0xFF) + stuffedLen(crc >> 8) + 1 /* flag */);
    EXPECT_EQ(sent.back(), 0x7E);
    Bytes inner(sent.begin(), sent.end() - 1);
    Bytes back(inner.size());
    back.resize(frame::Unstuff(inner.data(), inner.size(), back.data()));
    ASSERT_EQ(back.size(), body.size() + 2);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), back.begin()));
    EXPECT_TRUE(frame::CrcCheck(back.data(), back.size()));
}

TEST(FrameLayout, OversizedRawBodyIsRefusedNotCut) {
    LinkFixture f;
    test::FakePort& port = f.serial.Port(3);
    ASSERT_TRUE(f.link.m_port.Open(3, 115200, 8, 1));
    f.link.ClearBuffers();
    f.link.m_mode = MODE_RAW;
    f.link.m_sendLen = CPhoneLink::kMaxPacket + 1;
    EXPECT_EQ(f.link.BuildFrame(), 0u);
    f.link.m_sendLen = CPhoneLink::kMaxPacket + 1;
    EXPECT_FALSE(f.link.Transact(1, 100));
    EXPECT_EQ(f.link.m_lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(port.WriteCount(), 0u);
}

}  // namespace
}  // namespace pellan
