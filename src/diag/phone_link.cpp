#include "diag/phone_link.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "diag/frame_codec.h"

namespace pellan {
namespace {

constexpr size_t kFileCrcPiece = 65536;  // the file is read in pieces of at most this size
constexpr uint8_t kStreamBlockWritten = 0x08;

const char* DiagErrorText(uint8_t code) {
    switch (code) {
        case 0x13:
            return "Bad command";
        case 0x14:
            return "The Request packet has invalid or inconsistent parameters";
        case 0x15:
            return "The Request packet has an invalid length";
        case 0x18:
            return "the DMSS isn't in a particular mode";
        case 0x42:
            return "the correct SPC has not yet been entered to unlock service programming";
        case 0x47:
            return "the correct Security Password has not yet been entered to unlock the phone";
        default:
            return "unknow reason";
    }
}

}  // namespace

CPhoneLink::CPhoneLink(platform::SerialProvider& serial, platform::Clock& clock)
    : m_port(serial), m_clock(clock) {
    ClearBuffers();
}

CPhoneLink::~CPhoneLink() {
    m_port.Close();
}

void CPhoneLink::ClearBuffers() {
    m_message.clear();
    m_payloadLen = 0;
    m_payload.fill(0);
    m_recvLen = 0;
    m_recvBuf.fill(0);
    m_sendLen = 0;
    m_sendBuf.fill(0);
}

void CPhoneLink::SetSpc(const std::string& spc) {
    m_spc = spc;
}

size_t CPhoneLink::CrcAppend(uint8_t* buf, size_t len) {
    return frame::CrcAppend(buf, len);
}

bool CPhoneLink::CrcCheck(const uint8_t* buf, uint16_t len) {
    return frame::CrcCheck(buf, len);
}

bool CPhoneLink::FileCrc16(const std::string& path, uint32_t offset, uint32_t length, uint8_t& low,
                           uint8_t& high) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    // The region must lie inside the file: a short read means it does not, and a CRC over part
    // of the region would pass for the CRC of all of it. fseek takes a long, which has 32 bits on
    // some systems, so large offsets are reached in steps.
    std::vector<uint8_t> piece(kFileCrcPiece);
    bool ok = true;
    for (uint64_t skip = offset; ok && skip > 0;) {
        const long step = static_cast<long>(std::min<uint64_t>(skip, LONG_MAX));
        ok = std::fseek(file, step, SEEK_CUR) == 0;
        skip -= static_cast<uint64_t>(step);
    }
    uint16_t crc = 0;
    for (uint32_t left = length; ok && left > 0;) {
        const size_t want = std::min<size_t>(left, piece.size());
        ok = std::fread(piece.data(), 1, want, file) == want;
        crc = frame::CrcRun(crc, piece.data(), want);
        left -= static_cast<uint32_t>(want);
    }
    std::fclose(file);
    if (!ok) {
        return false;
    }
    crc = static_cast<uint16_t>(~crc);
    low = static_cast<uint8_t>(crc & 0xFF);
    high = static_cast<uint8_t>(crc >> 8);
    return true;
}

uint32_t CPhoneLink::BuildFrame() {
    if (m_mode != MODE_RAW) {
        m_sendLen = 0;
        switch (m_mode) {
            case MODE_DIAG:
                BuildDiagPacket();
                break;
            case MODE_DLOAD:
                BuildDloadPacket();
                break;
            case MODE_STREAM:
                BuildStreamPacket();
                break;
            case MODE_RAW:
                break;
        }
    }
    // The buffer holds a fully stuffed packet of up to kMaxPacket bytes. A longer body (only a
    // caller's raw one can be) is refused whole: sending a cut-off packet would look like success.
    if (m_sendLen > kMaxPacket) {
        m_sendLen = 0;
        return 0;
    }
    m_sendLen = static_cast<uint32_t>(frame::CrcAppend(m_sendBuf.data(), m_sendLen));

    std::array<uint8_t, kSendBufSize> stuffed{};
    size_t n = 0;
    if (m_mode == MODE_DLOAD || m_mode == MODE_STREAM) {
        stuffed[n++] = frame::kFlag;
    }
    n += frame::Stuff(m_sendBuf.data(), m_sendLen, stuffed.data() + n);
    stuffed[n++] = frame::kFlag;
    m_sendBuf = stuffed;
    m_sendLen = static_cast<uint32_t>(n);
    return m_sendLen;
}

size_t CPhoneLink::WholeReplyLength() {
    const std::vector<uint8_t>& held = m_port.Held();
    if (held.empty() || m_pacedReplies.load(std::memory_order_relaxed)) {
        return 0;
    }
    // A DIAG reply has no leading flag: one there makes no frame of its own, and the count rule
    // hands the bytes to the checks, which take them for an error reply.
    const size_t start = (m_mode != MODE_DIAG && held[0] == frame::kFlag) ? 1 : 0;
    const auto close =
        std::find(held.begin() + static_cast<std::ptrdiff_t>(start), held.end(), frame::kFlag);
    if (close == held.end()) {
        return 0;
    }
    const size_t end = static_cast<size_t>(close - held.begin());
    if (m_mode == MODE_RAW) {
        return end > start ? end + 1 : 0;  // the caller compares the raw bytes; no CRC to check
    }
    if (end - start > 2 * kRecvLimit) {
        return 0;
    }
    std::array<uint8_t, 2 * kRecvLimit> body{};
    const size_t n = frame::Unstuff(held.data() + start, end - start, body.data());
    // A bad CRC makes no whole reply: the count rule then reads what came and the checks say why.
    if (n < 3 || !frame::CrcCheck(body.data(), n)) {
        return 0;
    }
    // A block acknowledgement answers a stream write only. One in front of another request's
    // reply is a late answer to a block of before; it does not end this wait, and the count
    // rule reads it with what follows, as it always did.
    if (m_mode == MODE_STREAM && body[0] == kStreamBlockWritten && m_request.code != 0x07) {
        return 0;
    }
    return end + 1;
}

