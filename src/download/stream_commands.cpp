// The streaming download protocol of the RAM flash programmer: packet builder, reply parser, the
// scan of piled-up replies and the streaming commands of CPhoneLink.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"

namespace pellan {
namespace {

constexpr uint8_t kHello = 0x01;
constexpr uint8_t kWriteBlock = 0x07;
constexpr uint8_t kBlockWritten = 0x08;
constexpr uint8_t kNop = 0x09;
constexpr uint8_t kReset = 0x0B;
constexpr uint8_t kError = 0x0D;
constexpr uint8_t kClose = 0x15;
constexpr uint8_t kSecurityMode = 0x17;
constexpr uint8_t kPartitionTable = 0x19;
constexpr uint8_t kPartitionReceived = 0x1A;
constexpr uint8_t kOpenMultiImage = 0x1B;

constexpr char kHelloMagic[] = "QCOM fast download protocol host";  // 32 characters, sent bare
constexpr uint8_t kHelloVersion = 0x02;
constexpr uint8_t kHelloCompatible = 0x02;
constexpr uint8_t kHelloFeatures = 0x03;
constexpr uint8_t kNopMarker = 0x11;
constexpr uint8_t kSecurityModeValue = 0x01;

// StreamWrite's wait for replies: a poll of 20 + 10 ms, silence after this long counts as sent.
constexpr uint32_t kWriteReplyWindowMs = 3000;
// CollectStreamAcks never takes more than this from the queue in one go.
constexpr size_t kCollectLimit = 1000;

// Image types that may carry a header block behind the type byte of an open multi-image.
bool TypeTakesHeader(uint8_t type) {
    switch (type) {
        case 0x04:
        case 0x05:
        case 0x0F:
        case 0x10:
        case 0x11:
        case 0x14:
            return true;
        default:
            return false;
    }
}

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A little-endian field of a reply body; bytes beyond the body read as zero so that a short
// reply can never pull in a neighbour's bytes.
uint32_t GetLe32(const uint8_t* body, size_t bodyLen, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        if (at + i < bodyLen) {
            value |= static_cast<uint32_t>(body[at + i]) << (8 * i);
        }
    }
    return value;
}

// The programmer's error codes, mapped in one place for the single transactions and the scan.
const char* StreamErrorText(uint32_t code) {
    switch (code) {
        case 2:
            return "Invalid destination address";
        case 3:
            return "Invalid length";
        case 4:
            return "Unexpected end of packet";
        case 5:
            return "Invalid Command";
        case 7:
            return "Operation failed";
        case 8:
            return "Wrong Flash Intelligent ID";
        case 9:
            return "Bad programming voltage";
        case 10:
            return "Write-verify failed";
        case 12:
            return "Incorrect security code";
        case 13:
            return "Cannot power down phone";
        case 14:
            return "NAND flash programming not supported";
        case 15:
            return "Command out of sequence";
        case 16:
            return "Close did not succeed";
        case 17:
            return "Incompatible feature bits";
        case 18:
            return "Out of space";
        default:
            return "Illegal reason";
    }
}

}  // namespace

void CPhoneLink::BuildStreamPacket() {
    uint8_t* out = m_sendBuf.data();
    size_t n = 0;
    out[n++] = m_request.code;
    switch (m_request.code) {
        case kHello:
            std::memcpy(out + n, kHelloMagic, sizeof(kHelloMagic) - 1);
            n += sizeof(kHelloMagic) - 1;
            out[n++] = kHelloVersion;
            out[n++] = kHelloCompatible;
            out[n++] = kHelloFeatures;
            break;
        case kWriteBlock: {
            const size_t len = std::min<size_t>(m_request.length, m_request.data.size());
            PutLe32(out + n, m_request.address);
            n += 4;
            std::memcpy(out + n, m_request.data.data(), len);
            n += len;
            break;
        }
        case kNop:
            out[n++] = kNopMarker;
            break;
        case kSecurityMode:
            out[n++] = kSecurityModeValue;
            break;
        case kPartitionTable:
            out[n++] = m_partOverride != 0 ? 0x01 : 0x00;
            std::memcpy(out + n, m_payload.data(), m_payloadLen);
            n += m_payloadLen;
            break;
        case kOpenMultiImage:
            out[n++] = m_request.imageType;
            if (TypeTakesHeader(m_request.imageType)) {
                std::memcpy(out + n, m_payload.data(), m_payloadLen);
                n += m_payloadLen;
            }
            break;
        default:
            break;  // reset, close: the code alone
    }
    m_sendLen = static_cast<uint32_t>(n);
}

