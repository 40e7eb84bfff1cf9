#include "platform/registry_sysfs_posix.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/device_paths.h"
#include "platform/stick_drivers.h"

namespace pellan::platform {
namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::optional<long> ParseNumber(const std::string& text, int base) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    long value = 0;
    for (const char c : trimmed) {
        const char l = Lower(c);
        int digit = -1;
        if (l >= '0' && l <= '9') {
            digit = l - '0';
        } else if (base == 16 && l >= 'a' && l <= 'f') {
            digit = l - 'a' + 10;
        }
        if (digit < 0 || value > 0x7FFFFFF) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

// The first line of a small sysfs attribute file.
std::optional<std::string> ReadAttribute(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return Trim(line);
}

std::optional<long> ReadNumberAttribute(const std::filesystem::path& file, int base) {
    const auto text = ReadAttribute(file);
    return text ? ParseNumber(*text, base) : std::nullopt;
}

bool IsTtyName(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

// The tty node of an interface: usb-serial drivers put "ttyUSBn" in the interface's folder,
// cdc-acm puts "tty/ttyACMn".
std::string TtyOfInterface(const std::filesystem::path& folder) {
    std::error_code ec;
    for (const auto& sub : {folder, folder / "tty"}) {
        for (std::filesystem::directory_iterator it(sub, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (IsTtyName(name)) {
                return name;
            }
        }
        ec.clear();
    }
    return {};
}

std::string InstancePathOf(const StickUsbConfig& config, uint16_t product, int interfaceNumber,
                           const std::string& device) {
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&MI_%02X\\", config.vendorId, product,
                  static_cast<unsigned>(interfaceNumber));
    return text + device;
}

class MapKey final : public RegistryKey {
  public:
    std::optional<uint32_t> ReadDword(const std::string& name) const override {
        for (const auto& [key, value] : m_dwords) {
            if (EqualNoCase(key, name)) {
                return value;
            }
        }
        return std::nullopt;
    }
    std::optional<std::string> ReadString(const std::string& name) const override {
        for (const auto& [key, value] : m_strings) {
            if (EqualNoCase(key, name)) {
                return value;
            }
        }
        return std::nullopt;
    }

    std::map<std::string, uint32_t> m_dwords;
    std::map<std::string, std::string> m_strings;
};

}  // namespace

bool ParseStickUsbConfig(const std::string& text, StickUsbConfig& config, std::string& error) {
    std::istringstream in(text);
    std::string raw;
    int lineNumber = 0;
    while (std::getline(in, raw)) {
        ++lineNumber;
        const std::string line = Trim(raw.substr(0, raw.find('#')));
        if (line.empty()) {
            continue;
        }
        const size_t equals = line.find('=');
        const std::string name = equals == std::string::npos ? line : Trim(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
        bool ok = equals != std::string::npos;
        if (ok && name == "usb_id") {
            const size_t colon = value.find(':');
            const auto vendor =
                colon == std::string::npos ? std::nullopt : ParseNumber(value.substr(0, colon), 16);
            const auto product = colon == std::string::npos
                                     ? std::nullopt
                                     : ParseNumber(value.substr(colon + 1), 16);
            ok = vendor && product && *vendor <= 0xFFFF && *product <= 0xFFFF;
            if (ok) {
                config.vendorId = static_cast<uint16_t>(*vendor);
                config.productId = static_cast<uint16_t>(*product);
            }
        } else if (ok && (name == "diag_interface" || name == "at_interface")) {
            const auto number = ParseNumber(value, 10);
            ok = number && *number <= 255;
            if (ok) {
                (name == "diag_interface" ? config.diagInterface : config.atInterface) =
                    static_cast<int>(*number);
            }
        } else if (ok && name == "sysfs_root") {
            ok = !value.empty();
            if (ok) {
                config.sysfsRoot = value;
            }
        } else {
            ok = false;
        }
        if (!ok) {
            error = "line " + std::to_string(lineNumber) + ": cannot use \"" + line + "\"";
            return false;
        }
    }
    return true;
}

bool LoadStickUsbConfig(const std::filesystem::path& file, StickUsbConfig& config,
                        std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        return true;
    }
    std::ifstream in(file);
    if (!in) {
        error = file.string() + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!ParseStickUsbConfig(text.str(), config, error)) {
        error = file.string() + ", " + error;
        return false;
    }
    return true;
}

std::vector<StickInterface> FindStickInterfaces(const StickUsbConfig& config, int interfaceNumber) {
    std::vector<StickInterface> found;
    const std::filesystem::path devices = config.sysfsRoot / "bus" / "usb" / "devices";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devices, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string device = it->path().filename().string();
        if (device.find(':') != std::string::npos) {
            continue;  // an interface, not a device
        }
        const auto vendor = ReadNumberAttribute(it->path() / "idVendor", 16);
        const auto product = ReadNumberAttribute(it->path() / "idProduct", 16);
        if (!vendor || !product || *vendor != config.vendorId ||
            (config.productId != 0 && *product != config.productId)) {
            continue;
        }
        // The interface folders are named "<device>:<configuration>.<interface>".
        std::error_code ec2;
        for (std::filesystem::directory_iterator sub(devices, ec2), end2; !ec2 && sub != end2;
             sub.increment(ec2)) {
            const std::string name = sub->path().filename().string();
            if (name.rfind(device + ":", 0) != 0) {
                continue;
            }
            const auto number = ReadNumberAttribute(sub->path() / "bInterfaceNumber", 16);
            if (!number || *number != interfaceNumber) {
                continue;
            }
            const std::string node = TtyOfInterface(sub->path());
            if (node.empty()) {
                continue;
            }
            StickInterface entry;
            entry.device = device;
            entry.interfaceNumber = interfaceNumber;
            entry.node = node;
            entry.busNumber =
                static_cast<int>(ReadNumberAttribute(it->path() / "busnum", 10).value_or(0));
            entry.deviceNumber =
                static_cast<int>(ReadNumberAttribute(it->path() / "devnum", 10).value_or(0));
            entry.instancePath =
                InstancePathOf(config, static_cast<uint16_t>(*product), interfaceNumber, device);
            found.push_back(entry);
            break;
        }
    }
    // The kernel numbers devices on a bus in the order they were enumerated; that order stands
    // in for the driver's instance order, so the newest stick comes last as on Windows.
    std::sort(found.begin(), found.end(), [](const StickInterface& a, const StickInterface& b) {
        if (a.deviceNumber != b.deviceNumber) {
            return a.deviceNumber < b.deviceNumber;
        }
        if (a.busNumber != b.busNumber) {
            return a.busNumber < b.busNumber;
        }
        return a.device < b.device;
    });
    return found;
}

std::unique_ptr<RegistryKey> SysfsRegistry::OpenKey(const std::string& path) {
    const bool diagDriver = EqualNoCase(path, kDiagDriverEnumKey);
    if (diagDriver || EqualNoCase(path, kAtDriverEnumKey)) {
        const auto interfaces = FindStickInterfaces(
            m_config, diagDriver ? m_config.diagInterface : m_config.atInterface);
        auto key = std::make_unique<MapKey>();
        key->m_dwords["Count"] = static_cast<uint32_t>(interfaces.size());
        for (size_t i = 0; i < interfaces.size(); ++i) {
            key->m_strings[std::to_string(i)] = interfaces[i].instancePath;
        }
        return key;
    }
    // "Enum\<instance>" carries the stick's location, its USB device path ("1-1.2"): the same
    // for every interface of the stick and across its restarts, as long as it stays in that
    // USB port. "Enum\<instance>\Device Parameters" carries the port name.
    const std::string root = kDeviceEnumRoot;
    const std::string tail = kDeviceParameters;
    if (path.size() <= root.size() || !EqualNoCase(path.substr(0, root.size()), root)) {
        return nullptr;
    }
    const bool parameters = path.size() > root.size() + tail.size() &&
                            EqualNoCase(path.substr(path.size() - tail.size()), tail);
    const std::string instance =
        path.substr(root.size(), path.size() - root.size() - (parameters ? tail.size() : 0));
    for (const int number : {m_config.diagInterface, m_config.atInterface}) {
        for (const auto& entry : FindStickInterfaces(m_config, number)) {
            if (!EqualNoCase(entry.instancePath, instance)) {
                continue;
            }
            auto key = std::make_unique<MapKey>();
            if (!parameters) {
                key->m_strings["LocationInformation"] = entry.device;
            } else if (const auto port =
                           PortForSerialNode({}, std::filesystem::path("/dev") / entry.node)) {
                key->m_strings["PortName"] = "COM" + std::to_string(*port);
            }
            return key;
        }
    }
    return nullptr;
}

}  // namespace pellan::platform
