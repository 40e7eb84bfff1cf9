// The POSIX serial backend, CSerialPort, the link and the AT channel over pseudo-terminal pairs.
#include "platform/serial_posix.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "diag/phone_link.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "transport/at_channel.h"

namespace pellan {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
constexpr int kPort = 12;  // above 9 on purpose

class PosixSerial : public ::testing::Test {
  protected:
    void SetUp() override { pty.LinkAsPort(root.Path(), kPort); }
    std::unique_ptr<platform::SerialDevice> OpenPort(platform::LineSettings settings = {}) {
        return provider.Open(kPort, settings);
    }
    termios Settings() const {  // as the master sees the slave's
        termios tio{};
        return ::tcgetattr(pty.MasterFd(), &tio) == 0 ? tio : termios{};
    }
    // Waits (really) until `count` bytes are queued on `port`, at most two seconds.
    static bool Queued(CSerialPort& port, size_t count) {
        for (int i = 0; i < 400 && port.BytesWaiting() < count; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return port.BytesWaiting() == count;
    }

    test::TempDir root;
    test::PtyPair pty;
    platform::PosixSerialProvider provider{root.Path()};
};

TEST_F(PosixSerial, OpensRawWithTheLineSettingsOrNotAtAll) {
    for (const bool twoStopBits : {false, true}) {
        auto device = OpenPort({twoStopBits ? 9600 : 115200, 8, twoStopBits ? 2 : 1});
        ASSERT_NE(device, nullptr);
        const termios tio = Settings();
        EXPECT_EQ(::cfgetospeed(&tio), twoStopBits ? B9600 : B115200);
        EXPECT_EQ(::cfgetispeed(&tio), ::cfgetospeed(&tio));
        EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL | CREAD),
                  static_cast<tcflag_t>(CS8 | (twoStopBits ? CSTOPB : 0) | CLOCAL | CREAD));
        // No echo, no line editing; the other raw flags: the round trip of every byte value below.
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(OpenPort(), nullptr);  // one user at a time
    }
    EXPECT_EQ(OpenPort({12345, 8, 1}), nullptr);
    EXPECT_EQ(OpenPort({115200, 9, 1}), nullptr);
    std::ofstream(root.Path() / "COM14") << "not a terminal";
    std::filesystem::create_symlink(root.Path() / "gone", root.Path() / "COM15");
    for (int missing : {13, 14, 15, 0}) {
        EXPECT_EQ(provider.Open(missing, {}), nullptr) << missing;
    }
}

TEST_F(PosixSerial, ReadsNeverWaitWaitsLastTheirLimit) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    uint8_t buf[300];
    EXPECT_EQ(device->Read(buf, sizeof buf), 0u);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);  // CR, LF, XON, XOFF, ^C, 0x7E, 0x7D pass untouched
    }
    ASSERT_TRUE(pty.SendToPort(all));
    EXPECT_TRUE(device->WaitForInput(2000));
    for (int i = 0; i < 100 && device->BytesWaiting() < all.size(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(device->Read(buf, 4), 4u);  // at most what is asked for; the rest stays
    ASSERT_EQ(device->Read(buf + 4, sizeof buf - 4), all.size() - 4);
    EXPECT_EQ(Bytes(buf, buf + all.size()), all);
    EXPECT_EQ(device->Write(all.data(), all.size(), true), all.size());
    EXPECT_EQ(pty.ReceiveFromPort(all.size(), 2000), all);
}

// Held input (what a reply wait looked at) is queued input: counted, read first, dropped by Write
// and kept by WriteKeepRx like the driver's queue.
TEST_F(PosixSerial, HeldInputIsQueuedInput) {
    ASSERT_TRUE(pty.SendToPort({'o', 'l', 'd'}));
    std::this_thread::sleep_for(50ms);
    CSerialPort port(provider);
    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    EXPECT_EQ(port.BytesWaiting(), 0u);  // open drops what came before
    ASSERT_TRUE(pty.SendToPort({'s', 't', 'a', 'l', 'e'}));
    ASSERT_TRUE(Queued(port, 5));
    EXPECT_EQ(port.Held().size(), 5u);
    ASSERT_TRUE(pty.SendToPort({'!'}));
    ASSERT_TRUE(Queued(port, 6));
    const Bytes request = {'r', 'e', 'q'};
    EXPECT_EQ(port.Write(request.data(), request.size()), request.size());
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(pty.ReceiveFromPort(3, 2000), request);
    ASSERT_TRUE(pty.SendToPort({'a', 'c', 'k'}));
    ASSERT_TRUE(Queued(port, 3));
    port.Held();
    EXPECT_EQ(port.WriteKeepRx(request.data(), request.size()), request.size());
    uint8_t buf[8] = {};
    ASSERT_EQ(port.Read(buf, 2), 2u);
    ASSERT_EQ(port.Read(buf + 2, sizeof buf), 1u);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{'a', 'c', 'k'}));
    // Open on an open port keeps its settings; a closed one does nothing.
    EXPECT_TRUE(port.Open(kPort, 9600, 7, 2));
    EXPECT_EQ(::cfgetospeed(&static_cast<const termios&>(Settings())), B115200);
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.Write(buf, 1) + port.BytesWaiting() + port.Read(buf, 1), 0u);
    EXPECT_TRUE(port.Gone());
}