// Parses the unstuffed reply of a single transaction (m_recvLen bytes including the CRC).
bool CPhoneLink::ParseStreamReply() {
    const size_t bodyLen = m_recvLen >= 2 ? m_recvLen - 2u : 0u;
    const uint8_t* body = m_recvBuf.data();
    switch (body[0]) {
        case kBlockWritten:
            PutLe32(&m_response[1], GetLe32(body, bodyLen, 1));
            return true;
        case kError: {
            const uint32_t code = GetLe32(body, bodyLen, 1);
            PutLe32(&m_response[1], code);
            // The reply names its own reason; without this the failure sentence would carry
            // whatever text an earlier failure left behind.
            m_lastError = StreamErrorText(code);
            return false;
        }
        case kPartitionReceived: {
            const uint8_t status = bodyLen > 1 ? body[1] : 0;
            m_response[1] = status;
            if (status == 0) {
                m_partOverride = 0;
            } else if (status == 1) {
                m_partOverride = 1;
            }
            return true;
        }
        default:
            return true;
    }
}

// Walks the replies piled up in m_recvBuf. Each reply must open with its own flag: a flag that
// closes one frame does not open the next, so two frames sharing a flag yield only the first.
bool CPhoneLink::ScanStreamReplies() {
    m_ackCount = 0;
    // Acknowledgements that did not fit the list last time are handed out first, in order.
    while (!m_ackPending.empty() && m_ackCount < kAckListSize) {
        m_ackList[m_ackCount++] = m_ackPending.front();
        m_ackPending.pop_front();
    }
    size_t len = std::min<size_t>(m_recvLen, kRecvLimit);
    if (len == 0) {
        return true;
    }
    if (m_recvBuf[0] != frame::kFlag) {
        std::memmove(m_recvBuf.data() + 1, m_recvBuf.data(), len);
        m_recvBuf[0] = frame::kFlag;
        ++len;
    }
    std::array<uint8_t, kRecvLimit + 2> body{};
    bool open = false;
    size_t start = 0;
    for (size_t i = 0; i < len; ++i) {
        if (m_recvBuf[i] != frame::kFlag) {
            continue;
        }
        if (!open) {
            open = true;
            start = i + 1;
            continue;
        }
        open = false;
        const size_t n = frame::Unstuff(m_recvBuf.data() + start, i - start, body.data());
        if (n < 3 || !frame::CrcCheck(body.data(), n)) {
            m_lastError = "the Received Data is Wrong with CRC Checksum";
            return false;
        }
        const size_t bodyLen = n - 2;
        if (body[0] == kBlockWritten) {
            const uint32_t address = GetLe32(body.data(), bodyLen, 1);
            // The list holds 64; more can arrive in one read (eight-byte frames), so the excess
            // waits in m_ackPending for the next scan rather than being dropped or overrunning.
            if (m_ackCount < kAckListSize) {
                m_ackList[m_ackCount++] = address;
            } else {
                m_ackPending.push_back(address);
            }
        } else if (body[0] == kError) {
            m_lastError = StreamErrorText(GetLe32(body.data(), bodyLen, 1));
            return false;
        }
    }
    return true;
}

