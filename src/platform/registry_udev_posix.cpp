#include "platform/registry_udev_posix.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <tuple>

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

// A number that udev shows as text (hexadecimal ids and interface numbers, decimal counters).
long NumberOf(const char* text, int base) {
    return text == nullptr ? -1 : ParseNumber(text, base).value_or(-1);
}

bool Listed(const std::vector<uint16_t>& products, long product) {
    return std::find(products.begin(), products.end(), product) != products.end();
}

// The stick's interface behind the tty node `tty`, when it is one with the wanted number.
std::optional<StickInterface> InterfaceOf(const StickUsbConfig& config, udev_device* tty,
                                          int interfaceNumber, bool atPort) {
    const long vendor = NumberOf(udev_device_get_property_value(tty, "ID_VENDOR_ID"), 16);
    const long product = NumberOf(udev_device_get_property_value(tty, "ID_MODEL_ID"), 16);
    const long number = NumberOf(udev_device_get_property_value(tty, "ID_USB_INTERFACE_NUM"), 16);
    const char* driver = udev_device_get_property_value(tty, "ID_USB_DRIVER");
    const char* node = udev_device_get_devnode(tty);
    const bool downloadMode = Listed(config.downloadProductIds, product);
    if (vendor != config.vendorId || product < 0 || number != interfaceNumber || node == nullptr ||
        driver == nullptr ||
        std::find(config.drivers.begin(), config.drivers.end(), driver) == config.drivers.end() ||
        (config.productId != 0 && product != config.productId && !downloadMode) ||
        (atPort && downloadMode)) {
        return std::nullopt;
    }
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb == nullptr) {
        return std::nullopt;
    }
    StickInterface found;
    found.device = udev_device_get_sysname(usb);
    found.usbSyspath = udev_device_get_syspath(usb);
    found.interfaceNumber = interfaceNumber;
    found.node = node;
    found.productId = static_cast<uint16_t>(product);
    found.busNumber = static_cast<int>(NumberOf(udev_device_get_sysattr_value(usb, "busnum"), 10));
    found.deviceNumber =
        static_cast<int>(NumberOf(udev_device_get_sysattr_value(usb, "devnum"), 10));
    found.instancePath = InstancePathOf(config, found.productId, interfaceNumber, found.device);
    return found;
}

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
        } else if (ok && name == "download_products") {
            std::vector<uint16_t> products;
            std::istringstream items(value);
            for (std::string item; ok && std::getline(items, item, ',');) {
                const auto product = ParseNumber(item, 16);
                ok = product && *product <= 0xFFFF;
                products.push_back(static_cast<uint16_t>(product.value_or(0)));
            }
            if (ok) {
                config.downloadProductIds = products;
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

std::vector<StickInterface> FindStickInterfaces(const StickUsbConfig& config, int interfaceNumber,
                                                bool atPort) {
    std::vector<StickInterface> found;
    udev* context = udev_new();
    if (context == nullptr) {
        return found;
    }
    udev_enumerate* enumerate = udev_enumerate_new(context);
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", config.vendorId);
    udev_enumerate_add_match_subsystem(enumerate, "tty");
    udev_enumerate_add_match_property(enumerate, "ID_VENDOR_ID", vendor);
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        udev_device* tty = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (tty == nullptr) {
            continue;
        }
        if (auto port = InterfaceOf(config, tty, interfaceNumber, atPort)) {
            found.push_back(std::move(*port));
        }
        udev_device_unref(tty);
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
    // The kernel numbers devices on a bus in the order they were enumerated; that order stands
    // in for the driver's instance order, so the newest stick comes last as on Windows.
    std::sort(found.begin(), found.end(), [](const StickInterface& a, const StickInterface& b) {
        return std::tie(a.deviceNumber, a.busNumber, a.device) <
               std::tie(b.deviceNumber, b.busNumber, b.device);
    });
    return found;
}

struct UdevRegistry::Watcher {
    int wake[2] = {-1, -1};
    std::thread thread;
    Watcher() {
        if (::pipe(wake) != 0) {
            wake[0] = wake[1] = -1;
        }
    }
    void Stop() {
        if (wake[1] >= 0) {
            ::close(wake[1]);  // the watcher sees the pipe hang up
            wake[1] = -1;
        }
        if (thread.joinable()) {
            thread.join();
        }
        if (wake[0] >= 0) {
            ::close(wake[0]);
            wake[0] = -1;
        }
    }
};

UdevRegistry::UdevRegistry(StickUsbConfig config)
    : m_config(std::move(config)), m_watcher(std::make_unique<Watcher>()) {
    if (m_watcher->wake[0] >= 0) {
        m_watcher->thread = std::thread([this] { WatchDevices(); });
    }
}

UdevRegistry::~UdevRegistry() {
    m_watcher->Stop();
}

std::unique_ptr<RegistryKey> UdevRegistry::OpenKey(const std::string& path) {
    const bool diagDriver = EqualNoCase(path, kDiagDriverEnumKey);
    if (diagDriver || EqualNoCase(path, kAtDriverEnumKey)) {
        const auto interfaces = FindStickInterfaces(
            m_config, diagDriver ? m_config.diagInterface : m_config.atInterface, !diagDriver);
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
    for (const bool at : {false, true}) {
        for (const auto& entry : FindStickInterfaces(
                 m_config, at ? m_config.atInterface : m_config.diagInterface, at)) {
            if (!EqualNoCase(entry.instancePath, instance)) {
                continue;
            }
            auto key = std::make_unique<MapKey>();
            if (!parameters) {
                key->m_strings["LocationInformation"] = entry.device;
            } else if (const auto port = PortForSerialNode({}, entry.node)) {
                key->m_strings["PortName"] = "COM" + std::to_string(*port);
            }
            return key;
        }
    }
    return nullptr;
}

// The monitor's socket is read on a thread of its own; a pipe wakes it for the end.
void UdevRegistry::WatchDevices() {
    udev* context = udev_new();
    udev_monitor* monitor =
        context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        // No monitor (a container without udev): searches sleep their full pauses.
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
        return;
    }
    pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {m_watcher->wake[0], POLLIN, 0}};
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            if (udev_device* device = udev_monitor_receive_device(monitor)) {
                udev_device_unref(device);
                m_changes.fetch_add(1, std::memory_order_acq_rel);
            }
        }
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
}

}  // namespace pellan::platform
