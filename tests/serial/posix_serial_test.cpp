// The POSIX serial backend and CSerialPort over real pseudo-terminal pairs: the test plays the
// stick on the master side of a pair whose slave is linked as DIR/COM<N>.
#include "platform/serial_posix.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "transport/serial_port.h"

namespace pellan {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr int kPort = 12;  // above 9 on purpose

Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Waits (really) until at least `count` bytes are queued on `device`, at most two seconds.
bool AwaitQueued(platform::SerialDevice& device, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (device.BytesWaiting() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        device.WaitForInput(50);
        std::this_thread::sleep_for(1ms);  // the count may grow in steps
    }
    return true;
}

// Runs `call` on a thread; false when it has not returned within `limit` (it is then left to
// finish when the test unblocks it).
template <typename Call>
bool ReturnsWithin(std::chrono::milliseconds limit, Call call) {
    auto done = std::async(std::launch::async, call);
    const bool inTime = done.wait_for(limit) == std::future_status::ready;
    return inTime;
}

class PosixSerial : public ::testing::Test {
  protected:
    void SetUp() override { pty.LinkAsPort(root.Path(), kPort); }

    std::unique_ptr<platform::SerialDevice> OpenPort(platform::LineSettings settings = {}) {
        return provider.Open(kPort, settings);
    }
    // The line settings the slave has now, as the master sees them.
    termios Settings() const {
        termios tio{};
        EXPECT_EQ(::tcgetattr(pty.MasterFd(), &tio), 0);
        return tio;
    }

    test::TempDir root;
    test::PtyPair pty;
    platform::PosixSerialProvider provider{root.Path()};
};

// ---- open ----

TEST_F(PosixSerial, OpensRawWithTheLineSettings) {
    struct Case {
        platform::LineSettings settings;
        speed_t speed;
        tcflag_t size;
        bool twoStopBits;
    };
    const Case cases[] = {
        {{115200, 8, 1}, B115200, CS8, false},
        {{9600, 8, 2}, B9600, CS8, true},
        {{57600, 8, 1}, B57600, CS8, false},
        {{230400, 8, 1}, B230400, CS8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings.baud);
        auto device = OpenPort(c.settings);
        ASSERT_NE(device, nullptr);
        const termios tio = Settings();
        EXPECT_EQ(::cfgetospeed(&tio), c.speed);
        EXPECT_EQ(::cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits);
        EXPECT_EQ(tio.c_cflag & (PARENB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

TEST_F(PosixSerial, NeverSilentlyKeepsOtherSettings) {
    // Some kernels force 8 data bits on a pseudo-terminal: the port then must not open at all.
    auto device = OpenPort({9600, 7, 1});
    if (device != nullptr) {
        EXPECT_EQ(Settings().c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    }
}

TEST_F(PosixSerial, RefusesSettingsItCannotKeep) {
    const platform::LineSettings refused[] = {{12345, 8, 1},  {0, 8, 1},      {115200, 9, 1},
                                              {115200, 4, 1}, {115200, 8, 0}, {115200, 8, 3}};
    for (const auto& settings : refused) {
        EXPECT_EQ(OpenPort(settings), nullptr)
            << settings.baud << " " << settings.dataBits << " " << settings.stopBits;
    }
    EXPECT_NE(OpenPort(), nullptr);  // a refusal leaves the port free
}

TEST_F(PosixSerial, PortsWithoutAUsableNodeDoNotOpen) {
    std::ofstream(root.Path() / "COM14") << "not a terminal";
    std::filesystem::create_symlink(root.Path() / "gone", root.Path() / "COM15");
    EXPECT_EQ(provider.Open(13, {}), nullptr);  // missing
    EXPECT_EQ(provider.Open(14, {}), nullptr);  // a plain file
    EXPECT_EQ(provider.Open(15, {}), nullptr);  // dangling link
    EXPECT_EQ(provider.Open(0, {}), nullptr);
}

TEST_F(PosixSerial, PortIsForOneUserAtATime) {
    auto first = OpenPort();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OpenPort(), nullptr);
    platform::PosixSerialProvider otherProvider(root.Path());
    EXPECT_EQ(otherProvider.Open(kPort, {}), nullptr);
    first.reset();
    EXPECT_NE(OpenPort(), nullptr);
}

// ---- read ----

TEST_F(PosixSerial, ReadOnAnEmptyQueueReturnsAtOnce) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    uint8_t buf[64];
    size_t got = 99;
    const bool returned = ReturnsWithin(5s, [&] { got = device->Read(buf, sizeof buf); });
    if (!returned) {
        pty.SendToPort({0x00});  // release the blocked read before failing
    }
    ASSERT_TRUE(returned);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(device->BytesWaiting(), 0u);
    EXPECT_FALSE(device->WaitForInput(20));
}

TEST_F(PosixSerial, WaitForInputWaitsItsWholeLimitEvenBelowAMillisecondLeft) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    // A look of 1 ms that answered at once would turn every short wait for an acknowledgement
    // into a spin; each look must last at least its limit on a silent port.
    for (const uint32_t ms : {1u, 2u, 7u}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(device->WaitForInput(ms));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
    }
    pty.SendToPort({0x7E});
    EXPECT_TRUE(device->WaitForInput(2000));
}

TEST_F(PosixSerial, ReadTakesAtMostMaxAndLeavesTheRest) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    const Bytes sent = Ascii("0123456789");
    ASSERT_TRUE(pty.SendToPort(sent));
    ASSERT_TRUE(AwaitQueued(*device, sent.size()));
    EXPECT_EQ(device->BytesWaiting(), 10u);

    uint8_t buf[64] = {};
    ASSERT_EQ(device->Read(buf, 4), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), Ascii("0123"));
    EXPECT_EQ(device->BytesWaiting(), 6u);
    ASSERT_EQ(device->Read(buf, sizeof buf), 6u);
    EXPECT_EQ(Bytes(buf, buf + 6), Ascii("456789"));
    EXPECT_EQ(device->Read(buf, sizeof buf), 0u);
}

TEST_F(PosixSerial, BinaryBytesPassUntouchedBothWays) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);  // includes CR, LF, XON, XOFF, ^C, 0x7E, 0x7D
    }
    ASSERT_TRUE(pty.SendToPort(all));
    ASSERT_TRUE(AwaitQueued(*device, all.size()));
    Bytes got(300);
    got.resize(device->Read(got.data(), got.size()));
    EXPECT_EQ(got, all);
    EXPECT_EQ(device->Write(all.data(), all.size(), true), all.size());
    EXPECT_EQ(pty.ReceiveFromPort(all.size(), 2000), all);
}

