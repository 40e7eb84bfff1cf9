// CRC-16/X.25, escaping and frame layout of the HDLC-style framing, and the file CRC.
#include "diag/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "diag/link_fixture.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(Crc, KnownVectorsLowByteFirstAndEveryFlippedBitCaught) {
    const struct {
        Bytes data;
        uint16_t crc;
    } cases[] = {
        {Ascii("123456789"), 0x906E},  // the CRC-16/X.25 check value
        {{}, 0x0000},
        {{0x00}, 0xF078},
        {{0x7E}, 0x6A81},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x0F47},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame::Crc16(c.data.data(), c.data.size()), c.crc) << c.data.size() << " bytes";
    }
    Bytes packet = Ascii("123456789");
    packet.resize(11);
    EXPECT_EQ(CPhoneLink::CrcAppend(packet.data(), 9), 11u);
    EXPECT_EQ(packet[9], 0x6E);
    EXPECT_EQ(packet[10], 0x90);
    EXPECT_TRUE(CPhoneLink::CrcCheck(packet.data(), 11));
    EXPECT_FALSE(CPhoneLink::CrcCheck(nullptr, 0));
    for (size_t i = 0; i < packet.size() * 8; ++i) {
        Bytes damaged = packet;
        damaged[i / 8] ^= static_cast<uint8_t>(1u << (i % 8));
        EXPECT_FALSE(CPhoneLink::CrcCheck(damaged.data(), 11)) << "bit " << i;
    }
}

// Bit at a time, straight from the polynomial: what the table-driven CRC must agree with at every
// length, start and initial value (its eight-byte steps and the tail meet at every offset).
TEST(Crc, AgreesWithTheBitwiseDefinitionAtEveryLengthAndOffset) {
    const auto bitwise = [](uint16_t crc, const uint8_t* data, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
            }
        }
        return crc;
    };
    Bytes data(1100);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (const uint16_t init : {0xFFFF, 0x0000, 0x1D0F}) {
        for (size_t start = 0; start < 8; ++start) {
            for (const size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 33, 40, 1024, 1031, 1092}) {
                ASSERT_EQ(frame::CrcRun(init, data.data() + start, len),
                          bitwise(init, data.data() + start, len))
                    << "init " << init << " start " << start << " length " << len;
            }
        }
    }
}

TEST(FileCrc, RegionsInsideTheFileAndRefusals) {
    TempDir dir;
    const std::string path = (dir.Path() / "image.bin").string();
    Bytes content(200000);  // more than three read pieces
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>((i * 131u + 7u) ^ (i >> 8));
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    const std::string digits = (dir.Path() / "digits").string();
    std::ofstream(digits) << "123456789";
    uint8_t low = 0, high = 0;
    // The register starts from 0, not from the frame's 0xFFFF: complemented, this is not 0x906E.
    ASSERT_TRUE(CPhoneLink::FileCrc16(digits, 0, 9, low, high));
    EXPECT_EQ(low | (high << 8), 0xDE76);
    const struct {
        uint32_t offset, length;
    } regions[] = {{0, 9}, {0, 200000}, {1000, 65536}, {70000, 130000}, {199999, 1}, {5, 0}};
    for (const auto& r : regions) {
        ASSERT_TRUE(CPhoneLink::FileCrc16(path, r.offset, r.length, low, high)) << r.offset;
        const uint16_t crc = static_cast<uint16_t>(~frame::CrcRun(0, &content[r.offset], r.length));
        EXPECT_EQ(low | (high << 8), crc) << r.offset << "+" << r.length;
    }
    low = 0x11, high = 0x22;
    EXPECT_FALSE(CPhoneLink::FileCrc16(path, 199990, 11, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16(path, 300000, 1, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16((dir.Path() / "missing").string(), 0, 1, low, high));
    EXPECT_EQ(low, 0x11);
    EXPECT_EQ(high, 0x22);
}

TEST(Stuffing, EscapesOnlyFlagAndEscapeAndEveryByteRoundTrips) {
    const Bytes in = {0x00, 0x7E, 0x7D, 0x5E, 0x5D, 0x7F, 0x20, 0xFF};
    Bytes out(2 * in.size());
    out.resize(frame::Stuff(in.data(), in.size(), out.data()));
    EXPECT_EQ(out, (Bytes{0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x5E, 0x5D, 0x7F, 0x20, 0xFF}));
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    out.resize(2 * all.size());
    out.resize(frame::Stuff(all.data(), all.size(), out.data()));
    EXPECT_EQ(out.size(), 258u);
    out.resize(frame::Unstuff(out.data(), out.size(), out.data()));
    EXPECT_EQ(out, all);
}

class FrameLayout : public LinkFixture {
  protected:
    // The frame BuildFrame makes of a raw body: the layout on the wire.
    Bytes RawFrame(const Bytes& body) {
        link.ClearBuffers();
        link.m_mode = MODE_RAW;
        std::copy(body.begin(), body.end(), link.m_sendBuf.begin());
        link.m_sendLen = static_cast<uint32_t>(body.size());
        const uint32_t len = link.BuildFrame();
        return Bytes(link.m_sendBuf.begin(), link.m_sendBuf.begin() + len);
    }
};

TEST_F(FrameLayout, CrcOverTheUnescapedBodyIsEscapedToo) {
    const Bytes body = {0x01, 0x72, 0x13};  // its CRC is 7E 7D (low, high)
    ASSERT_EQ(frame::Crc16(body.data(), body.size()), 0x7D7E);
    EXPECT_EQ(RawFrame(body), (Bytes{0x01, 0x72, 0x13, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}));
    EXPECT_EQ(RawFrame({0x7E, 0x00, 0x7D}).front(), 0x7D) << "no leading flag, the body escaped";
}

TEST_F(FrameLayout, FullyStuffedLargestPacketFitsAndOneMoreByteIsRefusedUnsent) {
    Bytes body(CPhoneLink::kMaxPacket, 0x7E);
    for (size_t i = 0; i < body.size(); i += 2) {
        body[i] = 0x7D;
    }
    const Bytes sent = RawFrame(body);
    ASSERT_GE(sent.size(), 2 * body.size() + 3);
    EXPECT_EQ(PacketOf(sent), body);

    link.ClearBuffers();
    link.m_mode = MODE_RAW;
    link.m_sendLen = CPhoneLink::kMaxPacket + 1;
    EXPECT_EQ(link.BuildFrame(), 0u);
    link.m_sendLen = CPhoneLink::kMaxPacket + 1;
    EXPECT_FALSE(link.Transact(1, 100));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(port.WriteCount(), 0u);
}

}  // namespace
}  // namespace pellan::test
