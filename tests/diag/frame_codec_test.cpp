// CRC-16/X.25, escaping and frame layout of the HDLC-style framing, and the file CRC.
#include "diag/frame_codec.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "diag/link_fixture.h"
#include "support/temp_dir.h"

namespace pellan::test {
namespace {

// Known vectors, low byte first, every flipped bit caught; and the table-driven CRC agrees with
// the polynomial bit at a time at every length and start (its eight-byte steps meet the tail).
TEST(Crc, KnownVectorsAndTheBitwiseDefinition) {
    const std::string digits = "123456789";
    Bytes packet(digits.begin(), digits.end());
    EXPECT_EQ(frame::Crc16(packet.data(), 9), 0x906E);  // the CRC-16/X.25 check value
    EXPECT_EQ(frame::Crc16(packet.data(), 0), 0x0000);
    packet.resize(11);
    EXPECT_EQ(CPhoneLink::CrcAppend(packet.data(), 9), 11u);
    EXPECT_EQ(Bytes(packet.begin() + 9, packet.end()), (Bytes{0x6E, 0x90}));
    EXPECT_FALSE(CPhoneLink::CrcCheck(nullptr, 0));
    for (size_t i = 0; i < packet.size() * 8; ++i) {
        Bytes damaged = packet;
        damaged[i / 8] ^= static_cast<uint8_t>(1u << (i % 8));
        EXPECT_FALSE(CPhoneLink::CrcCheck(damaged.data(), 11)) << "bit " << i;
    }
    EXPECT_TRUE(CPhoneLink::CrcCheck(packet.data(), 11));
    Bytes data(1100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>((i * 1103515245u + 12345u) >> 7);
    }
    for (const uint16_t init : {0xFFFF, 0x1D0F}) {
        for (size_t start = 0; start < 8; ++start) {
            for (size_t len = 0; len < 40; ++len) {
                uint16_t crc = init;
                for (size_t i = start; i < start + len; ++i) {
                    crc ^= data[i];
                    for (int bit = 0; bit < 8; ++bit) {
                        crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
                    }
                }
                ASSERT_EQ(frame::CrcRun(init, data.data() + start, len), crc)
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
    for (const auto& [offset, length] : {std::pair{0u, 200000u}, {70000u, 130000u}, {5u, 0u}}) {
        ASSERT_TRUE(CPhoneLink::FileCrc16(path, offset, length, low, high)) << offset;
        EXPECT_EQ(low | (high << 8),
                  static_cast<uint16_t>(~frame::CrcRun(0, &content[offset], length)))
            << offset << "+" << length;
    }
    low = 0x11, high = 0x22;
    EXPECT_FALSE(CPhoneLink::FileCrc16(path, 199990, 11, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16(path, 300000, 1, low, high));
    EXPECT_FALSE(CPhoneLink::FileCrc16((dir.Path() / "missing").string(), 0, 1, low, high));
    EXPECT_EQ(low, 0x11);
    EXPECT_EQ(high, 0x22);
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

TEST_F(FrameLayout,
       OnlyFlagAndEscapeEscapedCrcTooAndTheFullyStuffedLargestPacketFitsOneMoreIsRefused) {
    const Bytes body = {0x01, 0x72, 0x13};  // its CRC is 7E 7D (low, high)
    EXPECT_EQ(RawFrame(body), (Bytes{0x01, 0x72, 0x13, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}));
    // Only the flag and the escape are escaped.
    const Bytes plain = {0x00, 0x5E, 0x5D, 0x7F, 0x20, 0xFF};
    const Bytes framed = RawFrame(plain);
    EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 6), plain);
    Bytes largest(CPhoneLink::kMaxPacket, 0x7E);
    for (size_t i = 0; i < largest.size(); i += 2) {
        largest[i] = 0x7D;
    }
    EXPECT_EQ(PacketOf(RawFrame(largest)), largest);
    link.ClearBuffers();
    link.m_mode = MODE_RAW;
    link.m_sendLen = CPhoneLink::kMaxPacket + 1;
    EXPECT_FALSE(link.Transact(1, 100));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(port.WriteCount(), 0u);
}

}  // namespace
}  // namespace pellan::test
