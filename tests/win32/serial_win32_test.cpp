#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/serial_win32.h"

namespace pellan::test {
namespace {

using platform::LineSettings;
using platform::SerialDevice;
using platform::Win32SerialProvider;
using SteadyClock = std::chrono::steady_clock;

constexpr LineSettings kLine{115200, 8, 1};

long long MsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

TEST(SerialWin32, MissingPortsAndUnusableSettingsDoNotOpenAndNamesAreTheDevices) {
    Win32SerialProvider provider;
    // COM250 exists neither on a test machine nor in a fresh Wine prefix.
    const std::pair<int, LineSettings> refused[] = {
        {250, kLine}, {0, kLine}, {1, {0, 8, 1}}, {1, {115200, 4, 1}}, {1, {115200, 8, 3}}};
    for (const auto& [port, settings] : refused) {
        EXPECT_EQ(provider.Open(port, settings), nullptr)
            << port << " " << settings.baud << "/" << settings.dataBits << "/" << settings.stopBits;
    }
    EXPECT_EQ(Win32SerialProvider::DeviceName(117), "\\\\.\\COM117");
    EXPECT_EQ(Win32SerialProvider::ModeText(7, kLine), "COM7: 115200, n, 8, 1");
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The far end of the ports below is tests/win32/pty_peer.py on Linux pseudo-terminals that Wine
// shows as COM ports: port N echoes every chunk 150 ms after it arrived, port N+1 never reads.
// run_with_pty_peer.sh starts one and names N in PELLAN_WIN32_PTY_PORT; otherwise, under Wine,
// the test starts its own (Wine runs a Linux program named by its Z: path) on a port derived from
// the process id, so that test programs running side by side do not meet.
class PtyPeer {
  public:
    static PtyPeer& Get() {
        static PtyPeer peer;
        return peer;
    }
    int Port() const { return m_port; }
    const std::string& Problem() const { return m_problem; }

    ~PtyPeer() {
        if (!m_stopFile.empty()) {
            std::ofstream(ToWindows(m_stopFile)).put('\n');
            // The peer removes its ready file as it ends, after the port links.
            for (int i = 0; i < 100 && std::filesystem::exists(ToWindows(m_readyFile)); ++i) {
                Sleep(20);
            }
        }
    }

  private:
    PtyPeer() {
        if (const char* port = std::getenv("PELLAN_WIN32_PTY_PORT"); port && *port) {
            m_port = std::atoi(port);
            return;
        }
        if (!UnderWine()) {
            m_problem = "no pseudo-terminal peer on Windows (the COM port tests run under Wine)";
            return;
        }
        std::string prefix;
        if (const char* wine = std::getenv("WINEPREFIX"); wine && *wine) {
            prefix = wine;
        } else if (const char* home = std::getenv("HOME"); home && *home) {
            prefix = std::string(home) + "/.wine";
        }
        const std::string python = "/usr/bin/python3";
        if (prefix.empty() || !std::filesystem::exists(ToWindows(python))) {
            m_problem = "no Wine prefix or no /usr/bin/python3 to run the peer";
            return;
        }
        const std::string base = "/tmp/pellan-pty-peer-" + std::to_string(GetCurrentProcessId());
        m_readyFile = base + ".ready";
        m_stopFile = base + ".stop";
        std::filesystem::remove(ToWindows(m_stopFile));
        m_port = 40 + static_cast<int>(GetCurrentProcessId() % 100) * 2;
        std::string command = python + " " + std::string(PELLAN_SOURCE_DIR) +
                              "/tests/win32/pty_peer.py --prefix " + prefix + " --port " +
                              std::to_string(m_port) + " --ready-file " + m_readyFile +
                              " --stop-file " + m_stopFile + " --max-seconds 600";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(ToWindows(python).string().c_str(), command.data(), nullptr, nullptr,
                            FALSE, 0, nullptr, nullptr, &startup, &info)) {
            m_problem = "the peer could not be started";
            m_stopFile.clear();
            return;
        }
        // Wine gives a Linux program no handle worth waiting on; its ready file tells instead.
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        for (int i = 0; i < 500 && !std::filesystem::exists(ToWindows(m_readyFile)); ++i) {
            Sleep(20);
        }
        if (!std::filesystem::exists(ToWindows(m_readyFile))) {
            m_problem = "the peer did not make its ports within 10 s";
        }
    }

    // A Linux path as a Windows program under Wine reaches it: the Z: drive is "/".
    static std::filesystem::path ToWindows(const std::string& path) {
        std::string text = "Z:" + path;
        std::replace(text.begin(), text.end(), '/', '\\');
        return text;
    }

    int m_port = 0;
    std::string m_problem;
    std::string m_readyFile;
    std::string m_stopFile;
};

class PtyPort : public ::testing::Test {
  protected:
    static constexpr int kEchoDelayMs = 150;

    void SetUp() override {
        const PtyPeer& peer = PtyPeer::Get();
        // Without Wine there are no pseudo-terminals to play a stick's port.
        if (!UnderWine() && peer.Port() == 0) {
            GTEST_SKIP() << peer.Problem();
        }
        ASSERT_NE(peer.Port(), 0) << peer.Problem();
        m_port = peer.Port();
        m_device = m_provider.Open(m_port, kLine);
        ASSERT_NE(m_device, nullptr) << "COM" << m_port;
        m_device->Purge();
    }

    size_t Send(const std::string& text, bool dropInput) {
        return m_device->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                               dropInput);
    }

    // Waits for `count` bytes to be queued (the echo), up to `ms`.
    bool AwaitQueued(size_t count, uint32_t ms = 3000) {
        const auto start = SteadyClock::now();
        while (m_device->BytesWaiting() < count) {
            if (MsSince(start) > ms) {
                return false;
            }
            m_device->WaitForInput(20);
        }
        return true;
    }

