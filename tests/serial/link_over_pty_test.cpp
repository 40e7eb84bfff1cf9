// The phone link's transaction through the POSIX backend and a real pseudo-terminal, with the
// test playing the stick on the master side in real time.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "platform/serial_posix.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace pellan {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kPort = 3;

class LinkOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        pty.LinkAsPort(root.Path(), kPort);
        ASSERT_TRUE(link.m_port.Open(kPort, 115200, 8, 1));
    }

    // Reads one frame the link sent: bytes up to a closing flag (a leading flag is kept).
    Bytes ReceiveFrame() {
        Bytes frame;
        while (true) {
            const Bytes one = pty.ReceiveFromPort(1, 3000);
            if (one.empty()) {
                return frame;
            }
            frame.push_back(one[0]);
            if (one[0] == frame::kFlag && frame.size() > 1) {
                return frame;
            }
        }
    }
    void Request(LinkMode mode, uint8_t code) {
        link.ClearBuffers();
        link.m_mode = mode;
        link.m_request.code = code;
    }
    Bytes Body() const {
        return Bytes(link.m_recvBuf.begin(), link.m_recvBuf.begin() + link.m_recvLen - 2);
    }

    test::TempDir root;
    test::PtyPair pty;
    platform::SystemClock clock;
    platform::PosixSerialProvider serial{root.Path()};
    CPhoneLink link{serial, clock};
};

TEST_F(LinkOverPty, ReplyArrivingInPiecesIsTakenWhole) {
    const Bytes body = {0x01, 0x78, 0x7E, 0x34, 0x7D};
    auto stick = std::async(std::launch::async, [&] {
        const Bytes request = ReceiveFrame();
        const Bytes reply = frame::EncodeFrame(body, false);
        pty.SendToPort(Bytes(reply.begin(), reply.begin() + 4));
        pty.SendToPort(Bytes(reply.begin() + 4, reply.end()));
        return request;
    });
    Request(MODE_DIAG, 0x01);
    EXPECT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    EXPECT_EQ(stick.get(), frame::EncodeFrame({0x01}, false));
    EXPECT_EQ(Body(), body);
}

TEST_F(LinkOverPty, StaleInputIsDroppedBeforeTheRequest) {
    // Leftovers of an earlier, late reply would otherwise be read as this request's reply.
    ASSERT_TRUE(pty.SendToPort({0x7E, 0x13, 0x01, 0x7E, 0x55}));
    for (int i = 0; i < 200 && link.m_port.BytesWaiting() < 5; ++i) {
        link.m_port.WaitForInput(10);
    }
    ASSERT_EQ(link.m_port.BytesWaiting(), 5u);
    auto stick = std::async(std::launch::async, [&] {
        ReceiveFrame();
        pty.SendToPort(frame::EncodeFrame({0x3A}, false));
    });
    Request(MODE_DIAG, 0x3A);
    EXPECT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    stick.get();
    EXPECT_EQ(Body(), Bytes{0x3A});
}

TEST_F(LinkOverPty, SilentFirstAttemptIsRetried) {
    auto stick = std::async(std::launch::async, [&] {
        const Bytes first = ReceiveFrame();  // ignored
        const Bytes second = ReceiveFrame();
        pty.SendToPort(frame::EncodeFrame({0x02}, true));
        return first == second && !first.empty();
    });
    Request(MODE_DLOAD, 0x06);
    EXPECT_TRUE(link.Transact(2, 1000)) << link.m_lastError;
    EXPECT_TRUE(stick.get());
    EXPECT_EQ(link.m_response[0], 0x02);
}

TEST_F(LinkOverPty, LargestReplyWithoutLeadingFlag) {
    // 1024 bytes as read, the flag put in front makes 1025 in the receive buffer.
    Bytes body(1020, 0x33);
    body[0] = 0x02;
    Bytes reply;
    for (int last = 0; last < 256 && reply.size() != 1024; ++last) {
        body.back() = static_cast<uint8_t>(last == 0x7E || last == 0x7D ? 0 : last);
        reply = frame::EncodeFrame(body, false);
    }
    ASSERT_EQ(reply.size(), 1024u);
    auto stick = std::async(std::launch::async, [&] {
        ReceiveFrame();
        pty.SendToPort(reply);
    });
    Request(MODE_DLOAD, 0x06);
    EXPECT_TRUE(link.Transact(1, 2000)) << link.m_lastError;
    stick.get();
    EXPECT_EQ(link.m_rawReplyLen, 1024u);
    EXPECT_EQ(Body(), body);
}

TEST_F(LinkOverPty, VanishedStickIsNoReply) {
    pty.CloseMaster();
    Request(MODE_DIAG, 0x01);
    EXPECT_FALSE(link.Transact(2, 100));
    EXPECT_EQ(link.m_lastError, "Port Cannot Send desired data to the Phone");
}

}  // namespace
}  // namespace pellan
