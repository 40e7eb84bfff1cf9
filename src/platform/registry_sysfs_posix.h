#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace pellan::platform {

// Which USB device is the stick and which of its interfaces carry the two serial ports.
//
// The stick shows up as one USB device with several interfaces; the kernel's usb-serial (option)
// or cdc-acm driver gives each serial interface a tty node. The diagnostic port is the interface
// the Windows "VLKusbser6k" driver serves, the AT port the one of the "VLKusbnmea" driver. Check
// a stick's numbers with `lsusb -v -d VID:PID` (bInterfaceNumber) or
// `ls /sys/bus/usb/devices/*:*/` and set them here when they differ from the defaults.
//
// Configuration file format (LoadStickUsbConfig), one setting per line, '#' starts a comment:
//     usb_id = 05c6:0000        # vendor:product in hexadecimal; product 0000 = any product
//     diag_interface = 0        # bInterfaceNumber of the diagnostic port
//     at_interface = 1          # bInterfaceNumber of the AT port
//     sysfs_root = /sys         # for tests: a copy of the sysfs tree
struct StickUsbConfig {
    uint16_t vendorId = 0x05C6;
    uint16_t productId = 0;  // 0: any product of the vendor
    int diagInterface = 0;
    int atInterface = 1;
    std::filesystem::path sysfsRoot = "/sys";
};

// Reads settings from `text` over `config`. False with `error` naming the first bad line; the
// settings before it stay applied.
bool ParseStickUsbConfig(const std::string& text, StickUsbConfig& config, std::string& error);
// The same from a file; a missing file leaves `config` unchanged and is not an error.
bool LoadStickUsbConfig(const std::filesystem::path& file, StickUsbConfig& config,
                        std::string& error);

// One serial interface of an attached stick as found in sysfs.
struct StickInterface {
    std::string device;  // sysfs name of the USB device, e.g. "1-1.2"
    int interfaceNumber = 0;
    std::string node;  // tty name, e.g. "ttyUSB0"
    int busNumber = 0;
    int deviceNumber = 0;      // grows with each enumeration on its bus
    std::string instancePath;  // "USB\VID_05C6&PID_9000&MI_00\1-1.2"
};

// Finds the attached sticks' serial interfaces with the given interface number, oldest
// enumeration first.
std::vector<StickInterface> FindStickInterfaces(const StickUsbConfig& config, int interfaceNumber);

// The stick's ports on real Linux hardware, presented as the registry enumeration of the stick's
// two Windows drivers so that discovery reads them unchanged:
//   ...\Services\VLKusbser6k\Enum and ...\Services\VLKusbnmea\Enum: "Count" and "0".."Count-1",
//     the instance paths of the diagnostic resp. AT interfaces, the newest enumeration last;
//   ...\Enum\<instance path>\Device Parameters: "PortName" "COM<N>", N the port number of the
//     interface's tty node (PortForSerialNode without a device root).
// Every key open reads sysfs afresh. Other keys do not exist.
class SysfsRegistry final : public Registry {
  public:
    SysfsRegistry() = default;
    explicit SysfsRegistry(StickUsbConfig config) : m_config(std::move(config)) {}
    std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
    const StickUsbConfig& Config() const { return m_config; }

  private:
    StickUsbConfig m_config;
};

}  // namespace pellan::platform