namespace {

// A single streaming transaction purges the input queue when it writes, which discards any
// acknowledgement still queued. The acknowledgements of the last scan, and those held back from
// it, belong to the same past: an image opened now counts its addresses from 0 again, and a
// collection that finds the port quiet must not match them against the new image's blocks (a
// block would pass as written on another image's acknowledgement).
void ForgetHeldAcks(CPhoneLink& link) {
    link.m_ackPending.clear();
    link.m_ackCount = 0;
}

}  // namespace

bool CPhoneLink::StreamHello() {
    ClearBuffers();
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kHello;
    return Transact(1, 10000);
}

bool CPhoneLink::StreamSecurityMode() {
    ClearBuffers();
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kSecurityMode;
    if (!Transact(3, 2000)) {
        return Fail("Cannot go into security, Since %s");
    }
    return true;
}

bool CPhoneLink::StreamPartitionTable(const uint8_t* table, uint32_t length) {
    ClearBuffers();
    if (length > m_payload.size() || (table == nullptr && length > 0)) {
        m_lastError = "the partition table is longer than 1024 bytes";
        return Fail("Cannot download partition, Since %s");
    }
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kPartitionTable;
    if (length > 0) {
        std::memcpy(m_payload.data(), table, length);
    }
    m_payloadLen = length;
    if (!Transact(1, 100000)) {
        return Fail("Cannot download partition, Since %s");
    }
    return true;
}

bool CPhoneLink::StreamOpenMultiImage(uint8_t type, const uint8_t* header, uint32_t length) {
    ClearBuffers();
    if (length > m_payload.size() || (header == nullptr && length > 0)) {
        m_lastError = "the image header is longer than 1024 bytes";
        return Fail("Cannot open multi-image, Since %s");
    }
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kOpenMultiImage;
    m_request.imageType = type;
    if (length > 0) {
        std::memcpy(m_payload.data(), header, length);
    }
    m_payloadLen = length;
    if (!Transact(2, 25000)) {
        return Fail("Cannot open multi-image, Since %s");
    }
    return true;
}

bool CPhoneLink::StreamClose() {
    ClearBuffers();
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kClose;
    return Transact(3, 10000);
}

bool CPhoneLink::StreamNop() {
    ClearBuffers();
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kNop;
    return Transact(1, 10000);
}

bool CPhoneLink::StreamReset() {
    ClearBuffers();
    ForgetHeldAcks(*this);
    m_mode = MODE_STREAM;
    m_request.code = kReset;
    return Transact(3, 20000);
}

namespace {

// Fills the stream-write request; a block longer than the request's data area is refused.
bool PrepareBlock(CPhoneLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
    link.ClearBuffers();
    link.m_mode = MODE_STREAM;
    if (length > link.m_request.data.size() || (data == nullptr && length > 0)) {
        link.m_lastError = "the block is longer than 1024 bytes";
        return false;
    }
    link.m_request.code = kWriteBlock;
    link.m_request.address = address;
    link.m_request.length = length;
    if (length > 0) {
        std::memcpy(link.m_request.data.data(), data, length);
    }
    link.BuildFrame();
    return true;
}

}  // namespace

