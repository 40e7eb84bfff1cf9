// The DMSS download commands of the boot downloader: packet builder and reply parser of
// MODE_DLOAD and the commands that write the flash programmer into RAM and start it. Every
// multi-byte field on this wire is big-endian, unlike the diagnostic protocol.
#include <algorithm>
#include <cstring>

#include "diag/link_texts.h"
#include "diag/phone_link.h"

namespace pellan {
namespace {

constexpr uint8_t kAck = 0x02;
constexpr uint8_t kNak = 0x03;
constexpr uint8_t kParams = 0x08;

// The largest block one write packet carries: code, address and length take 7 of its 1024 bytes.
constexpr uint16_t kMaxWriteData = 1017;
constexpr size_t kFlashRecordLen = 212;
static_assert(kFlashRecordLen <= CPhoneLink::kResponseSize);

constexpr char kGoFailed[] = "Cannot begin execution at an address, Since %s";

const char* NakText(uint16_t reason) {
    switch (reason) {
        case 1:
            return "invalid frame check sequence";
        case 2:
            return "destination address is invalid";
        case 3:
            return "operation length is invalid";
        case 4:
            return "packet was too short for this cmd";
        case 5:
            return "packet was too long for phone's buffer";
        case 6:
            return "packet command code was unknown";
        case 7:
            return "operation did not succeed";
        case 8:
            return "intelligent ID code was wrong";
        case 9:
            return "programming voltage out of spec";
        case 10:
            return "readback verify did not match";
        case 11:
            return "not permitted without unlock";
        case 12:
            return "invalid security code";
        default:
            return "";
    }
}

uint32_t FlashSizeFromCode(uint8_t code) {
    switch (code) {
        case 1:
            return 0x80000;
        case 2:
        case 3:
            return 0x100000;
        case 4:
            return 0x200000;
        case 5:
            return 0x400000;
        case 6:
            return 0x800000;
        default:
            return 0;
    }
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Fills the flash information record (m_response[0..211]) from a parameter reply. Bytes the reply
// does not reach read as zero; the record's unused bytes are cleared rather than left over from
// an earlier reply.
void StoreFlashRecord(CPhoneLink& link) {
    const size_t body = link.m_recvLen >= 2 ? link.m_recvLen - 2u : 0u;
    auto in = [&](size_t at) -> uint8_t { return at < body ? link.m_recvBuf[at] : 0; };
    uint8_t* rec = link.m_response.data();
    std::fill_n(rec, kFlashRecordLen, 0);
    rec[0] = kParams;
    rec[1] = in(1);  // protocol version
    rec[2] = in(2);  // minimum protocol version
    // Reply bytes 3..6 are kept in their order, i.e. as a little-endian value in the record.
    for (size_t i = 0; i < 4; ++i) {
        rec[4 + i] = in(3 + i);
    }
    rec[8] = in(7);
    const uint8_t sizeCode = in(8);
    rec[9] = sizeCode;
    PutLe32(rec + 12, FlashSizeFromCode(sizeCode));
    rec[16] = in(9) < 35 ? in(9) : 0;
    rec[17] = sizeCode < 7 ? sizeCode : 0;
    static constexpr char kUnknown[] = "Unknown";
    std::memcpy(rec + 18, kUnknown, sizeof kUnknown);
    std::memcpy(rec + 82, kUnknown, sizeof kUnknown);
}

}  // namespace

void CPhoneLink::BuildDloadPacket() {
    auto put = [this](uint8_t b) { m_sendBuf[m_sendLen++] = b; };
    auto put16 = [&put](uint32_t v) {
        put(static_cast<uint8_t>(v >> 8));
        put(static_cast<uint8_t>(v));
    };
    put(m_request.code);
    switch (m_request.code) {
        case 0x05:
        case 0x90:
            put16(m_request.address >> 16);     // segment
            put16(m_request.address & 0xFFFF);  // offset
            break;
        case 0x0F: {
            put16(m_request.address >> 16);
            put16(m_request.address & 0xFFFF);
            const uint32_t len = std::min<uint32_t>(m_request.length, kMaxWriteData);
            put16(len);
            std::copy_n(m_request.data.begin(), len, m_sendBuf.begin() + m_sendLen);
            m_sendLen += len;
            break;
        }
        default:
            break;  // 0x06, 0x07, 0x0A: the code alone
    }
}

bool CPhoneLink::ParseDloadReply() {
    switch (m_recvBuf[0]) {
        case kNak: {
            const size_t body = m_recvLen >= 2 ? m_recvLen - 2u : 0u;
            const uint16_t reason =
                body >= 3 ? static_cast<uint16_t>((m_recvBuf[1] << 8) | m_recvBuf[2]) : 0;
            m_response[1] = static_cast<uint8_t>(reason >> 8);
            m_response[2] = static_cast<uint8_t>(reason);
            m_lastError = NakText(reason);
            return false;
        }
        case kParams:
            StoreFlashRecord(*this);
            return true;
        default:
            return true;  // the ACK and any other code carry no fields
    }
}

namespace {

bool DloadTransact(CPhoneLink& link, uint8_t code, uint8_t attempts, uint32_t timeoutMs,
                   uint32_t address = 0) {
    link.ClearBuffers();
    link.m_mode = MODE_DLOAD;
    link.m_request.code = code;
    link.m_request.address = address;
    link.m_request.length = 0;
    return link.Transact(attempts, timeoutMs);
}

uint32_t GoAddress(uint16_t segment, uint16_t offset) {
    return (static_cast<uint32_t>(segment) << 16) | offset;
}

}  // namespace

bool CPhoneLink::DloadWrite32(const uint8_t* data, uint32_t address, uint16_t length) {
    ClearBuffers();
    if (length > kMaxWriteData) {
        // Never cut a block silently: the programmer in RAM would be incomplete.
        m_lastError = "the Block is Too Large for One Packet";
        return Fail(texts::kWriteBlockFailed);
    }
    m_mode = MODE_DLOAD;
    m_request.code = 0x0F;
    m_request.address = address;
    m_request.length = length;
    std::copy_n(data, length, m_request.data.begin());
    return Transact(3, 5000) || Fail(texts::kWriteBlockFailed);
}

bool CPhoneLink::DloadGo(uint16_t segment, uint16_t offset) {
    return DloadTransact(*this, 0x05, 1, 10000, GoAddress(segment, offset)) || Fail(kGoFailed);
}

bool CPhoneLink::DloadGoAlt(uint16_t segment, uint16_t offset) {
    return DloadTransact(*this, 0x90, 1, 10000, GoAddress(segment, offset)) || Fail(kGoFailed);
}

bool CPhoneLink::DloadNop() {
    // Only an ACK proves the downloader is listening; any other decoded reply fails the same way
    // as silence, with the reason the link holds.
    return (DloadTransact(*this, 0x06, 1, 10000) && m_response[0] == kAck) ||
           Fail("Cannot Do No Operation, Since %s");
}

bool CPhoneLink::DloadReset() {
    return DloadTransact(*this, 0x0A, 3, 2000) || Fail(texts::kResetFailed);
}

bool CPhoneLink::DloadGetParams(uint8_t record[212]) {
    if (!DloadTransact(*this, 0x07, 3, 2000)) {
        std::fill_n(record, kFlashRecordLen, 0);
        return Fail("Cannot Get flash Information, Since %s");
    }
    if (m_response[0] == kParams) {
        std::copy_n(m_response.begin(), kFlashRecordLen, record);
    } else {
        // Accepted but not a parameter reply: there is no information to hand out.
        std::fill_n(record, kFlashRecordLen, 0);
        record[0] = m_response[0];
    }
    return true;
}

}  // namespace pellan
