// The AT channel against a scripted AT port: limits, the answer-collecting rule, the reply line
// and the commands built on it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/clock.h"
#include "support/fake_serial.h"
#include "transport/at_channel.h"

namespace pellan::test {
namespace {

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A virtual clock that lets a test act at given moments, for answers that arrive in pieces.
class ScriptedClock final : public platform::Clock {
  public:
    void SleepMs(uint32_t ms) override {
        m_base.SleepMs(ms);
        if (m_onTick) {
            m_onTick(m_base.TickMs());
        }
    }
    uint32_t TickMs() override { return m_base.TickMs(); }
    std::function<void(uint32_t now)> m_onTick;

  private:
    platform::VirtualClock m_base;
};

class AtChannel : public ::testing::Test {
  protected:
    static constexpr int kPortNumber = 7;
    void SetUp() override { ASSERT_TRUE(at.m_port.Open(kPortNumber, 115200, 8, 1)); }

    void Answer(const std::string& text) {
        port.SetResponder([b = ToBytes(text)](const Bytes&) { return b; });
    }
    std::string Written(size_t i = 0) {
        const auto w = port.Writes();
        return i < w.size() ? std::string(w[i].begin(), w[i].end()) : std::string();
    }

    ScriptedClock clock;
    FakeSerialProvider serial{clock};
    FakePort& port = serial.Port(kPortNumber);
    CAtChannel at{serial, clock};
};

TEST_F(AtChannel, Defaults) {
    EXPECT_EQ(at.m_timeoutMs, 5000u);
    EXPECT_EQ(at.m_attempts, 3);
}

TEST_F(AtChannel, TimeoutIsClampedTo5000) {
    const struct {
        uint32_t in, stored;
    } cases[] = {{0, 0}, {1000, 1000}, {5000, 5000}, {5001, 5000}, {0xFFFFFFFF, 5000}};
    for (const auto& c : cases) {
        EXPECT_TRUE(at.SetTimeout(c.in));
        EXPECT_EQ(at.m_timeoutMs, c.stored) << c.in;
    }
}

TEST_F(AtChannel, RetriesOutside1To9AreRefusedAndKept) {
    ASSERT_TRUE(at.SetRetries(4));
    for (int bad : {0, 10, -1, 100}) {
        EXPECT_FALSE(at.SetRetries(bad)) << bad;
        EXPECT_EQ(at.m_attempts, 4);
    }
    for (int good : {1, 9}) {
        EXPECT_TRUE(at.SetRetries(good));
        EXPECT_EQ(at.m_attempts, good);
    }
}

TEST_F(AtChannel, CommandGoesOutWithOneCr) {
    Answer("\r\nOK\r\n");
    std::string line;
    EXPECT_TRUE(at.SendAt("AT+WCDRUN=E", line));
    EXPECT_EQ(Written(), "AT+WCDRUN=E\r");
    EXPECT_EQ(at.m_command, "AT+WCDRUN=E\r");
}

TEST(AtReplyLine, Cases) {
    const struct {
        const char* reply;
        bool ok;
        const char* line;
    } cases[] = {
        {"\r\nOK\r\n", true, "OK"},
        {"\r\nERROR\r\n", false, "ERROR"},
        {"\r\nerror\r\n", false, "error"},
        {"\r\nErRoR\r\n", false, "ErRoR"},
        {"\r\nERRORS\r\n", true, "ERRORS"},
        {"AT+GMR\r\r\nX 1.0 D\r\n\r\nOK\r\n", true, "X 1.0 D"},  // echo on
        {"\r\nX 1.0 D\r\n\r\nOK\r\n", true, "X 1.0 D"},          // echo off
        {"\r\n\r\nOK\r\n", true, ""},
        {"\r\nOK", false, ""},
        {"OK\r\n", false, ""},
        {"\rOK\n", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        std::string line = "unchanged";
        EXPECT_EQ(CAtChannel::ExtractReplyLine(c.reply, line), c.ok) << c.reply;
        if (c.ok || std::string(c.line) != "") {
            EXPECT_EQ(line, c.line) << c.reply;
        }
    }
}

TEST_F(AtChannel, ErrorLineFailsOkLineSucceeds) {
    std::string line;
    Answer("\r\nERROR\r\n");
    EXPECT_FALSE(at.SendAt("AT+WCDRUN=8", line));
    Answer("\r\nOK\r\n");
    EXPECT_TRUE(at.SendAt("AT+WCDRUN=8", line));
    EXPECT_EQ(line, "OK");
}

TEST_F(AtChannel, NoAnswerSendsOncePerAttemptAndWaitsTheTimeOutEachTime) {
    ASSERT_TRUE(at.SetTimeout(1000));
    ASSERT_TRUE(at.SetRetries(2));
    std::string line = "unchanged";
    const uint32_t start = clock.TickMs();
    EXPECT_FALSE(at.SendAt("AT+GMR", line));
    const uint32_t elapsed = clock.TickMs() - start;
    EXPECT_EQ(port.WriteCount(), 2u);
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LE(elapsed, 2 * (1000u + 40u));
    EXPECT_EQ(line, "unchanged");
}

TEST_F(AtChannel, FailedWritesCountAsAttempts) {
    port.SetWriteFails(true);
    std::string line;
    EXPECT_FALSE(at.SendAt("AT", line));
    EXPECT_EQ(port.WriteCount(), 0u);
}

TEST_F(AtChannel, AnswerOfTheSecondAttemptIsTaken) {
    ASSERT_TRUE(at.SetTimeout(200));
    int writes = 0;
    port.SetResponder(
        [&](const Bytes&) { return ++writes == 2 ? ToBytes("\r\nOK\r\n") : Bytes{}; });
    std::string line;
    EXPECT_TRUE(at.SendAt("AT", line));
    EXPECT_EQ(writes, 2);
}

TEST_F(AtChannel, AnswerGrowingPastTheTimeOutIsReadOnceStable) {
    ASSERT_TRUE(at.SetTimeout(100));
    ASSERT_TRUE(at.SetRetries(1));
    const std::string answer = "\r\n+WDIAG: 6\r\n\r\nOK\r\n";
    // One byte every 15 ms from the write on: still arriving well after the 100 ms time-out.
    uint32_t writtenAt = 0;
    size_t sent = 0;
    port.SetResponder([&](const Bytes&) {
        writtenAt = clock.TickMs();
        sent = 0;
        return Bytes{};
    });
    clock.m_onTick = [&](uint32_t now) {
        while (sent < answer.size() && now - writtenAt >= 15 * (sent + 1)) {
            port.Inject(Bytes{static_cast<uint8_t>(answer[sent++])});
        }
    };
    EXPECT_EQ(at.QueryDiagPort(), 6);
    EXPECT_EQ(at.m_reply, answer);
    EXPECT_GT(clock.TickMs() - writtenAt, 15u * answer.size());
}

TEST_F(AtChannel, AtMost256BytesAreTaken) {
    std::string answer = "\r\nOK\r\n";
    answer.append(400, 'x');
    Answer(answer);
    std::string line;
    EXPECT_TRUE(at.SendAt("AT", line));
    EXPECT_EQ(at.m_reply.size(), 256u);
    EXPECT_EQ(at.m_reply, answer.substr(0, 256));
}

TEST_F(AtChannel, StaleInputIsDroppedBeforeSending) {
    port.Inject(ToBytes("\r\nSTALE\r\n"));
    Answer("\r\nFRESH\r\n");
    std::string line;
    EXPECT_TRUE(at.SendAt("AT", line));
    EXPECT_EQ(line, "FRESH");
}

TEST_F(AtChannel, VersionIsTheWordBetweenTheFirstTwoBlanks) {
    const struct {
        const char* line;
        const char* version;
    } cases[] = {
        {"HX402A V1.2 2008-05-01", "V1.2"},
        {"V1.2", ""},
        {"HX402A V1.2", ""},
        {"A B C D", "B"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Answer(std::string("\r\n") + c.line + "\r\n\r\nOK\r\n");
        std::string version = "unchanged";
        EXPECT_TRUE(at.QueryVersion(version)) << c.line;
        EXPECT_EQ(version, c.version) << c.line;
    }
    EXPECT_EQ(Written(), "AT+GMR\r");
}

TEST_F(AtChannel, VersionQueryFailsWithoutAnswer) {
    ASSERT_TRUE(at.SetTimeout(50));
    std::string version = "unchanged";
    EXPECT_FALSE(at.QueryVersion(version));
    EXPECT_EQ(version, "unchanged");
}

TEST_F(AtChannel, DiagPortDigit) {
    const struct {
        const char* line;
        int value;
    } cases[] = {
        {"+WDIAG: 6", 6},
        {"+WDIAG: 12", 1},
        {"+WDIAG: 0", 0},
        {"+WDIAG: x", 0},
        {"+WDIAG: ", 0},
        {"+WDIAG:", 0},
        {"", 0},
        {"12345678"
         "9",
         9},
    };
    for (const auto& c : cases) {
        Answer(std::string("\r\n") + c.line + "\r\n\r\nOK\r\n");
        EXPECT_EQ(at.QueryDiagPort(), c.value) << c.line;
    }
    EXPECT_EQ(Written(), "AT+WDIAG?\r");
    Answer("\r\nERROR\r\n");
    EXPECT_EQ(at.QueryDiagPort(), 0);
}

TEST_F(AtChannel, SetDiagPortAndSendCommand) {
    Answer("\r\nOK\r\n");
    EXPECT_TRUE(at.SetDiagPort(6));
    EXPECT_EQ(Written(0), "AT+WDIAG=6\r");
    EXPECT_TRUE(at.SetDiagPort(1));
    EXPECT_EQ(Written(1), "AT+WDIAG=1\r");
    EXPECT_TRUE(at.SendCommand("AT+WCDRUN=F"));
    EXPECT_EQ(Written(2), "AT+WCDRUN=F\r");
    Answer("\r\nERROR\r\n");
    EXPECT_FALSE(at.SendCommand("AT+WCDRUN=9"));
    EXPECT_FALSE(at.SetDiagPort(6));
}

}  // namespace
}  // namespace pellan::test
