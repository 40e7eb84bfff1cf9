#include <algorithm>
#include <set>
#include <system_error>

#include "line/modem_manager.h"
#include "platform/registry_sysfs_posix.h"

namespace pellan {

namespace {

// ModemManager names a device by the sysfs path of its USB device (what `mmcli -m N` shows as
// "device").
std::vector<std::string> StickDeviceUids(const platform::StickUsbConfig& config) {
    std::set<std::string> uids;
    for (const int interfaceNumber : {config.diagInterface, config.atInterface}) {
        for (const platform::StickInterface& found :
             platform::FindStickInterfaces(config, interfaceNumber)) {
            std::error_code ec;
            const std::filesystem::path device = std::filesystem::canonical(
                config.sysfsRoot / "bus" / "usb" / "devices" / found.device, ec);
            if (!ec) {
                uids.insert(device.string());
            }
        }
    }
    return {uids.begin(), uids.end()};
}

}  // namespace

std::unique_ptr<ModemManagerInhibitor> MakeModemManagerInhibitor(const platform::Env& env) {
    // A device root plays the whole machine: the system's modem manager has nothing to do
    // with its simulated sticks.
    const auto* sysfs = dynamic_cast<const platform::SysfsRegistry*>(env.registry);
    if (!env.deviceRoot.empty() || sysfs == nullptr || env.clock == nullptr) {
        return nullptr;
    }
    const std::filesystem::path mmcli =
        platform::FindProgram("mmcli", platform::ProgramSearchPath());
    if (mmcli.empty()) {
        return nullptr;
    }
    const platform::StickUsbConfig config = sysfs->Config();
    return std::make_unique<CMmcliInhibitor>(
        [mmcli](const std::vector<std::string>& args) {
            return platform::StartChildProcess(mmcli, args);
        },
        [config] { return StickDeviceUids(config); }, *env.clock);
}

}  // namespace pellan
