#include "nv/nv_fixture.h"

#include <fstream>
#include <iterator>

#include "diag/frame_codec.h"
#include "nv/nv_backup.h"

namespace pellan::test {
namespace {

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void PutLe16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The packet inside a written frame: flags dropped, escapes removed, CRC checked and dropped.
// Empty when the frame is broken.
Bytes PacketOf(const Bytes& written) {
    Bytes body(written);
    if (!body.empty() && body.front() == frame::kFlag) {
        body.erase(body.begin());
    }
    if (body.empty() || body.back() != frame::kFlag) {
        return {};
    }
    body.pop_back();
    body.resize(frame::Unstuff(body.data(), body.size(), body.data()));
    if (body.size() < 3 || !frame::CrcCheck(body.data(), body.size())) {
        return {};
    }
    body.resize(body.size() - 2);
    return body;
}

Bytes NvReply(uint8_t code, uint16_t id, const uint8_t* data, uint16_t status) {
    Bytes reply{code};
    PutLe16(reply, id);
    reply.insert(reply.end(), data, data + kNvItemDataSize);
    PutLe16(reply, status);
    return reply;
}

}  // namespace

// ---- FakeNvStick ----

NvData ItemPattern(uint16_t id) {
    NvData data{};
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>((id * 31 + i * 7 + (id >> 8)) & 0xFF);
    }
    data[0] = static_cast<uint8_t>(id & 0xFF);
    data[1] = static_cast<uint8_t>(id >> 8);
    return data;
}

FakeNvStick::FakeNvStick(FakePort& port) {
    port.SetResponder([this](const Bytes& written) { return Respond(written); });
}

Bytes FakeNvStick::Respond(const Bytes& written) {
    const Bytes packet = PacketOf(written);
    std::lock_guard lock(m_mutex);
    if (packet.empty()) {
        m_log.push_back("broken frame");
        return {};
    }
    Bytes reply;
    switch (packet[0]) {
        case 0x01:
            m_log.push_back("ReadEsn");
            reply = {0x01, 0x78, 0x56, 0x34, 0x12};
            break;
        case 0x26: {
            const uint16_t id = Le16(&packet[1]);
            m_log.push_back("ReadNvItem " + std::to_string(id));
            m_reads.push_back(id);
            uint16_t status = m_items.count(id) != 0 ? 0 : 5;
            auto script = m_readScript.find(id);
            if (script != m_readScript.end() && !script->second.empty()) {
                status = script->second.front();
                script->second.pop_front();
            }
            if (status == kNvStatusNoAnswer) {
                return {};
            }
            NvData data{};
            if (status == 0) {
                data = m_items[id];
            }
            reply = NvReply(0x26, id, data.data(), status);
            break;
        }
        case 0x27: {
            const uint16_t id = Le16(&packet[1]);
            m_log.push_back("WriteNvItem " + std::to_string(id));
            Write write{id, {}};
            std::copy_n(packet.begin() + 3, kNvItemDataSize, write.data.begin());
            m_writes.push_back(write);
            uint16_t status = 0;
            auto script = m_writeScript.find(id);
            if (script != m_writeScript.end() && !script->second.empty()) {
                status = script->second.front();
                script->second.pop_front();
            }
            if (status == kNvStatusNoAnswer) {
                return {};
            }
            if (status == 0) {
                m_items[id] = write.data;
            }
            reply = NvReply(0x27, id, write.data.data(), status);
            break;
        }
        case 0x29: {
            const uint16_t mode = Le16(&packet[1]);
            m_log.push_back(mode == 1   ? "GoOffline"
                            : mode == 4 ? "GoOnline"
                            : mode == 2 ? "ResetPhone"
                                        : "Mode " + std::to_string(mode));
            reply = {0x29, packet[1], packet[2]};
            break;
        }
        case 0x4B:
            if (packet.size() >= 4 && packet[2] == 0x05) {
                m_log.push_back("DownloadCheck");
                m_checkedBlock.assign(packet.begin() + 4, packet.end());
                reply = {0x4B, packet[1], 0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
            } else {
                m_log.push_back("vendor");
                return {};
            }
            break;
        default:
            m_log.push_back("code " + std::to_string(packet[0]));
            return {};
    }
    if (m_silent || m_ignored.count(m_log.back()) != 0) {
        return {};
    }
    return frame::EncodeFrame(reply, false);
}

std::vector<uint16_t> FakeNvStick::WrittenIds() const {
    std::vector<uint16_t> ids;
    for (const Write& write : Writes()) {
        ids.push_back(write.id);
    }
    return ids;
}

NvmTable BackupTable() {
    NvmTable table = BuildBackupTable();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        table[i].data = ItemPattern(table[i].itemId);
    }
    return table;
}

// ---- NvJobFixture ----

NvJobFixture::NvJobFixture() {
    env.clock = &clock;
    env.serial = &serial;
}

void NvJobFixture::SetUp() {
    std::filesystem::create_directories(dir.Path() / "program");
    std::filesystem::create_directories(dir.Path() / "nv");
    doc = std::make_unique<CPellanDoc>(env, dir.Path() / "program");
    view = std::make_unique<CPellanView>(*doc, sink);
    std::string error;
    ASSERT_TRUE(ChooseNvFolder(*doc, (dir.Path() / "nv").string(), error)) << error;
    doc->Runtime(kLine).phoneState = 2;
    // amss.mbn with its location data record on a 4-byte boundary behind some image bytes.
    std::vector<uint8_t> amss(64, 0x11);
    const std::vector<uint8_t> location = LocationRecord();
    amss.insert(amss.end(), location.begin(), location.end());
    amss.resize(amss.size() + 40, 0x22);
    const std::string amssPath = (dir.Path() / "amss.mbn").string();
    WriteFileBytes(amssPath, amss);
    SetField(doc->Record(kLine).amssPath, amssPath);
    ASSERT_TRUE(doc->Link(kLine).m_port.Open(kPortNumber, 115200, 8, 1));
}

std::vector<uint8_t> NvJobFixture::LocationRecord() {
    std::vector<uint8_t> record{0x2C, 0x1A, 0xBE, 0x6E};
    for (uint8_t i = 0; record.size() < 128; ++i) {
        record.push_back(static_cast<uint8_t>(0x80 + i));
    }
    return record;
}

void NvJobFixture::FillStick() {
    for (uint16_t id : NvBackupList) {
        stick.SetItem(id, ItemPattern(id));
    }
}

std::string NvJobFixture::NvFolder() const {
    return (dir.Path() / "nv" / "").string();  // ends in the system's separator
}

std::string NvJobFixture::NvmPath() const {
    return NvFolder() + "Channel1.nvm";
}

std::vector<std::string> NvJobFixture::LogLines() const {
    return LogLinesOf(*view, kLine);
}

std::vector<int> NvJobFixture::Progress() const {
    return sink.ProgressHistory(ctl::kProgressBar + kLine);
}

std::vector<std::string> LogLinesOf(const CPellanView& view, int line) {
    std::vector<std::string> lines;
    const std::string log = view.LineLog(line);
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            end = log.size();
        }
        std::string entry = log.substr(start, end - start);
        const size_t separator = entry.find(kLogSeparator);
        if (separator != std::string::npos) {
            entry = entry.substr(separator + std::string(kLogSeparator).size());
        }
        lines.push_back(entry);
        start = end + 1;
    }
    return lines;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace pellan::test
