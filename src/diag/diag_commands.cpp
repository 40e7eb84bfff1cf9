// The diagnostic (DIAG) command set of the normal firmware: the packet builder and reply parser of
// MODE_DIAG, the commands built on them, the vendor subsystem commands sent in MODE_RAW, and the
// two composite checks that use the port directly.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "diag/frame_codec.h"
#include "diag/link_texts.h"
#include "diag/phone_link.h"

namespace pellan {
namespace {

// m_response layout per reply code (byte 0 is always the code). Fields keep the reply's own
// offsets where they fit, so a parser and its command agree by construction.
constexpr size_t kEsnAt = 1;                   // 0x01: 32-bit ESN
constexpr size_t kNvItemAt = 1;                // 0x26/0x27: item id
constexpr size_t kNvDataAt = 3;                //            128 data bytes
constexpr size_t kNvStatusAt = 131;            //            status
constexpr size_t kNvReplyLen = 133;            //            code, item, data, status
constexpr size_t kModeAt = 1;                  // 0x29: mode echoed
constexpr size_t kSwTextAt[3] = {1, 23, 36};   // 0x38: texts of 21, 12 and 9 bytes
constexpr size_t kSwTextLen[3] = {21, 12, 9};  //       each stored with its terminator
constexpr size_t kStatus4BAt = 4;              // 0x4B: status byte
constexpr size_t kBuildIdHeadLen = 12;         // 0x7C: bytes 1..11 copied unchanged
constexpr size_t kBuildIdTextAt = 12;          //       256-byte text area
constexpr size_t kBuildIdTextLen = 256;

// 0x39: the nine version slots lie exactly where ReadVersionSet hands them out, followed by the
// two texts that are parsed but not returned.
constexpr size_t kVersionSlots = 9;
constexpr size_t kVersionSlotLen = 31;  // 30 characters and the terminator
constexpr size_t kVersionSlotAt = 1;
constexpr size_t kVersionT10At = kVersionSlotAt + kVersionSlots * kVersionSlotLen;  // 280
constexpr size_t kVersionT11At = kVersionT10At + 13;                                // 293
constexpr size_t kVersionSetLen = 303;
static_assert(kVersionT11At + 10 == kVersionSetLen);
static_assert(kVersionSetLen <= CPhoneLink::kResponseSize);
static_assert(kBuildIdTextAt + kBuildIdTextLen <= CPhoneLink::kResponseSize);

constexpr uint16_t kImeiItem = 550;

const char* NvStatusText(uint16_t status) {
    switch (status) {
        case 1:
            return "Request is queued";
        case 2:
            return "Unrecognizable command field";
        case 3:
            return "The NVM is full";
        case 4:
            return "Command failed, reason other than NVM was full";
        case 5:
            return "Variable was not active";
        case 6:
            return "Bad parameter in command block";
        case 7:
            return "Parameter is write-protected and thus read only";
        case 8:
            return "Item not valid for Target";
        case 9:
            return "free memory exhausted";
        case 10:
            return "address is not a valid allocation ";
        default:
            return "";
    }
}

// Bytes of the decoded reply body without its two CRC bytes: nothing behind them was received.
size_t BodyLen(const CPhoneLink& link) {
    return link.m_recvLen >= 2 ? link.m_recvLen - 2u : 0u;
}

// Copies `len` reply bytes from `from` into m_response at `to`; what the reply does not hold reads
// as zero, so a short reply never exposes bytes of an earlier one.
void CopyReply(CPhoneLink& link, size_t to, size_t from, size_t len) {
    const size_t body = BodyLen(link);
    const size_t avail = from < body ? std::min(len, body - from) : 0;
    std::copy_n(link.m_recvBuf.begin() + static_cast<std::ptrdiff_t>(from), avail,
                link.m_response.begin() + static_cast<std::ptrdiff_t>(to));
    std::fill_n(link.m_response.begin() + static_cast<std::ptrdiff_t>(to + avail), len - avail, 0);
}

// A text of fixed length stored with its terminator behind it.
void CopyText(CPhoneLink& link, size_t to, size_t from, size_t len) {
    CopyReply(link, to, from, len);
    link.m_response[to + len] = 0;
}

uint8_t ReplyByte(const CPhoneLink& link, size_t at) {
    return at < BodyLen(link) ? link.m_recvBuf[at] : 0;
}

bool IsVersionChar(uint8_t c) {
    return c == '.' || c == '_' || c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
           (c >= 'A' && c <= 'Z');
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One text of the version set and whether a separator may follow it.
struct VersionText {
    size_t slot;  // offset in m_response
    size_t len;   // characters copied from the reply
    bool sep;
};

// The layouts of a 0x39 reply. The stick's firmware generations answer with different numbers of
// texts, and the only way to tell them apart is the reply's length as read from the port.
size_t VersionLayout(uint16_t rawLen, std::array<VersionText, 11>& texts) {
    size_t n = 0;
    auto slot = [](size_t i) { return kVersionSlotAt + i * kVersionSlotLen; };
    if (rawLen >= 131) {
        const size_t longTexts = rawLen > 290 ? 9 : rawLen > 240 ? 7 : 4;
        for (size_t i = 0; i < longTexts; ++i) {
            texts[n++] = {slot(i), 30, true};
        }
    } else {
        texts[n++] = {slot(0), 22, false};
        texts[n++] = {slot(1), 22, false};
        texts[n++] = {slot(2), 25, true};
        texts[n++] = {slot(3), 25, true};
    }
    texts[n++] = {kVersionT10At, 12, true};
    texts[n++] = {kVersionT11At, 9, false};
    return n;
}

void ParseVersionSet(CPhoneLink& link) {
    // Slots the chosen layout does not fill read as empty rather than as leftovers of another
    // reply: the ninth slot is the stick's identity, checked before an update.
    std::fill_n(link.m_response.begin() + kVersionSlotAt, kVersionSetLen - kVersionSlotAt, 0);
    std::array<VersionText, 11> texts{};
    const size_t count = VersionLayout(link.m_rawReplyLen, texts);
    size_t pos = 1;
    for (size_t i = 0; i < count; ++i) {
        CopyText(link, texts[i].slot, pos, texts[i].len);
        pos += texts[i].len;
        if (texts[i].sep && !IsVersionChar(ReplyByte(link, pos))) {
            ++pos;
        }
    }
}

// Formats a sentence with an item number and a reason into m_message and m_lastError.
void FailWithItem(CPhoneLink& link, const char* pattern, uint16_t item, const std::string& why) {
    std::array<char, 512> text{};
    std::snprintf(text.data(), text.size(), pattern, static_cast<int>(item), why.c_str());
    link.m_message = text.data();
    link.m_lastError = link.m_message;
}

// The raw reply of a vendor command, with escapes removed: a value byte that happens to be 0x7D
// or 0x7E arrives escaped, and its escape must not shift the bytes behind it.
struct RawReply {
    std::array<uint8_t, CPhoneLink::kRecvLimit> bytes{};
    size_t len = 0;

    explicit RawReply(const CPhoneLink& link) {
        const size_t n = std::min<size_t>(link.m_recvLen, bytes.size());
        len = frame::Unstuff(link.m_recvBuf.data(), n, bytes.data());
    }
    bool StartsWith(std::initializer_list<uint8_t> head) const {
        return len >= head.size() && std::equal(head.begin(), head.end(), bytes.begin());
    }
};

}  // namespace

// ---- packet builder and reply parser ----

void CPhoneLink::BuildDiagPacket() {
    auto put = [this](uint8_t b) { m_sendBuf[m_sendLen++] = b; };
    auto put16 = [&put](uint16_t v) {
        put(static_cast<uint8_t>(v & 0xFF));
        put(static_cast<uint8_t>(v >> 8));
    };
    put(m_request.code);
    switch (m_request.code) {
        case 0x26:
        case 0x27:
            put16(m_request.itemId);
            for (uint8_t b : m_request.nvData) {
                put(b);
            }
            put16(0);
            break;
        case 0x29:
            put16(m_request.mode);
            break;
        case 0x41:
            // SendSpc refuses an SPC that is not six characters, so exactly six go out.
            for (size_t i = 0; i < 6; ++i) {
                put(i < m_spc.size() ? static_cast<uint8_t>(m_spc[i]) : 0);
            }
            break;
        case 0x4B:
            for (uint8_t b : {0x04, 0x0E, 0x00}) {
                put(b);
            }
            break;
        case 0x5C:
            for (uint8_t b : {0x01, 0x00, 0xC2, 0x01, 0x00}) {
                put(b);
            }
            break;
        default:
            break;  // 0x01, 0x38, 0x39, 0x3A, 0x7C: the code alone
    }
}

bool CPhoneLink::ParseDiagReply() {
    switch (m_recvBuf[0]) {
        case 0x01:
            CopyReply(*this, kEsnAt, 1, 4);
            break;
        case 0x26:
        case 0x27:
            // A short NV reply would read as status 0 with zero data: a backup would then keep
            // zeros for a calibration item. Refuse it instead.
            if (BodyLen(*this) < kNvReplyLen) {
                m_lastError = "The Received Data from the Phone is Too Short";
                return false;
            }
            CopyReply(*this, kNvItemAt, 1, kNvReplyLen - 1);
            break;
        case 0x29:
            CopyReply(*this, kModeAt, 1, 2);
            break;
        case 0x38: {
            size_t from = 1;
            for (size_t i = 0; i < 3; ++i) {
                CopyText(*this, kSwTextAt[i], from, kSwTextLen[i]);
                from += kSwTextLen[i];
            }
            break;
        }
        case 0x39:
            ParseVersionSet(*this);
            break;
        case 0x4B:
            CopyReply(*this, kStatus4BAt, 4, 1);
            break;
        case 0x7C:
            CopyReply(*this, 1, 1, kBuildIdHeadLen - 1);
            CopyReply(*this, kBuildIdTextAt, kBuildIdTextAt, kBuildIdTextLen);
            // The text area is handed out as a text: it must end inside its 256 bytes.
            m_response[kBuildIdTextAt + kBuildIdTextLen - 1] = 0;
            break;
        default:
            break;
    }
    return true;
}

// ---- commands in MODE_DIAG ----

namespace {

// Runs one MODE_DIAG request with just a code (and mode for 0x29).
bool DiagTransact(CPhoneLink& link, uint8_t code, uint8_t attempts, uint32_t timeoutMs,
                  uint16_t mode = 0) {
    link.ClearBuffers();
    link.m_mode = MODE_DIAG;
    link.m_request.code = code;
    link.m_request.mode = mode;
    return link.Transact(attempts, timeoutMs);
}

constexpr char kOfflineFailed[] = "Cannot Put the Phone Offline, Since %s";
constexpr char kSwVersionFailed[] = "Cannot get software version from the mobile, Since %s";
constexpr char kValueFailed[] = "Cannot get value from the mobile, Since %s";

}  // namespace

bool CPhoneLink::ResetPhone() {
    return DiagTransact(*this, 0x29, 1, 2000, 2) || Fail(texts::kResetFailed);
}

bool CPhoneLink::GoOffline() {
    return DiagTransact(*this, 0x29, 1, 2000, 1) || Fail(kOfflineFailed);
}

bool CPhoneLink::GoOnline() {
    return DiagTransact(*this, 0x29, 1, 2000, 4) || Fail(kOfflineFailed);
}

bool CPhoneLink::ReadEsn(uint32_t& esn) {
    if (!DiagTransact(*this, 0x01, 1, 300)) {
        esn = 0xFFFFFFFF;
        return Fail("Cannot Get the ESN Number of the Phone, Since %s");
    }
    esn = Le32(&m_response[kEsnAt]);
    m_lastEsn = esn;
    return true;
}

bool CPhoneLink::ReadExtBuildId(uint8_t out[256]) {
    if (!DiagTransact(*this, 0x7C, 1, 300)) {
        std::fill_n(out, kBuildIdTextLen, 0);
        return Fail(kSwVersionFailed);
    }
    std::copy_n(m_response.begin() + kBuildIdTextAt, kBuildIdTextLen, out);
    return true;
}

bool CPhoneLink::ReadSwVersion(uint8_t out[45]) {
    std::fill_n(out, 45, 0);
    if (!DiagTransact(*this, 0x38, 1, 300)) {
        return Fail(kSwVersionFailed);
    }
    std::copy_n(m_response.begin() + kSwTextAt[0], kSwTextLen[0] + 1, out);
    return true;
}

bool CPhoneLink::ReadVersionSet(uint8_t out[303]) {
    if (!DiagTransact(*this, 0x39, 1, 300)) {
        std::fill_n(out, kVersionSetLen, 0);
        return Fail("Cannot get 9 software version from the mobile, Since %s");
    }
    for (size_t i = 0; i < kVersionSlots; ++i) {
        const size_t at = kVersionSlotAt + i * kVersionSlotLen;
        const uint8_t* slot = m_response.data() + at;
        const size_t len = strnlen(reinterpret_cast<const char*>(slot), kVersionSlotLen - 1);
        std::copy_n(slot, len, out + at);
        std::fill_n(out + at + len, kVersionSlotLen - len, 0);
    }
    return true;
}

bool CPhoneLink::ReadNvItem(uint16_t itemId, uint8_t data[128], uint16_t& status) {
    ClearBuffers();
    m_mode = MODE_DIAG;
    m_request.code = 0x26;
    m_request.itemId = itemId;
    std::copy_n(data, m_request.nvData.size(), m_request.nvData.begin());
    if (!Transact(1, 2000)) {
        status = 0xFFFF;
        std::fill_n(data, 128, 0);
        FailWithItem(*this, "cannot read #%d NVItem, since %s", itemId, m_lastError);
        return false;
    }
    status = Le16(&m_response[kNvStatusAt]);
    if (status != 0) {
        std::fill_n(data, 128, 0);
        FailWithItem(*this, "cannot read #%d NV Item, since %s", itemId, NvStatusText(status));
        return false;
    }
    std::copy_n(m_response.begin() + kNvDataAt, 128, data);
    return true;
}

namespace {
// "Request is queued": the stick's NV task is still busy with earlier writes.
constexpr uint16_t kNvBusy = 1;
// The least time the paced rule takes to judge an NV reply: two polls of 30 ms.
constexpr uint32_t kNvPacedReplyMs = 60;
}  // namespace

bool CPhoneLink::WriteNvItem(uint16_t itemId, uint8_t data[128], uint16_t& status) {
    status = 0;
    ClearBuffers();
    m_mode = MODE_DIAG;
    m_request.code = 0x27;
    m_request.itemId = itemId;
    std::copy_n(data, m_request.nvData.size(), m_request.nvData.begin());
    const uint32_t sent = m_clock.TickMs();
    if (!Transact(1, 2000)) {
        status = 0xFFFF;
        FailWithItem(*this, "Cannot write #%d NVItem, Since %s", itemId, m_lastError);
        return false;
    }
    status = Le16(&m_response[kNvStatusAt]);
    if (status == kNvBusy && !m_pacedReplies.load()) {
        // The stick's NV task takes writes only at the paced rhythm. From here on the link keeps
        // it, and this answer too counts only when the paced rule would have taken it, so that
        // the caller's retry does not follow hard on the refused write.
        m_pacedReplies = true;
        const uint32_t spent = m_clock.TickMs() - sent;
        if (spent < kNvPacedReplyMs) {
            m_clock.SleepMs(kNvPacedReplyMs - spent);
        }
    }
    if (status != 0) {
        FailWithItem(*this, "Cannot Write #%d NVItem, Since %s", itemId, NvStatusText(status));
        return false;
    }
    return true;
}

bool CPhoneLink::ReadImei(uint8_t digits[15]) {
    std::array<uint8_t, 128> data{};
    uint16_t status = 0;
    std::fill_n(digits, 15, 0);
    if (!ReadNvItem(kImeiItem, data.data(), status)) {
        return false;
    }
    // Packed BCD behind a length byte: the first digit sits alone in the high nibble of byte 1,
    // the others follow two to a byte, low nibble first.
    size_t n = 0;
    digits[n++] = static_cast<uint8_t>(data[1] >> 4);
    for (size_t i = 2; i <= 8; ++i) {
        digits[n++] = static_cast<uint8_t>(data[i] & 0x0F);
        digits[n++] = static_cast<uint8_t>(data[i] >> 4);
    }
    return true;
}

bool CPhoneLink::SwitchToDownloader() {
    return DiagTransact(*this, 0x3A, 3, 2000) || Fail("Cannot Switch to Downloader, Since %s");
}

bool CPhoneLink::SendSpc() {
    // The code itself comes from SetSpc (default "000000"); the stick answers with a status that
    // is deliberately not examined.
    if (m_spc.size() != 6) {
        m_lastError = "The SPC must be six characters";
        return false;
    }
    return DiagTransact(*this, 0x41, 1, 2000);
}

bool CPhoneLink::FeatureRequest5C() {
    return DiagTransact(*this, 0x5C, 1, 2000);
}

bool CPhoneLink::QueryModemStatus() {
    // A reply too short to carry the status byte reads as zero there; it must not pass as 0.
    return DiagTransact(*this, 0x4B, 1, 2000) && BodyLen(*this) > kStatus4BAt &&
           m_response[kStatus4BAt] == 0;
}

// ---- vendor subsystem commands (MODE_RAW) ----

namespace {

void PrepareRaw(CPhoneLink& link, std::initializer_list<uint8_t> head, const uint8_t* block,
                size_t blockLen) {
    link.ClearBuffers();
    link.m_mode = MODE_RAW;
    std::copy(head.begin(), head.end(), link.m_sendBuf.begin());
    link.m_sendLen = static_cast<uint32_t>(head.size());
    if (block != nullptr) {
        std::copy_n(block, blockLen, link.m_sendBuf.begin() + link.m_sendLen);
        link.m_sendLen += static_cast<uint32_t>(blockLen);
    }
}

}  // namespace

bool CPhoneLink::GetValue128(const uint8_t block[128]) {
    PrepareRaw(*this, {0x4B, 0xA3, 0x00, 0x00}, block, 128);
    if (!Transact(2, 5100)) {
        return Fail(kValueFailed);
    }
    return RawReply(*this).StartsWith({0x4B, 0xA3, 0x00, 0x00, 0x00});
}

bool CPhoneLink::DownloadCheck(const uint8_t block[128], uint8_t subsystem) {
    PrepareRaw(*this, {0x4B, subsystem, 0x05, 0x00}, block, 128);
    if (!Transact(3, 10000)) {
        return Fail("Cannot pass the download check, Since %s");
    }
    const RawReply reply(*this);
    if (!reply.StartsWith({0x4B, subsystem, 0x05, 0x00}) || reply.len < 8) {
        return false;
    }
    switch (Le32(&reply.bytes[4])) {
        case 0:
            return true;
        case 1:
            m_lastError = "Cannot pass the download check, Since public key error";
            break;
        case 2:
            m_lastError = "Cannot pass the download check, Since main ver error";
            break;
        case 3:
            m_lastError = "Cannot pass the download check, Since compare ver error";
            break;
        default:
            break;
    }
    return false;
}

bool CPhoneLink::SetVendorMode(uint8_t value) {
    PrepareRaw(*this, {0x4B, 0xAA, 0x00, 0x00, value}, nullptr, 0);
    return Transact(1, 10000) && RawReply(*this).StartsWith({0x4B, 0xAA, 0x00, 0x00, 0x00});
}

bool CPhoneLink::SetAutorun(uint8_t value) {
    PrepareRaw(*this, {0x4B, 0xA1, 0x00, 0x00, value}, nullptr, 0);
    if (!Transact(1, 10000)) {
        return Fail("Cannot Set Autorun , Since %s");
    }
    return RawReply(*this).StartsWith({0x4B, 0xA1, 0x00, 0x00, 0x00});
}

bool CPhoneLink::GetValue8(uint8_t out[8]) {
    PrepareRaw(*this, {0x4B, 0xA3, 0x06, 0x00}, nullptr, 0);
    if (!Transact(1, 1000)) {
        return Fail(kValueFailed);
    }
    const RawReply reply(*this);
    // The value is the eight bytes behind the header; a reply too short to hold all of them
    // carries no value.
    if (!reply.StartsWith({0x4B, 0xA3, 0x06, 0x00}) || reply.len < 12) {
        std::fill_n(out, 8, 0);
        return false;
    }
    std::copy_n(reply.bytes.begin() + 4, 8, out);
    return true;
}

bool CPhoneLink::SetValue16(const uint8_t block[16]) {
    PrepareRaw(*this, {0x4B, 0xA3, 0x07, 0x00}, block, 16);
    if (!Transact(1, 1000)) {
        return Fail(kValueFailed);
    }
    return RawReply(*this).StartsWith({0x4B, 0xA3, 0x07, 0x00, 0x00});
}

// ---- composite checks ----

bool CPhoneLink::EnterDiagByAt() {
    static constexpr uint8_t kCommand[] = {'A', 'T', '$', 'Q', 'C', 'D', 'M', 'G', 0x0D};
    static constexpr uint8_t kEcho[] = {'A',  'T',  '$',  'Q', 'C', 'D',  'M', 'G',
                                        0x0D, 0x0D, 0x0A, 'O', 'K', 0x0D, 0x0A};
    if (m_port.Write(kCommand, sizeof kCommand) < sizeof kCommand) {
        return false;
    }
    m_clock.SleepMs(100);
    std::array<uint8_t, sizeof kEcho> got{};
    size_t n = 0;
    if (m_port.BytesWaiting() > 0) {
        n = m_port.Read(got.data(), got.size());
    }
    return n == sizeof kEcho && std::equal(got.begin(), got.end(), kEcho);
}

bool CPhoneLink::CheckCommunication() {
    uint32_t esn = 0;
    if (ReadEsn(esn) || EnterDiagByAt() || ReadEsn(esn)) {
        return true;
    }
    return Fail("Cannot communicate with the mobile, Since %s");
}

}  // namespace pellan