// ---- write ----

TEST_F(PosixSerial, WriteDropsStaleInputWriteKeepRxKeepsIt) {
    CSerialPort port(provider);
    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    auto queued = [&](size_t count) {
        for (int i = 0; i < 400 && port.BytesWaiting() < count; ++i) {
            port.WaitForInput(5);
        }
        return port.BytesWaiting();
    };

    ASSERT_TRUE(pty.SendToPort(Ascii("stale")));
    ASSERT_EQ(queued(5), 5u);
    const Bytes request = Ascii("request");
    EXPECT_EQ(port.Write(request.data(), request.size()), request.size());
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(pty.ReceiveFromPort(request.size(), 2000), request);

    ASSERT_TRUE(pty.SendToPort(Ascii("ack")));
    ASSERT_EQ(queued(3), 3u);
    const Bytes block = Ascii("block");
    EXPECT_EQ(port.WriteKeepRx(block.data(), block.size()), block.size());
    EXPECT_EQ(port.BytesWaiting(), 3u);
    uint8_t buf[8] = {};
    ASSERT_EQ(port.Read(buf, sizeof buf), 3u);
    EXPECT_EQ(Bytes(buf, buf + 3), Ascii("ack"));
    EXPECT_EQ(pty.ReceiveFromPort(block.size(), 2000), block);
}

TEST_F(PosixSerial, BackToBackWritesAllArriveIntactInOrder) {
    constexpr size_t kBlocks = 2000;
    constexpr size_t kBlockSize = 1024;
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);

    Bytes expected(kBlocks * kBlockSize);
    uint32_t state = 0x12345678;
    for (uint8_t& b : expected) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    // The master reads while blocks go out; once the writer is done it stops at the first
    // quiet spell, so lost bytes fail the test quickly instead of at a long time-out.
    std::atomic<bool> writerDone{false};
    auto received = std::async(std::launch::async, [&] {
        Bytes all;
        while (all.size() < expected.size()) {
            const bool last = writerDone.load();
            const Bytes more = pty.ReceiveFromPort(expected.size() - all.size(), 300);
            all.insert(all.end(), more.begin(), more.end());
            if (more.empty() && last) {
                break;
            }
        }
        return all;
    });
    for (size_t i = 0; i < kBlocks; ++i) {
        // Alternate the two kinds of write: neither may touch bytes still on their way.
        const bool dropInput = (i % 2) == 0;
        const size_t written =
            device->Write(expected.data() + i * kBlockSize, kBlockSize, dropInput);
        EXPECT_EQ(written, kBlockSize) << "block " << i;
        if (written != kBlockSize) {
            break;
        }
    }
    writerDone = true;
    const Bytes got = received.get();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < kBlocks; ++i) {
        ASSERT_TRUE(std::equal(got.begin() + i * kBlockSize, got.begin() + (i + 1) * kBlockSize,
                               expected.begin() + i * kBlockSize))
            << "block " << i << " differs";
    }
}

