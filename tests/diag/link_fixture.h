#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "platform/clock.h"
#include "support/fake_serial.h"
#include "transport/at_channel.h"

namespace pellan::test {

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A phone link and an AT channel on scripted ports of the virtual clock, shared by the tests of
// the framing, the transaction, the diagnostic, DMSS and streaming command sets and the AT
// channel. The "stick" answers through a port's responder with frames built by the same codec the
// real stick's replies follow.
class LinkFixture : public ::testing::Test {
  protected:
    static constexpr int kPortNumber = 3;
    static constexpr int kAtPortNumber = 7;

    void SetUp() override {
        ASSERT_TRUE(link.m_port.Open(kPortNumber, 115200, 8, 1));
        ASSERT_TRUE(at.m_port.Open(kAtPortNumber, 115200, 8, 1));
    }

    // Answers every write with the framed `body` (DIAG replies have no leading flag).
    void AnswerWith(const Bytes& body, bool leadingFlag = false) {
        AnswerRaw(frame::EncodeFrame(body, leadingFlag));
    }
    // Answers every write with exactly these bytes, as they would arrive on the wire.
    void AnswerRaw(const Bytes& raw) {
        port.SetResponder([raw](const Bytes&) { return raw; });
    }
    void Silence() { port.SetResponder(nullptr); }
    // Every write on `on` (the DIAG port unless named) is answered with the pieces: bytes that
    // arrive `ms` after the write.
    struct Piece {
        Piece(uint32_t at, Bytes data) : ms(at), bytes(std::move(data)) {}
        Piece(uint32_t at, const char* text) : ms(at), bytes(ToBytes(text)) {}
        uint32_t ms;
        Bytes bytes;
    };
    void AnswerLater(std::vector<Piece> pieces, FakePort* on = nullptr) {
        FakePort& target = on != nullptr ? *on : port;
        target.SetResponder([&target, pieces](const Bytes&) {
            for (const Piece& p : pieces) {
                target.InjectAfter(p.ms, p.bytes);
            }
            return Bytes{};
        });
    }
    // The n-th write from now (from 0) is answered at once with replies[n]; later ones get silence.
    void AnswerInTurn(std::vector<Bytes> replies) {
        auto turn = std::make_shared<size_t>(0);
        port.SetResponder([replies, turn](const Bytes&) {
            return *turn < replies.size() ? replies[(*turn)++] : Bytes{};
        });
    }
    // Lets every late piece of a case arrive and drops it, so that nothing reaches the next case.
    void Settle() {
        clock.SleepMs(100);
        link.m_port.Close();
        ASSERT_TRUE(link.m_port.Open(kPortNumber, 115200, 8, 1));
    }

    // The packet inside a written frame: flags dropped, escapes removed, CRC checked and dropped.
    static Bytes PacketOf(const Bytes& written) {
        Bytes body(written);
        if (!body.empty() && body.front() == frame::kFlag) {
            body.erase(body.begin());
        }
        EXPECT_FALSE(body.empty());
        EXPECT_EQ(body.back(), frame::kFlag);
        body.pop_back();
        body.resize(frame::Unstuff(body.data(), body.size(), body.data()));
        EXPECT_TRUE(frame::CrcCheck(body.data(), body.size()));
        body.resize(body.size() >= 2 ? body.size() - 2 : 0);
        return body;
    }
    Bytes LastPacket() {
        const auto writes = port.Writes();
        EXPECT_FALSE(writes.empty());
        return writes.empty() ? Bytes{} : PacketOf(writes.back());
    }
    std::vector<Bytes> WritesSince(size_t count) {
        const auto writes = port.Writes();
        return {writes.begin() + static_cast<std::ptrdiff_t>(count), writes.end()};
    }
    std::vector<uint32_t> AckList() const {
        return {link.m_ackList.begin(), link.m_ackList.begin() + link.m_ackCount};
    }

    uint32_t Now() { return clock.TickMs(); }

    platform::VirtualClock clock;
    FakeSerialProvider serial{clock};
    FakePort& port = serial.Port(kPortNumber);
    FakePort& atPort = serial.Port(kAtPortNumber);
    CPhoneLink link{serial, clock};
    CAtChannel at{serial, clock};
};

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A streaming reply of a code and a little-endian word (an acknowledgement: code 0x08).
inline Bytes Le32Reply(uint8_t code, uint32_t value) {
    return frame::EncodeFrame(
        Bytes{code, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)},
        true);
}
inline Bytes Ack(uint32_t address) {
    return Le32Reply(0x08, address);
}

// `body` padded with filler until its DIAG frame is exactly `total` bytes on the wire (the last
// filler byte changed where the CRC needs escapes).
inline Bytes PaddedToFrameLength(Bytes body, size_t total) {
    for (size_t raw; (raw = frame::EncodeFrame(body, false).size()) != total;) {
        if (raw > total) {
            body.pop_back();
            body.back() = static_cast<uint8_t>(body.back() + 1);
        } else {
            body.push_back('z');
        }
    }
    return body;
}

// Commands without a sentence of their own leave the reason as it is.
inline std::string Sentence(const char* pattern, const std::string& reason) {
    std::string text = pattern != nullptr ? pattern : "%s";
    return text.replace(text.find("%s"), 2, reason);
}

inline const std::string kNoReply = "Port Cannot Receive Desired Data from the Phone";

}  // namespace pellan::test
