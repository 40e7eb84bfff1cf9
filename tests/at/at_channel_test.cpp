// The AT channel against a scripted AT port on a test clock: when an answer is complete, attempts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/link_fixture.h"

namespace pellan::test {
namespace {

class AtChannel : public LinkFixture {
  protected:
    void Answer(std::vector<Piece> pieces) { AnswerLater(std::move(pieces), &atPort); }
    std::string Written(size_t i) {
        const Bytes w = atPort.Writes().at(i);
        return std::string(w.begin(), w.end());
    }
    // One byte every 15 ms.
    static std::vector<Piece> Trickle(const std::string& text) {
        std::vector<Piece> pieces;
        for (size_t i = 0; i < text.size(); ++i) {
            pieces.emplace_back(static_cast<uint32_t>(15 * (i + 1)), ToBytes(text.substr(i, 1)));
        }
        return pieces;
    }
};

// An answer is complete at its final result line (OK, ERROR, +CME ERROR:, +CMS ERROR:) once its
// line end is there; any other answer when two counts 20 ms apart agree.
TEST_F(AtChannel, AnswerIsCompleteAtItsFinalResultLine) {
    const struct {
        const char* what;
        std::vector<Piece> pieces;
        bool ok;
        const char* line;
        uint32_t endsAt;
    } cases[] = {
        // clang-format off
        {"ok", {{3, "\r\nOK\r\n"}}, true, "OK", 3},
        {"echo, text, then ok", {{2, "AT\r\r\nX 1.0 D\r\n"}, {9, "\r\nOK\r\n"}}, true, "X 1.0 D", 9},
        {"error", {{4, "\r\nERROR\r\n"}}, false, "ERROR", 4},
        {"+cme error", {{4, "\r\n+CME ERROR: 10\r\n"}}, true, "+CME ERROR: 10", 4},
        {"+cms error", {{4, "\r\n+CMS ERROR: 30\r\n"}}, true, "+CMS ERROR: 30", 4},
        {"ok waits for its line end", {{2, "\r\nOK"}, {15, "\r\n"}}, true, "OK", 15},
        {"no final line: the count rule", {{2, "\r\nV1\r\n"}}, true, "V1", 40},
        {"nothing", {}, false, "", 120},
        {"any case of error fails", {{2, "\r\nErRoR\r\n"}}, false, "ErRoR", 40},
        {"errors is no error", {{2, "\r\nERRORS\r\n"}}, true, "ERRORS", 40},
        {"one line end is no reply line", {{2, "OK\r\n"}}, false, "", 40},
        // one byte every 15 ms, still coming well after the time-out
        {"growing past the time-out", Trickle("\r\n+WDIAG: 6\r\n\r\nOK\r\n"), true, "+WDIAG: 6", 15 * 19},
        // clang-format on
    };
    ASSERT_TRUE(at.SetTimeout(100));
    ASSERT_TRUE(at.SetRetries(1));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Answer(c.pieces);
        std::string line;
        const uint32_t start = clock.TickMs();
        EXPECT_EQ(at.SendAt("AT", line), c.ok);
        EXPECT_EQ(clock.TickMs() - start, c.endsAt);
        EXPECT_EQ(line, c.line);
        clock.SleepMs(100);  // late pieces arrive; the next write drops them
    }
    // A paced channel never ends at the result line.
    at.m_pacedReplies = true;
    Answer({{3, "\r\nOK\r\n"}});
    std::string line;
    const uint32_t start = clock.TickMs();
    EXPECT_TRUE(at.SendAt("AT", line));
    EXPECT_EQ(clock.TickMs() - start, 40u);
}

TEST_F(AtChannel, AttemptsAndWhatIsRead) {
    EXPECT_TRUE(at.SetTimeout(9000) && at.m_timeoutMs == 5000 && at.SetTimeout(1000));
    EXPECT_FALSE(at.SetRetries(0) || at.SetRetries(10) || at.m_attempts != 3);
    ASSERT_TRUE(at.SetRetries(2));
    std::string line = "unchanged";
    const uint32_t start = clock.TickMs();
    EXPECT_FALSE(at.SendAt("AT+GMR", line));
    EXPECT_EQ(atPort.WriteCount(), 2u);
    EXPECT_EQ(clock.TickMs() - start, 2u * 1040);  // the time-out, to the end of its round
    EXPECT_EQ(line, "unchanged");
    // The second attempt's answer is taken; stale input never is; at most 256 bytes are read.
    int writes = 0;
    atPort.Inject(ToBytes("\r\nSTALE\r\n"));
    atPort.SetResponder([&](const Bytes&) {
        return ++writes == 2 ? ToBytes("\r\nOK\r\n" + std::string(400, 'x')) : Bytes{};
    });
    EXPECT_TRUE(at.SendAt("AT+WCDRUN=E", line));
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(Written(2), "AT+WCDRUN=E\r");
    EXPECT_EQ(line, "OK");
    EXPECT_EQ(at.m_reply.size(), 256u);
}

TEST_F(AtChannel, Commands) {
    const struct {
        const char* line;
        const char* version;
        int digit;  // the same line as the answer to "AT+WDIAG?"
    } cases[] = {
        // clang-format off
        {"HX402A V1.2 2008-05-01", "V1.2", 1}, {"V1.2", "", 0}, {"A B C D", "B", 0},
        {"+WDIAG: 6", "", 6}, {"+WDIAG: 12", "", 1}, {"+WDIAG: x", "", 0}, {"123456789", "", 9},
        // clang-format on
    };
    for (const auto& c : cases) {
        Answer({{0, ToBytes(std::string("\r\n") + c.line + "\r\n\r\nOK\r\n")}});
        std::string version = "unchanged";
        EXPECT_TRUE(at.QueryVersion(version)) << c.line;
        EXPECT_EQ(version, c.version) << c.line;
        EXPECT_EQ(at.QueryDiagPort(), c.digit) << c.line;
    }
    EXPECT_EQ(Written(0) + Written(1), "AT+GMR\rAT+WDIAG?\r");
    Answer({{0, "\r\nOK\r\n"}});
    EXPECT_TRUE(at.SetDiagPort(6) && at.SendCommand("AT+WCDRUN=F"));
    EXPECT_EQ(Written(atPort.WriteCount() - 2) + Written(atPort.WriteCount() - 1),
              "AT+WDIAG=6\rAT+WCDRUN=F\r");
    Answer({{0, "\r\nERROR\r\n"}});
    EXPECT_FALSE(at.SendCommand("AT+WCDRUN=9") || at.SetDiagPort(1) || at.QueryDiagPort() != 0);
}

}  // namespace
}  // namespace pellan::test
