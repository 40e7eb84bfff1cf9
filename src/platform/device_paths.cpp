#include "platform/device_paths.h"

#include <charconv>
#include <climits>
#include <string>
#include <string_view>

namespace pellan::platform {
namespace {

constexpr std::string_view kUsbPrefix = "ttyUSB";
constexpr std::string_view kAcmPrefix = "ttyACM";
constexpr std::string_view kComPrefix = "COM";
const std::filesystem::path kDevFolder = "/dev";

// The decimal number behind `prefix` in `name`; nothing for other names, signs, leading zeros or
// overflow, so that every node name maps to at most one number and back to the same name.
std::optional<int> NumberAfter(std::string_view name, std::string_view prefix) {
    if (name.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(prefix.size());
    if (digits.empty() || digits.front() < '0' || digits.front() > '9' ||
        (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::filesystem::path SerialNodeForPort(const std::filesystem::path& deviceRoot, int portNumber) {
    if (portNumber < 1) {
        return {};
    }
    if (!deviceRoot.empty()) {
        return deviceRoot / (std::string(kComPrefix) + std::to_string(portNumber));
    }
    if (portNumber < kFirstAcmPort) {
        return kDevFolder / (std::string(kUsbPrefix) + std::to_string(portNumber - 1));
    }
    return kDevFolder / (std::string(kAcmPrefix) + std::to_string(portNumber - kFirstAcmPort));
}

std::optional<int> PortForSerialNode(const std::filesystem::path& deviceRoot,
                                     const std::filesystem::path& node) {
    const std::string name = node.filename().string();
    const std::filesystem::path folder = node.parent_path();
    if (!deviceRoot.empty()) {
        if (!folder.empty() && folder.lexically_normal() != deviceRoot.lexically_normal()) {
            return std::nullopt;
        }
        const auto port = NumberAfter(name, kComPrefix);
        return port && *port >= 1 ? port : std::nullopt;
    }
    if (!folder.empty() && folder != kDevFolder) {
        return std::nullopt;
    }
    if (const auto index = NumberAfter(name, kUsbPrefix)) {
        return *index + 1 < kFirstAcmPort ? std::optional<int>(*index + 1) : std::nullopt;
    }
    if (const auto index = NumberAfter(name, kAcmPrefix)) {
        return *index <= INT_MAX - kFirstAcmPort ? std::optional<int>(*index + kFirstAcmPort)
                                                 : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace pellan::platform
