#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "transport/serial_port.h"

namespace pellan {

// One AT command at a time on the stick's AT (modem) port; returns the first line of the answer.
// Used by one thread at a time; no lock.
class CAtChannel {
  public:
    static constexpr uint32_t kMaxTimeoutMs = 5000;
    static constexpr size_t kMaxReply = 256;

    CAtChannel(platform::SerialProvider& serial, platform::Clock& clock);
    virtual ~CAtChannel();
    CAtChannel(const CAtChannel&) = delete;
    CAtChannel& operator=(const CAtChannel&) = delete;

    // Stores min(ms, 5000); always true.
    bool SetTimeout(uint32_t ms);
    // Stores count when 1 <= count <= 9; otherwise false and unchanged.
    bool SetRetries(int count);
    // True when an answer came and its first line is not "error" (any case).
    bool SendAt(const std::string& command, std::string& line);
    bool QueryVersion(std::string& version);
    bool SetDiagPort(int n);
    // The digit the stick reports for "AT+WDIAG?"; 0 when there is no answer.
    int QueryDiagPort();
    bool SendCommand(const std::string& command);

    // Cuts the first answer line out of `reply`; false without two CR LF pairs or on "error".
    static bool ExtractReplyLine(const std::string& reply, std::string& line);

    CSerialPort m_port;
    std::string m_command;
    std::string m_reply;
    uint32_t m_timeoutMs = kMaxTimeoutMs;
    int32_t m_attempts = 3;
    // The paced rule: an answer is complete only when two counts 20 ms apart agree, never at its
    // final result line (see CPhoneLink::m_pacedReplies).
    std::atomic<bool> m_pacedReplies{false};

  private:
    // Sends m_command up to m_attempts times until an answer arrives; m_reply = what was waiting.
    bool Exchange();
    // Polls the input count in pairs 20 ms apart until the answer stops growing (see the .cpp).
    bool AwaitAnswer();

    platform::Clock& m_clock;
};

}  // namespace pellan