bool CPhoneLink::StreamWrite(const uint8_t* data, uint32_t address, uint32_t length) {
    if (!PrepareBlock(*this, data, address, length)) {
        return Fail("Write a Block of Data to Memory Failed, Since %s");
    }
    // Keep the queue: acknowledgements of earlier blocks may already be waiting.
    if (m_port.WriteKeepRx(m_sendBuf.data(), m_sendLen) < m_sendLen) {
        m_lastError = "Port Cannot Send desired data to the Phone";
        return false;
    }
    const bool paced = m_pacedReplies.load(std::memory_order_relaxed);
    const uint32_t start = m_clock.TickMs();
    size_t n = 0;
    size_t own = 0;  // end of this block's own reply among the queued bytes, once it is whole
    // One pause of the count rule; true when the wait is over before it ends: this block's reply
    // is whole, or the port can no longer answer.
    const auto pause = [&](uint32_t ms) {
        if (paced) {
            m_clock.SleepMs(ms);
            return false;
        }
        return m_port.Pause(m_clock, ms, [&] { return (own = OwnStreamReplyEnd(address)) > 0; }) !=
               CSerialPort::PauseEnd::kFull;
    };
    for (;;) {
        if (pause(20)) {
            n = m_port.BytesWaiting();
            break;
        }
        n = m_port.BytesWaiting();
        if (pause(10)) {
            n = m_port.BytesWaiting();
            break;
        }
        const size_t m = m_port.BytesWaiting();
        if (n >= 1 && m == n) {
            break;
        }
        if (m_clock.TickMs() - start > kWriteReplyWindowMs) {
            n = m;
            break;
        }
    }
    char text[48];
    std::snprintf(text, sizeof(text), "time is %d(ms)", static_cast<int>(m_clock.TickMs() - start));
    m_lastError = text;
    if (n == 0) {
        return true;  // silence: the block counts as sent, its acknowledgement may come later
    }
    // Never more than the receive buffer holds; the rest stays queued for the next read.
    // Every reply that is whole is scanned with this block's own, as the count rule would have
    // read them; only the start of a reply still coming stays queued for the next scan.
    m_recvLen = static_cast<uint16_t>(m_port.Read(
        m_recvBuf.data(), std::min(own > 0 ? ClosedStreamRepliesEnd() : n, kRecvLimit)));
    if (!ScanStreamReplies()) {
        return Fail("Write a Block of Data to Memory Failed, Since %s");
    }
    return true;
}

size_t CPhoneLink::ClosedStreamRepliesEnd() {
    const std::vector<uint8_t>& held = m_port.Held();
    bool open = !held.empty() && held[0] != frame::kFlag;
    size_t end = 0;
    for (size_t i = 0; i < held.size(); ++i) {
        if (held[i] == frame::kFlag) {
            if (open) {
                end = i + 1;
            }
            open = !open;
        }
    }
    return end;
}

size_t CPhoneLink::OwnStreamReplyEnd(uint32_t address) {
    const std::vector<uint8_t>& held = m_port.Held();
    // Frames pair up as the scan pairs them: each opens with its own flag, and the first one may
    // have lost its flag.
    bool open = !held.empty() && held[0] != frame::kFlag;
    size_t from = 0;
    std::array<uint8_t, 2 * kRecvLimit> body{};
    for (size_t i = 0; i < held.size(); ++i) {
        if (held[i] != frame::kFlag) {
            continue;
        }
        if (!open) {
            open = true;
            from = i + 1;
            continue;
        }
        open = false;
        if (i - from > body.size()) {
            continue;
        }
        const size_t n = frame::Unstuff(held.data() + from, i - from, body.data());
        if (n < 3 || !frame::CrcCheck(body.data(), n)) {
            continue;  // a corrupt reply ends nothing; the count rule reads it and the scan fails
        }
        const size_t bodyLen = n - 2;
        if (body[0] == kError || (body[0] == kBlockWritten && bodyLen >= 5 &&
                                  GetLe32(body.data(), bodyLen, 1) == address)) {
            return i + 1;
        }
    }
    return 0;
}

bool CPhoneLink::StreamWriteNoWait(const uint8_t* data, uint32_t address, uint32_t length) {
    if (!PrepareBlock(*this, data, address, length)) {
        return false;
    }
    if (m_port.WriteKeepRx(m_sendBuf.data(), m_sendLen) < m_sendLen) {
        m_lastError = "Port Cannot Send desired data to the Phone";
        return false;
    }
    return true;
}

bool CPhoneLink::CollectStreamAcks() {
    const size_t n = m_port.Read(m_recvBuf.data(), kCollectLimit);
    if (n == 0 && m_ackPending.empty()) {
        return true;  // nothing new: the list of the last scan stays as it was
    }
    m_recvLen = static_cast<uint16_t>(n);
    return ScanStreamReplies();
}

}  // namespace pellan
