#include "transport/at_channel.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace pellan {
namespace {

constexpr uint32_t kPollMs = 20;
constexpr char kCrLf[] = "\r\n";

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// Whether the answer so far ends an exchange: it holds a final result line (OK, ERROR, or a
// +CME/+CMS error) with its line end, and the two line ends the reply line is cut between. Only
// the bytes that are read count.
bool FinalResultArrived(const std::vector<uint8_t>& held) {
    const std::string text(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                            held.size(), CAtChannel::kMaxReply)));
    const size_t first = text.find(kCrLf);
    if (first == std::string::npos || text.find(kCrLf, first + 1) == std::string::npos) {
        return false;
    }
    for (size_t pos = 0, eol = 0; (eol = text.find(kCrLf, pos)) != std::string::npos;
         pos = eol + 2) {
        std::string line = text.substr(pos, eol - pos);
        line.erase(0, line.find_first_not_of('\r'));
        if (line == "OK" || line == "ERROR" || line.rfind("+CME ERROR:", 0) == 0 ||
            line.rfind("+CMS ERROR:", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

CAtChannel::CAtChannel(platform::SerialProvider& serial, platform::Clock& clock)
    : m_port(serial), m_clock(clock) {}

CAtChannel::~CAtChannel() {
    m_port.Close();
}

bool CAtChannel::SetTimeout(uint32_t ms) {
    m_timeoutMs = std::min(ms, kMaxTimeoutMs);
    return true;
}

bool CAtChannel::SetRetries(int count) {
    if (count < 1 || count > 9) {
        return false;
    }
    m_attempts = count;
    return true;
}

bool CAtChannel::SendAt(const std::string& command, std::string& line) {
    m_command = command + '\r';
    if (!Exchange()) {
        return false;
    }
    return ExtractReplyLine(m_reply, line);
}

bool CAtChannel::Exchange() {
    const auto* bytes = reinterpret_cast<const uint8_t*>(m_command.data());
    for (int32_t attempt = 0; attempt < m_attempts; ++attempt) {
        // Write purges both directions, so an answer to an earlier command cannot be taken for
        // this one.
        if (m_port.Write(bytes, m_command.size()) < m_command.size()) {
            continue;
        }
        if (AwaitAnswer()) {
            std::array<uint8_t, kMaxReply> buf{};
            const size_t n = m_port.Read(buf.data(), buf.size());
            m_reply.assign(reinterpret_cast<const char*>(buf.data()), n);
            return true;
        }
    }
    return false;
}

// An answer is complete at its final result line, or else when two counts 20 ms apart agree and
// are not zero. Without input by the time-out the attempt has failed, and at once on a port
// whose device is gone. An answer still growing at the time-out is waited for until it stops
// changing, so that its closing line is not cut off; since it must grow at every round to keep
// the wait going, the wait ends at the latest when the 256 bytes that are read are there.
bool CAtChannel::AwaitAnswer() {
    const bool paced = m_pacedReplies.load(std::memory_order_relaxed);
    // One poll interval; true when the wait is over before it ends.
    const auto pause = [&] {
        if (paced) {
            m_clock.SleepMs(kPollMs);
            return false;
        }
        return m_port.Pause(m_clock, kPollMs, [&] { return FinalResultArrived(m_port.Held()); }) !=
               CSerialPort::PauseEnd::kFull;
    };
    const uint32_t start = m_clock.TickMs();
    size_t extraRounds = 0;
    for (;;) {
        if (pause()) {
            return m_port.BytesWaiting() >= 1;
        }
        const size_t first = m_port.BytesWaiting();
        if (pause()) {
            return m_port.BytesWaiting() >= 1;
        }
        const size_t second = m_port.BytesWaiting();
        if (first >= 1 && second == first) {
            return true;
        }
        if (m_clock.TickMs() - start <= m_timeoutMs) {
            continue;
        }
        const bool growing = second > first && second < kMaxReply;
        if (!growing || ++extraRounds > kMaxReply) {
            return second >= 1;
        }
    }
}

bool CAtChannel::ExtractReplyLine(const std::string& reply, std::string& line) {
    const size_t first = reply.find(kCrLf);
    if (first == std::string::npos) {
        return false;
    }
    const size_t start = first + 2;
    const size_t end = reply.find(kCrLf, first + 1);
    if (end == std::string::npos) {
        return false;
    }
    line = reply.substr(start, end - start);
    return !EqualsNoCase(line, "error");
}

bool CAtChannel::QueryVersion(std::string& version) {
    std::string line;
    if (!SendAt("AT+GMR", line)) {
        return false;
    }
    // The line reads "<prefix> <version> <date>": the version is the word between the blanks.
    const size_t blank = line.find(' ');
    const std::string rest = blank == std::string::npos ? line : line.substr(blank + 1);
    const size_t end = rest.find(' ');
    version = end == std::string::npos ? std::string() : rest.substr(0, end);
    return true;
}

bool CAtChannel::SetDiagPort(int n) {
    std::array<char, 32> command{};
    std::snprintf(command.data(), command.size(), "AT+WDIAG=%d", n);
    std::string line;
    return SendAt(command.data(), line);
}

int CAtChannel::QueryDiagPort() {
    std::string line;
    if (!SendAt("AT+WDIAG?", line)) {
        return 0;
    }
    // "+WDIAG: " precedes the one digit that is read.
    constexpr size_t kPrefixLen = 8;
    if (line.size() <= kPrefixLen) {
        return 0;
    }
    const char c = line[kPrefixLen];
    return c >= '0' && c <= '9' ? c - '0' : 0;
}

bool CAtChannel::SendCommand(const std::string& command) {
    std::string line;
    return SendAt(command, line);
}

}  // namespace pellan