TEST_F(PosixSerial, WritesGoOutWholeOrSayHowMuchWentOut) {
    const Bytes reset(900, 0x29);  // written just before the close, it must still go out
    CSerialPort port(provider);
    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    ASSERT_EQ(port.Write(reset.data(), reset.size()), reset.size());
    port.Close();
    EXPECT_EQ(pty.ReceiveFromPort(reset.size(), 2000), reset);
    // Nobody reads: a write gives up at its time limit and says how much went out.
    auto device = platform::PosixSerialProvider(root.Path(), 300).Open(kPort, {});
    const Bytes big(1 << 20, 0x5A);
    const size_t written = device->Write(big.data(), big.size(), true);
    EXPECT_LT(written, big.size());
    EXPECT_EQ(pty.ReceiveUntilQuiet(200).size(), written);
}

// A port whose stick has gone (hung up) ends every wait at once instead of at its time-out, on
// any clock.
TEST_F(PosixSerial, NoWaitOnAHungUpPort) {
    platform::VirtualClock clock;
    CPhoneLink link(provider, clock);
    CAtChannel at(provider, clock);
    for (const bool atPort : {false, true}) {
        SCOPED_TRACE(atPort ? "AT channel" : "phone link");
        test::PtyPair gone;
        const int number = atPort ? kPort + 2 : kPort + 1;
        gone.LinkAsPort(root.Path(), number);
        CSerialPort& port = atPort ? at.m_port : link.m_port;
        port.Close();
        ASSERT_TRUE(port.Open(number, 115200, 8, 1));
        auto pulled = std::async(std::launch::async, [&] {
            gone.ReceiveFromPort(1, 3000);  // the request went out; the stick leaves the bus
            gone.CloseMaster();
        });
        const uint32_t start = clock.TickMs();
        if (atPort) {
            at.SetRetries(1);
            std::string line;
            EXPECT_FALSE(at.SendAt("AT", line));
        } else {
            link.ClearBuffers();
            link.m_mode = MODE_DLOAD;
            link.m_request.code = 0x06;
            EXPECT_FALSE(link.Transact(1, 10000));
            EXPECT_EQ(link.m_lastError, "Port Cannot Receive Desired Data from the Phone");
        }
        pulled.get();
        EXPECT_LT(clock.TickMs() - start, 4000u);  // time-outs: 10 s, 5 s; the rest is the stick
        EXPECT_TRUE(port.Gone());
        const Bytes block(1024, 0x42);
        EXPECT_EQ(port.Write(block.data(), block.size()), 0u);  // and writes fail at once
        EXPECT_FALSE(port.WaitForInput(10000));
    }
}

}  // namespace
}  // namespace pellan