bool CPhoneLink::ReceiveReply(uint32_t timeoutMs, uint32_t pollMs) {
    const bool paced = m_pacedReplies.load(std::memory_order_relaxed);
    const uint32_t start = m_clock.TickMs();
    size_t n = 0;
    size_t whole = 0;
    // The count rule: input has come and did not grow over one poll. A whole frame ends the wait
    // at once, and so does a port that can no longer answer.
    do {
        n = m_port.BytesWaiting();
        if (paced) {
            m_clock.SleepMs(pollMs);
        } else if (m_port.Pause(m_clock, pollMs, [&] {
                       return (whole = WholeReplyLength()) > 0;
                   }) != CSerialPort::PauseEnd::kFull) {
            n = m_port.BytesWaiting();
            break;
        }
        const size_t m = m_port.BytesWaiting();
        if (n >= 1 && m == n) {
            break;
        }
    } while (m_clock.TickMs() - start <= timeoutMs);

    if (n == 0) {
        m_lastError = "Port Cannot Receive Desired Data from the Phone";
        return false;
    }
    if (n > kRecvLimit) {
        m_lastError = "The Received Data from the Phone is Too Large";
        return false;
    }
    // Bytes behind a whole frame belong to no reply of this request; they stay queued, and the
    // next Write drops them.
    m_recvLen = static_cast<uint16_t>(m_port.Read(m_recvBuf.data(), whole > 0 ? whole : n));
    return true;
}

bool CPhoneLink::Transact(uint8_t attempts, uint32_t timeoutMs) {
    if (BuildFrame() == 0) {
        m_lastError = "Port Cannot Send desired data to the Phone";
        return false;
    }
    if (attempts == 0) {
        return true;
    }
    const uint8_t code = m_request.code;
    const uint32_t pollMs =
        (m_mode == MODE_DIAG && (m_sendBuf[0] == 0x26 || m_sendBuf[0] == 0x27)) ? 30 : 10;
    bool anyFailed = false;
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        if (m_port.Write(m_sendBuf.data(), m_sendLen) < m_sendLen) {
            m_lastError = "Port Cannot Send desired data to the Phone";
            anyFailed = true;
            continue;
        }
        if (!ReceiveReply(timeoutMs, pollMs)) {
            anyFailed = true;
            continue;
        }
        switch (m_mode) {
            case MODE_DLOAD:
            case MODE_STREAM:
                if (DecodeFrame()) {
                    return true;
                }
                anyFailed = true;
                break;
            case MODE_RAW:
                break;  // the caller examines the last reply; the frame goes out on every attempt
            case MODE_DIAG:
                if (m_recvLen > 0 && m_recvBuf[0] == code) {
                    if (DecodeFrame()) {
                        return true;
                    }
                } else {
                    m_lastError = DiagErrorText(m_recvLen > 0 ? m_recvBuf[0] : 0);
                }
                anyFailed = true;
                break;
        }
    }
    return m_mode == MODE_RAW && !anyFailed;
}

bool CPhoneLink::DecodeFrame() {
    m_rawReplyLen = m_recvLen;
    size_t len = std::min<size_t>(m_recvLen, kRecvLimit);
    size_t start = 0;
    if ((m_mode == MODE_DLOAD || m_mode == MODE_STREAM) && len > 0 &&
        m_recvBuf[0] != frame::kFlag) {
        std::memmove(m_recvBuf.data() + 1, m_recvBuf.data(), len);
        m_recvBuf[0] = frame::kFlag;
        ++len;
    }
    if (m_mode == MODE_DLOAD || m_mode == MODE_STREAM) {
        start = 1;
    }
    std::array<uint8_t, kRecvLimit + 2> body{};
    const size_t n =
        start < len ? frame::Unstuff(m_recvBuf.data() + start, len - start, body.data()) : 0;
    if (n == 0 || body[n - 1] != frame::kFlag) {
        m_lastError = "the Received Data is Wrong without End Flag(0x7e)";
        return false;
    }
    m_recvBuf.fill(0);
    std::copy_n(body.begin(), n - 1, m_recvBuf.begin());
    m_recvLen = static_cast<uint16_t>(n - 1);
    if (!frame::CrcCheck(m_recvBuf.data(), m_recvLen)) {
        m_lastError = "the Received Data is Wrong with Wrong CRC Checksum";
        return false;
    }
    m_response[0] = m_recvBuf[0];
    switch (m_mode) {
        case MODE_DIAG:
            return ParseDiagReply();
        case MODE_DLOAD:
            return ParseDloadReply();
        case MODE_STREAM:
            return ParseStreamReply();
        case MODE_RAW:
            return true;
    }
    return false;
}

bool CPhoneLink::Fail(const char* pattern) {
    std::vector<char> text(std::strlen(pattern) + m_lastError.size() + 1);
    std::snprintf(text.data(), text.size(), pattern, m_lastError.c_str());
    m_message = text.data();
    m_lastError = m_message;
    return false;
}

}  // namespace pellan