TEST_F(PosixSerial, WriteThatCannotFinishReturnsWhatWentOut) {
    platform::PosixSerialProvider quick(root.Path(), /*writeTimeoutMs=*/300);
    auto device = quick.Open(kPort, {});
    ASSERT_NE(device, nullptr);
    const Bytes big(1 << 20, 0x5A);  // far more than the terminal queues hold; nobody reads
    size_t written = big.size();
    ASSERT_TRUE(ReturnsWithin(10s, [&] { written = device->Write(big.data(), big.size(), true); }));
    EXPECT_LT(written, big.size());
    const Bytes arrived = pty.ReceiveUntilQuiet(200);
    EXPECT_EQ(arrived.size(), written);
}

TEST_F(PosixSerial, VanishedPeerNeitherHangsNorCrashes) {
    auto device = OpenPort();
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(pty.SendToPort(Ascii("unread")));
    ASSERT_TRUE(AwaitQueued(*device, 6));
    pty.CloseMaster();

    const Bytes block(1024, 0x42);
    size_t written = block.size();
    ASSERT_TRUE(
        ReturnsWithin(15s, [&] { written = device->Write(block.data(), block.size(), true); }));
    EXPECT_EQ(written, 0u);
    bool input = true;
    ASSERT_TRUE(ReturnsWithin(5s, [&] { input = device->WaitForInput(10000); }));
    EXPECT_FALSE(input);
    EXPECT_EQ(device->BytesWaiting(), 0u);
    uint8_t buf[16];
    EXPECT_EQ(device->Read(buf, sizeof buf), 0u);
    device.reset();  // closing a hung-up port must not hang either
}

// ---- CSerialPort on the pseudo-terminal ----

TEST_F(PosixSerial, PortOpenCloseRules) {
    CSerialPort port(provider);
    EXPECT_TRUE(port.Close());  // never opened
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());

    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    EXPECT_EQ(::cfgetospeed(&static_cast<const termios&>(Settings())), B115200);
    // Open on an open port succeeds and keeps the settings it has.
    EXPECT_TRUE(port.Open(kPort, 9600, 7, 2));
    const termios tio = Settings();
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    uint8_t byte = 0x01;
    EXPECT_EQ(port.Write(&byte, 1), 0u);
    EXPECT_EQ(port.WriteKeepRx(&byte, 1), 0u);
    EXPECT_EQ(port.BytesWaiting(), 0u);
    EXPECT_EQ(port.Read(&byte, 1), 0u);
    EXPECT_FALSE(port.WaitForInput(10));

    // After a failed open the object opens again once the node is there.
    EXPECT_FALSE(port.Open(kPort + 1, 115200, 8, 1));
    pty.LinkAsPort(root.Path(), kPort + 1);
    EXPECT_TRUE(port.Open(kPort + 1, 115200, 8, 1));
}

TEST_F(PosixSerial, OpenDiscardsWhatWasQueuedBefore) {
    ASSERT_TRUE(pty.SendToPort(Ascii("left over from earlier")));
    std::this_thread::sleep_for(50ms);
    CSerialPort port(provider);
    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    EXPECT_EQ(port.BytesWaiting(), 0u);
    ASSERT_TRUE(pty.SendToPort(Ascii("fresh")));
    for (int i = 0; i < 400 && port.BytesWaiting() < 5; ++i) {
        port.WaitForInput(5);
    }
    uint8_t buf[32] = {};
    ASSERT_EQ(port.Read(buf, sizeof buf), 5u);
    EXPECT_EQ(Bytes(buf, buf + 5), Ascii("fresh"));
}

TEST_F(PosixSerial, CloseDeliversTheLastWrite) {
    // A reset command written just before the port is closed must still reach the stick.
    for (int round = 0; round < 20; ++round) {
        CSerialPort port(provider);
        ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
        Bytes command(900, static_cast<uint8_t>(round));
        ASSERT_EQ(port.Write(command.data(), command.size()), command.size());
        port.Close();
        EXPECT_EQ(pty.ReceiveFromPort(command.size(), 2000), command) << "round " << round;
    }
}

}  // namespace
}  // namespace pellan
