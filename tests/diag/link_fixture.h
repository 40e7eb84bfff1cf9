#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "platform/clock.h"
#include "support/fake_serial.h"

namespace pellan::test {

// A phone link on a scripted port of the virtual clock, shared by the tests of the framing and of
// the diagnostic, DMSS and streaming command sets. The "stick" answers through the port's
// responder with frames built by the same codec the real stick's replies follow.
class LinkFixture : public ::testing::Test {
  protected:
    static constexpr int kPortNumber = 3;

    void SetUp() override { ASSERT_TRUE(link.m_port.Open(kPortNumber, 115200, 8, 1)); }

    // Answers every write with the framed `body` (DIAG replies have no leading flag).
    void AnswerWith(const Bytes& body, bool leadingFlag = false) {
        AnswerRaw(frame::EncodeFrame(body, leadingFlag));
    }
    // Answers every write with exactly these bytes, as they would arrive on the wire.
    void AnswerRaw(const Bytes& raw) {
        port.SetResponder([raw](const Bytes&) { return raw; });
    }
    void Silence() { port.SetResponder(nullptr); }

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

    uint32_t Now() { return clock.TickMs(); }

    platform::VirtualClock clock;
    FakeSerialProvider serial{clock};
    FakePort& port = serial.Port(kPortNumber);
    CPhoneLink link{serial, clock};
};

inline std::string Sentence(const char* pattern, const std::string& reason) {
    if (pattern == nullptr) {
        return reason;  // commands without a sentence of their own leave the reason as it is
    }
    std::vector<char> text(std::string(pattern).size() + reason.size() + 1);
    std::snprintf(text.data(), text.size(), pattern, reason.c_str());
    return text.data();
}

inline const std::string kNoReply = "Port Cannot Receive Desired Data from the Phone";

}  // namespace pellan::test
