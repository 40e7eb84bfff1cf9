#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace pellan::platform {

// Which USB device is the stick and which of its interfaces carry the two serial ports.
//
// The stick shows up as one USB device with several interfaces; the kernel's usb-serial (option,
// qcserial) or cdc-acm driver gives each serial interface a tty node, and udev tags the node with
// the device's ids (ID_VENDOR_ID, ID_MODEL_ID), its interface number (ID_USB_INTERFACE_NUM) and
// the interface's driver (ID_USB_DRIVER). The diagnostic port is the interface the Windows
// "VLKusbser6k" driver serves, the AT port the one of the "VLKusbnmea" driver. In the boot
// downloader and the flash programmer the stick comes back under another product id with its
// diagnostic interface alone. Check a stick's numbers with `udevadm info /dev/ttyUSB0`.
//
// Configuration file format (LoadStickUsbConfig), one setting per line, '#' starts a comment:
//     usb_id = 05c6:0000        # vendor:product in hexadecimal; product 0000 = any product
//     download_products = 9008  # products of the download modes (no AT port), comma separated
//     diag_interface = 0        # interface number of the diagnostic port
//     at_interface = 1          # interface number of the AT port
struct StickUsbConfig {
    uint16_t vendorId = 0x05C6;
    uint16_t productId = 0;  // 0: any product of the vendor
    std::vector<uint16_t> downloadProductIds{0x9008};
    int diagInterface = 0;
    int atInterface = 1;
    // The kernel drivers that serve the stick's serial interfaces.
    std::vector<std::string> drivers{"option", "qcserial", "cdc_acm"};
};

// Reads settings from `text` over `config`. False with `error` naming the first bad line; the
// settings before it stay applied.
bool ParseStickUsbConfig(const std::string& text, StickUsbConfig& config, std::string& error);
// The same from a file; a missing file leaves `config` unchanged and is not an error.
bool LoadStickUsbConfig(const std::filesystem::path& file, StickUsbConfig& config,
                        std::string& error);

// One serial interface of an attached stick as udev shows it.
struct StickInterface {
    std::string device;      // the USB device's path on the bus, e.g. "1-1.2": the stick's location
    std::string usbSyspath;  // its sysfs folder, e.g. "/sys/devices/pci0000:00/.../1-1.2"
    int interfaceNumber = 0;
    std::string node;  // device node, e.g. "/dev/ttyUSB0"
    uint16_t productId = 0;
    int busNumber = 0;
    int deviceNumber = 0;      // grows with each enumeration on its bus
    std::string instancePath;  // "USB\VID_05C6&PID_9000&MI_00\1-1.2"
};

// The attached sticks' serial interfaces with the given interface number, oldest enumeration
// first. A stick in a download mode has no AT interface.
std::vector<StickInterface> FindStickInterfaces(const StickUsbConfig& config, int interfaceNumber,
                                                bool atPort);

// The stick's ports on real Linux hardware, presented as the registry enumeration of the stick's
// two Windows drivers so that discovery reads them unchanged:
//   ...\Services\VLKusbser6k\Enum and ...\Services\VLKusbnmea\Enum: "Count" and "0".."Count-1",
//     the instance paths of the diagnostic resp. AT interfaces, the newest enumeration last;
//   ...\Enum\<instance path>: "LocationInformation", the USB device's path ("1-1.2");
//   ...\Enum\<instance path>\Device Parameters: "PortName" "COM<N>", N the port number of the
//     interface's tty node (PortForSerialNode without a device root).
// Every key open asks udev afresh. Other keys do not exist. A udev monitor counts the tty and USB
// devices that come and go (Changes), so that a search for the stick need not sleep its full
// pause once one was plugged in.
class UdevRegistry final : public Registry {
  public:
    UdevRegistry() : UdevRegistry(StickUsbConfig{}) {}
    explicit UdevRegistry(StickUsbConfig config);
    ~UdevRegistry() override;
    UdevRegistry(const UdevRegistry&) = delete;
    UdevRegistry& operator=(const UdevRegistry&) = delete;

    std::unique_ptr<RegistryKey> OpenKey(const std::string& path) override;
    uint64_t Changes() const override { return m_changes.load(std::memory_order_acquire); }
    const StickUsbConfig& Config() const { return m_config; }

  private:
    void WatchDevices();

    StickUsbConfig m_config;
    std::atomic<uint64_t> m_changes{0};
    struct Watcher;
    std::unique_ptr<Watcher> m_watcher;
};

}  // namespace pellan::platform
