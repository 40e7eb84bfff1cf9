#include <algorithm>
#include <set>

#include "line/modem_manager.h"
#include "platform/registry_udev_posix.h"

namespace pellan {

namespace {

// ModemManager names a device by the sysfs path of its USB device (what `mmcli -m N` shows as
// "device").
std::vector<std::string> StickDeviceUids(const platform::StickUsbConfig& config) {
    std::set<std::string> uids;
    for (const bool at : {false, true}) {
        for (const platform::StickInterface& found : platform::FindStickInterfaces(
                 config, at ? config.atInterface : config.diagInterface, at)) {
            uids.insert(found.usbSyspath);
        }
    }
    return {uids.begin(), uids.end()};
}

}  // namespace

std::unique_ptr<ModemManagerInhibitor> MakeModemManagerInhibitor(const platform::Env& env) {
    // A device root plays the whole machine: the system's modem manager has nothing to do
    // with its simulated sticks.
    const auto* udev = dynamic_cast<const platform::UdevRegistry*>(env.registry);
    if (!env.deviceRoot.empty() || udev == nullptr || env.clock == nullptr) {
        return nullptr;
    }
    const std::filesystem::path mmcli =
        platform::FindProgram("mmcli", platform::ProgramSearchPath());
    if (mmcli.empty()) {
        return nullptr;
    }
    const platform::StickUsbConfig config = udev->Config();
    return std::make_unique<CMmcliInhibitor>(
        [mmcli](const std::vector<std::string>& args) {
            return platform::StartChildProcess(mmcli, args);
        },
        [config] { return StickDeviceUids(config); }, *env.clock);
}

}  // namespace pellan
