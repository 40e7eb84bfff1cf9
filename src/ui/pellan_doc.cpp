#include "ui/pellan_doc.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/stick_drivers.h"
#include "ui/settings_file.h"

namespace pellan {
namespace {

constexpr const char* kNoPhone = "No Phone";
constexpr int kQueryBaud = 115200;

std::string Format(const char* pattern, int value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The text of a device-filled buffer: up to its first zero, never beyond its end.
std::string BufferText(const uint8_t* data, size_t size) {
    const void* zero = std::memchr(data, 0, size);
    const size_t n =
        zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size;
    return std::string(reinterpret_cast<const char*>(data), n);
}

bool ValidLine(int line) {
    return line >= 0 && line < kLineCount;
}

}  // namespace

CPellanDoc::CPellanDoc(platform::Env& env, std::filesystem::path programFolder)
    : m_env(env), m_programFolder(std::move(programFolder)), m_bindings(env.registry, *env.clock) {
    for (auto& runtime : m_lines) {
        runtime = std::make_unique<LineRuntime>();
        runtime->link = std::make_unique<CPhoneLink>(*m_env.serial, *m_env.clock);
        runtime->at = std::make_unique<CAtChannel>(*m_env.serial, *m_env.clock);
        SetField(runtime->imei, "000000000000000");
    }
    SetDefaults();
    LoadSettings(SettingsPath(), m_settingsMessage);
    BuildLinePaths();
    for (int line = 0; line < kLineCount; ++line) {
        const bool hasPort = Record(line).diagPort != 0;
        Runtime(line).phoneState = hasPort ? 1 : 0;
        SetField(Runtime(line).fallbackVersion, hasPort ? kNoPhone : "NULL");
    }
}

CPellanDoc::~CPellanDoc() = default;

void CPellanDoc::SetDefaults() {
    for (auto& record : m_records) {
        record = LineRecord{};
        record.baud = kQueryBaud;
    }
    m_records[0].diagPort = 1;
}

std::filesystem::path CPellanDoc::SettingsPath() const {
    return m_programFolder / "WCDMA_DL_Setting.cfg";
}

bool CPellanDoc::LoadSettings(const std::filesystem::path& file, std::string& message) {
    std::uintmax_t length = 0;
    message.clear();
    switch (ReadSettingsFile(file, m_records, length)) {
        case SettingsReadResult::Read:
            return true;
        case SettingsReadResult::Missing:
            return false;
        case SettingsReadResult::WrongLength: {
            char text[1024];
            std::snprintf(
                text, sizeof text,
                Text("The settings file %s is %llu bytes long instead of %llu; it was not read "
                     "and the default settings are used.",
                     "配置文件%s的长度为%llu字节，应为%llu字节；该文件未被读取，使用缺省配置。"),
                file.string().c_str(), static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(kSettingsFileSize));
            message = text;
            return false;
        }
        case SettingsReadResult::Unreadable: {
            message = file.string() + Text(" cannot be read; the default settings are used.",
                                           "无法读取，使用缺省配置。");
            return false;
        }
    }
    return false;
}

bool CPellanDoc::SaveSettings(const std::filesystem::path& file) const {
    return WriteSettingsFile(file, m_records);
}

void CPellanDoc::BuildLinePaths() {
    const std::string armprg = (m_programFolder / "armprg.bin").string();
    for (int line = 0; line < kLineCount; ++line) {
        LineRecord& record = Record(line);
        SetField(record.armprgPath, armprg);
        SetField(record.nvmFilePath, GetField(record.nvFolder) + Format("Channel%d.nvm", line + 1));
    }
}

void CPellanDoc::SetLineVersionTexts(int line, const std::string& text, bool fallbackToo) {
    LineRuntime& runtime = Runtime(line);
    SetField(runtime.currentVersion, text);
    SetField(runtime.secondVersion, text);
    SetField(runtime.identity, text);
    if (fallbackToo) {
        SetField(runtime.fallbackVersion, text);
    }
}

std::string CPellanDoc::DisplayText(int line, int which) {
    LineRuntime& runtime = Runtime(line);
    switch (which) {
        case 0:
            return GetField(runtime.currentVersion);
        case 1:
            return GetField(runtime.secondVersion);
        default:
            return GetField(runtime.identity);
    }
}

std::string CPellanDoc::FallbackVersion(int line) {
    return GetField(Runtime(line).fallbackVersion);
}

// ---- ports ----

bool CPellanDoc::ReopenDiagPort(int line, int port, int baud) {
    CSerialPort& serial = Link(line).m_port;
    if (serial.IsOpen()) {
        serial.Close();
    }
    const int current = m_bindings.DiagPort(line, port);
    return current > 0 && serial.Open(current, baud, 8, 1);
}

bool CPellanDoc::ReopenAtPort(int line, int port, int baud) {
    CAtChannel& at = At(line);
    if (at.m_port.IsOpen()) {
        at.m_port.Close();
    }
    const int current = m_bindings.AtPort(line, port);
    if (current <= 0 || !at.m_port.Open(current, baud, 8, 1)) {
        return false;
    }
    at.SetTimeout(1000);
    at.SetRetries(2);
    return true;
}

bool CPellanDoc::CloseDiagPort(int line) {
    Link(line).m_port.Close();
    return true;
}

bool CPellanDoc::CloseAtPort(int line) {
    At(line).m_port.Close();
    return true;
}

bool CPellanDoc::RestoreDiagPort(int line) {
    if (At(line).QueryDiagPort() == 6) {
        return true;
    }
    return At(line).SetDiagPort(6);
}

bool CPellanDoc::HideDiagPort(int line) {
    return At(line).SetDiagPort(1);
}

// ---- discovery ----

bool CPellanDoc::DiscoverPorts(int line) {
    if (!ValidLine(line) || m_env.registry == nullptr) {
        return false;
    }
    BoundPorts ports;
    const bool found = m_bindings.Search(line, Runtime(line).running.load() != 0, ports);
    if (!m_bindings.Location(line).empty()) {
        return found;
    }
    LineRecord& record = Record(line);
    if (ports.at > 0) {
        std::atomic_ref<int32_t>(record.atPort).store(ports.at);
    }
    if (ports.diag > 0) {
        std::atomic_ref<int32_t>(record.diagPort).store(ports.diag);
    }
    return found;
}

int CPellanDoc::LineDiagPort(int line) {
    if (!ValidLine(line)) {
        return 0;
    }
    if (!m_bindings.Location(line).empty()) {
        return m_bindings.LastPorts(line).diag;
    }
    return std::atomic_ref<int32_t>(Record(line).diagPort).load();
}

int CPellanDoc::LineAtPort(int line) {
    if (!ValidLine(line)) {
        return 0;
    }
    if (!m_bindings.Location(line).empty()) {
        // Looked up at the stick's location now: the AT port stays listed while the DIAG port is
        // hidden, when the last search found no whole stick there.
        return m_bindings.AtPort(line, 0);
    }
    return std::atomic_ref<int32_t>(Record(line).atPort).load();
}

// ---- the stick's identity ----

bool CPellanDoc::QueryPhone(int line) {
    LineRuntime& runtime = Runtime(line);
    CPhoneLink& link = *runtime.link;
    if (!link.CheckCommunication()) {
        runtime.phoneState = 1;
        SetLineVersionTexts(line, kNoPhone, true);
        return false;
    }
    runtime.versionSet.fill(0);
    if (link.ReadVersionSet(runtime.versionSet.data())) {
        const uint8_t* set = runtime.versionSet.data();
        SetField(runtime.currentVersion, BufferText(set + 1, 31));
        SetField(runtime.secondVersion, BufferText(set + 32, 31));
        SetField(runtime.identity, BufferText(set + 249, 31));
        runtime.phoneState = 2;
        return true;
    }
    SetLineVersionTexts(line, kNoPhone, false);
    bool answered = false;
    if (link.ReadSwVersion(runtime.swVersion.data())) {
        SetField(runtime.fallbackVersion,
                 BufferText(runtime.swVersion.data(), runtime.swVersion.size()));
        answered = true;
    } else {
        std::array<uint8_t, 256> buildId{};
        if (link.ReadExtBuildId(buildId.data())) {
            SetField(runtime.fallbackVersion, BufferText(buildId.data(), buildId.size()));
            answered = true;
        } else {
            uint32_t esn = 0;
            if (link.ReadEsn(esn)) {
                if (esn != 0) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(esn));
                    SetField(runtime.fallbackVersion, hex);
                }
                answered = true;
            }
        }
    }
    if (answered) {
        runtime.phoneState = 2;
        return true;
    }
    runtime.phoneState = 1;
    SetLineVersionTexts(line, kNoPhone, true);
    return false;
}

bool CPellanDoc::ResetStick(int line, bool dloadMode) {
    Runtime(line).phoneState = 1;
    // The stick leaves the bus now; the line keeps it while it restarts.
    m_bindings.KeepAfterReset(line);
    if (dloadMode) {
        return Link(line).DloadReset();
    }
    // A job that failed while the flash programmer runs would otherwise send the programmer a
    // diagnostic reset it does not understand, and the stick would stay in the programmer.
    if (Link(line).m_mode == MODE_STREAM) {
        return Link(line).StreamReset();
    }
    return Link(line).ResetPhone();
}

}  // namespace pellan
