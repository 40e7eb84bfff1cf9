#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/clock.h"
#include "transport/serial_port.h"

namespace pellan {

enum LinkMode : int32_t {
    MODE_DIAG = 0,    // diagnostic protocol of the normal firmware
    MODE_DLOAD = 1,   // DMSS download protocol of the boot downloader (big-endian fields)
    MODE_STREAM = 2,  // streaming download protocol of the RAM flash programmer
    MODE_RAW = 3,     // the caller writes the packet body into m_sendBuf and reads m_recvBuf
};

// The parameters of the request being built. Each packet builder reads only its command's fields.
struct LinkRequest {
    uint8_t code = 0;
    uint32_t address = 0;  // DMSS write / go (segment << 16 | offset), streaming write
    uint32_t length = 0;   // bytes of `data` used
    uint16_t itemId = 0;   // NV item
    uint16_t mode = 0;     // mode of 0x29
    std::array<uint8_t, 128> nvData{};
    std::array<uint8_t, 1024> data{};
    uint8_t imageType = 0;
};

// The per-line link to the stick's diagnostic port: framing, CRC, the request/response
// transaction, and the commands of the diagnostic, DMSS and streaming protocols. Used by one thread
// at a time (the line's polling loop or its job); it has no lock of its own.
//
// Its fields are public: the line procedures read m_lastError, m_ackList and friends directly, as
// the protocol's results.
class CPhoneLink {
  public:
    static constexpr size_t kRecvLimit = 1024;  // most bytes ever read into m_recvBuf
    // The largest packet is a streaming write: code, 32-bit address, 1024 data bytes.
    static constexpr size_t kMaxPacket = 1 + 4 + 1024;
    // Room for a fully stuffed largest packet with its CRC and both flags.
    static constexpr size_t kSendBufSize = 2 * (kMaxPacket + 2) + 2;
    static constexpr size_t kAckListSize = 64;
    static constexpr size_t kResponseSize = 308;

    CPhoneLink(platform::SerialProvider& serial, platform::Clock& clock);
    virtual ~CPhoneLink();
    CPhoneLink(const CPhoneLink&) = delete;
    CPhoneLink& operator=(const CPhoneLink&) = delete;

    // ---- frame codec and transaction ----
    void ClearBuffers();
    uint32_t BuildFrame();
    bool Transact(uint8_t attempts, uint32_t timeoutMs);
    bool DecodeFrame();
    static size_t CrcAppend(uint8_t* buf, size_t len);
    static bool CrcCheck(const uint8_t* buf, uint16_t len);
    // CRC of file[offset, offset + length) with initial value 0, complemented.
    static bool FileCrc16(const std::string& path, uint32_t offset, uint32_t length, uint8_t& low,
                          uint8_t& high);

    // ---- diagnostic commands (normal firmware) ----
    bool ResetPhone();
    bool GoOffline();
    bool GoOnline();
    bool ReadEsn(uint32_t& esn);
    bool ReadExtBuildId(uint8_t out[256]);
    bool ReadSwVersion(uint8_t out[45]);
    bool ReadVersionSet(uint8_t out[303]);
    bool ReadNvItem(uint16_t itemId, uint8_t data[128], uint16_t& status);
    bool WriteNvItem(uint16_t itemId, uint8_t data[128], uint16_t& status);
    bool ReadImei(uint8_t digits[15]);
    bool SwitchToDownloader();
    bool SendSpc();
    bool FeatureRequest5C();
    bool QueryModemStatus();
    bool GetValue128(const uint8_t block[128]);
    bool DownloadCheck(const uint8_t block[128], uint8_t subsystem);
    bool SetVendorMode(uint8_t value);
    bool SetAutorun(uint8_t value);
    bool GetValue8(uint8_t out[8]);
    bool SetValue16(const uint8_t block[16]);
    bool EnterDiagByAt();
    bool CheckCommunication();
    // The six-character service programming code sent by SendSpc.
    void SetSpc(const std::string& spc);
    const std::string& Spc() const { return m_spc; }

