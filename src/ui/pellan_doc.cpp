#include "ui/pellan_doc.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/stick_drivers.h"
#include "ui/settings_file.h"

namespace pellan {
namespace {

constexpr const char* kNoPhone = "No Phone";
// Every registry value is read into a buffer of this size; a longer value cannot be read.
constexpr size_t kRegistryValueBuffer = 1024;
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

// The port number of a "PortName" value such as "COM12": the decimal number after its first
// three characters. Zero when there is none.
int PortNumberOf(const std::string& portName) {
    if (portName.size() <= 3) {
        return 0;
    }
    size_t i = 3;
    while (i < portName.size() && (portName[i] == ' ' || portName[i] == '\t')) {
        ++i;
    }
    long value = 0;
    bool digits = false;
    while (i < portName.size() && portName[i] >= '0' && portName[i] <= '9') {
        value = value * 10 + (portName[i] - '0');
        digits = true;
        if (value > 1000000) {
            return 0;  // no COM port has such a number
        }
        ++i;
    }
    return digits ? static_cast<int>(value) : 0;
}

bool ValidLine(int line) {
    return line >= 0 && line < kLineCount;
}

}  // namespace

CPellanDoc::CPellanDoc(platform::Env& env, std::filesystem::path programFolder)
    : m_env(env), m_programFolder(std::move(programFolder)) {
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

bool CPellanDoc::FolderExists(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string tested = path;
    const char last = tested.back();
    if (last == '\\' || last == '/') {
        if (tested.size() == 3 && tested[1] == ':') {
            return true;  // a drive root
        }
        if (tested.size() > 3) {
            tested.pop_back();
        }
    }
    std::error_code ec;
    return std::filesystem::exists(tested, ec);
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
    return serial.Open(port, baud, 8, 1);
}

bool CPellanDoc::ReopenAtPort(int line, int port, int baud) {
    CAtChannel& at = At(line);
    if (at.m_port.IsOpen()) {
        at.m_port.Close();
    }
    if (!at.m_port.Open(port, baud, 8, 1)) {
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

namespace {

// Reads the port of the most recently enumerated instance (the one named Count - 1) of one of
// the stick's drivers. False when a key or value is missing or does not name a port.
bool ReadDriverPort(platform::Registry& registry, const char* enumKey, int& port) {
    std::string instance;
    {
        const auto key = registry.OpenKey(enumKey);
        if (!key) {
            return false;
        }
        const auto count = key->ReadDword("Count");
        if (!count) {
            return false;
        }
        const auto last = static_cast<int32_t>(*count - 1u);
        const auto path = key->ReadString(Format("%d", last));
        if (!path || path->size() >= kRegistryValueBuffer) {
            return false;
        }
        instance = *path;
    }
    const auto device =
        registry.OpenKey(platform::kDeviceEnumRoot + instance + platform::kDeviceParameters);
    if (!device) {
        return false;
    }
    const auto portName = device->ReadString("PortName");
    if (!portName || portName->size() >= kRegistryValueBuffer) {
        return false;
    }
    // A name without a port number would leave the line on "port 0"; treat it as not found.
    const int number = PortNumberOf(*portName);
    if (number <= 0) {
        return false;
    }
    port = number;
    return true;
}

}  // namespace

bool CPellanDoc::DiscoverPorts(int line) {
    if (!ValidLine(line) || m_env.registry == nullptr) {
        return false;
    }
    LineRecord& record = Record(line);
    int port = 0;
    if (!ReadDriverPort(*m_env.registry, platform::kAtDriverEnumKey, port)) {
        return false;
    }
    std::atomic_ref<int32_t>(record.atPort).store(port);
    if (!ReadDriverPort(*m_env.registry, platform::kDiagDriverEnumKey, port)) {
        return false;
    }
    std::atomic_ref<int32_t>(record.diagPort).store(port);
    return true;
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