    std::string ReadAll() {
        std::string text;
        uint8_t buf[4096];
        while (size_t n = m_device->Read(buf, sizeof buf)) {
            text.append(reinterpret_cast<const char*>(buf), n);
        }
        return text;
    }

    Win32SerialProvider m_provider{300};
    int m_port = 0;
    std::unique_ptr<SerialDevice> m_device;
};

TEST_F(PtyPort, EchoesComeBackWholeAndAreReadInPiecesNeverBeyondTheQueue) {
    EXPECT_EQ(Send("hello world", true), 11u);
    ASSERT_TRUE(AwaitQueued(11));
    uint8_t buf[64] = {};
    ASSERT_EQ(m_device->Read(buf, 5), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
    EXPECT_EQ(m_device->BytesWaiting(), 6u);
    EXPECT_EQ(ReadAll(), " world");
    // With nothing queued a read returns at once, although the port's own read time-out is 30 s.
    const auto start = SteadyClock::now();
    EXPECT_EQ(m_device->Read(buf, sizeof buf), 0u);
    EXPECT_LT(MsSince(start), 1000);

    // A write that drops input must never drop bytes of the write before it. The ten writes take
    // far less than the echo delay, so every echo arrives after the last write.
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        const std::string block = "block" + std::to_string(i) + ";";
        ASSERT_EQ(Send(block, i % 2 == 0), block.size());
        expected += block;
    }
    ASSERT_TRUE(AwaitQueued(expected.size()));
    EXPECT_EQ(ReadAll(), expected);

    // A large transfer comes back whole.
    std::string data;
    for (int i = 0; data.size() < 64 * 1024; ++i) {
        data += static_cast<char>(i * 31 + 7);
    }
    ASSERT_EQ(Send(data, true), data.size());
    const auto sent = SteadyClock::now();
    std::string got;
    while (got.size() < data.size() && MsSince(sent) < 10000) {
        m_device->WaitForInput(100);
        got += ReadAll();
    }
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the echo differs from what was sent";
}

TEST_F(PtyPort, DropInputKeepInputPurgeAndWaitDoAsTheySay) {
    ASSERT_EQ(Send("stale", true), 5u);
    ASSERT_TRUE(AwaitQueued(5));
    ASSERT_EQ(Send("fresh", true), 5u);
    ASSERT_TRUE(AwaitQueued(5));
    EXPECT_EQ(ReadAll(), "fresh") << "the reply that arrived before the write is gone";

    ASSERT_EQ(Send("first", true), 5u);
    ASSERT_TRUE(AwaitQueued(5));
    ASSERT_EQ(Send("second", false), 6u);
    ASSERT_TRUE(AwaitQueued(11));
    EXPECT_EQ(ReadAll(), "firstsecond");

    // A purge discards what is queued.
    ASSERT_EQ(Send("junk", true), 4u);
    ASSERT_TRUE(AwaitQueued(4));
    m_device->Purge();
    EXPECT_EQ(m_device->BytesWaiting(), 0u);
    uint8_t buf[8];
    EXPECT_EQ(m_device->Read(buf, sizeof buf), 0u);

    // A wait sleeps until bytes arrive or its time runs out.
    auto start = SteadyClock::now();
    EXPECT_FALSE(m_device->WaitForInput(200));
    EXPECT_GE(MsSince(start), 200);
    EXPECT_LT(MsSince(start), 1500);

    start = SteadyClock::now();
    EXPECT_FALSE(m_device->WaitForInput(0));
    EXPECT_LT(MsSince(start), 200);

    // The echo's delay runs from when the peer took the byte, which may be before the write
    // reports its completion: measured from before the write.
    start = SteadyClock::now();
    ASSERT_EQ(Send("x", true), 1u);
    EXPECT_TRUE(m_device->WaitForInput(3000));
    const long long waited = MsSince(start);
    EXPECT_GE(waited, kEchoDelayMs - 20) << "woke before the echo was sent";
    EXPECT_LT(waited, 2000) << "did not wake when the echo arrived";

    // With bytes queued it returns at once.
    start = SteadyClock::now();
    EXPECT_TRUE(m_device->WaitForInput(3000));
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(PtyPort, ThePortIsOursAloneAndWrittenBytesSurviveItsClose) {
    // Wine applies no sharing rules to devices: a second CreateFileA of the same COM port
    // succeeds there, while Windows refuses it (ERROR_ACCESS_DENIED).
    if (!UnderWine()) {
        EXPECT_EQ(m_provider.Open(m_port, kLine), nullptr) << "a second open of a port in use";
    }
    // A reset written just before the close must still go out.
    ASSERT_EQ(Send("reset", true), 5u);
    m_device.reset();
    m_device = m_provider.Open(m_port, kLine);
    ASSERT_NE(m_device, nullptr);
    ASSERT_TRUE(AwaitQueued(5));
    EXPECT_EQ(ReadAll(), "reset");
}

TEST_F(PtyPort, StalledWriteEndsAtItsTimeLimitWithFewerBytes) {
    auto stalled = m_provider.Open(m_port + 1, kLine);
    ASSERT_NE(stalled, nullptr);
    std::vector<uint8_t> big(4 << 20, 0x7E);
    const auto start = SteadyClock::now();
    const size_t written = stalled->Write(big.data(), big.size(), false);
    const long long took = MsSince(start);
    EXPECT_LT(written, big.size());
    EXPECT_GE(took, 290) << "the write gave up before its time limit";
    EXPECT_LT(took, 3000) << "the write outlived its time limit";
    stalled->Purge();
}

}  // namespace
}  // namespace pellan::test