    // ---- DMSS download commands (boot downloader) ----
    bool DloadWrite32(const uint8_t* data, uint32_t address, uint16_t length);
    bool DloadGo(uint16_t segment, uint16_t offset);
    bool DloadGoAlt(uint16_t segment, uint16_t offset);
    bool DloadNop();
    bool DloadReset();
    bool DloadGetParams(uint8_t record[212]);

    // ---- streaming download commands (RAM flash programmer) ----
    bool StreamHello();
    bool StreamSecurityMode();
    bool StreamPartitionTable(const uint8_t* table, uint32_t length);
    bool StreamOpenMultiImage(uint8_t type, const uint8_t* header, uint32_t length);
    bool StreamClose();
    bool StreamNop();
    bool StreamReset();
    bool StreamWrite(const uint8_t* data, uint32_t address, uint32_t length);
    bool StreamWriteNoWait(const uint8_t* data, uint32_t address, uint32_t length);
    bool CollectStreamAcks();

    // ---- state (see the class comment) ----
    CSerialPort m_port;
    uint8_t m_ackCount = 0;
    std::array<uint32_t, kAckListSize> m_ackList{};
    // Acknowledgements found by a scan beyond the 64 that fit in m_ackList; the next scan hands
    // them out first, so none is lost.
    std::deque<uint32_t> m_ackPending;
    LinkRequest m_request;
    std::array<uint8_t, kResponseSize> m_response{};
    uint32_t m_sendLen = 0;
    std::array<uint8_t, kSendBufSize> m_sendBuf{};
    uint16_t m_recvLen = 0;
    // One byte of slack: a download reply without its leading flag gets one put in front.
    std::array<uint8_t, kRecvLimit + 2> m_recvBuf{};
    std::string m_lastError;
    std::string m_message;
    LinkMode m_mode = MODE_DIAG;
    std::array<uint8_t, 1024> m_payload{};
    uint32_t m_payloadLen = 0;
    uint16_t m_rawReplyLen = 0;
    int32_t m_partOverride = 0;
    // The paced rule for every reply: complete only when two counts a poll apart agree, never at
    // its closing flag. Slower, but a stick whose NV task refuses writes that come too close
    // together ("busy") gets them at the pace it was built for. Set from the document's option;
    // an NV write refused as busy sets it for the rest of the job.
    std::atomic<bool> m_pacedReplies{false};
    // What a line's job history takes from the link: the last ESN the stick gave (kNoEsn until
    // one is read) and the image blocks written again because their acknowledgement went missing.
    // Atomic: the history reads them at the job's end, when the polling thread has the link again.
    static constexpr uint32_t kNoEsn = 0xFFFFFFFF;
    std::atomic<uint32_t> m_lastEsn{kNoEsn};
    std::atomic<uint32_t> m_blocksRewritten{0};

  protected:
    platform::Clock& m_clock;

  private:
    // Packet builders write the packet of m_request into m_sendBuf and set m_sendLen; parsers read
    // the unstuffed body in m_recvBuf (m_recvLen bytes) into m_response. Each protocol's pair
    // lives beside its commands.
    void BuildDiagPacket();
    void BuildDloadPacket();
    void BuildStreamPacket();
    bool ParseDiagReply();
    bool ParseDloadReply();
    bool ParseStreamReply();
    // Scans m_recvBuf (m_recvLen bytes) for streaming replies, filling m_ackList.
    bool ScanStreamReplies();
    // Formats `pattern` (one %s) with m_lastError into m_message and m_lastError; returns false.
    bool Fail(const char* pattern);
    // Reads one reply by the polling rule of the transaction, or as soon as a whole frame is
    // queued; leaves its length in m_recvLen.
    bool ReceiveReply(uint32_t timeoutMs, uint32_t pollMs);
    // Length of the first whole reply frame queued (through its closing flag, good CRC; in
    // MODE_RAW any closing flag), 0 while there is none.
    size_t WholeReplyLength();
    // End of the first whole streaming reply queued that answers the block at `address` (its
    // acknowledgement, or an error reply), 0 while there is none.
    size_t OwnStreamReplyEnd(uint32_t address);
    // End of the last whole streaming reply queued (frames paired as the scan pairs them).
    size_t ClosedStreamRepliesEnd();

    std::string m_spc = "000000";
};

}  // namespace pellan
