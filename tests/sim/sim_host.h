#pragma once

// The host side of the simulator tests: a phone link and an AT channel as a line holds them, and
// the port discovery done the way the stick's drivers publish the ports (registry enumeration).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "diag/phone_link.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "transport/at_channel.h"

namespace pellan::test {

struct Ports {
    int diag = 0;
    int at = 0;
};

// The port number of the most recently enumerated instance of `service`, or nothing.
inline std::optional<int> PortOfService(platform::Registry& registry, const std::string& service) {
    auto key = registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum");
    if (!key) {
        return std::nullopt;
    }
    const auto count = key->ReadDword("Count");
    if (!count || *count == 0) {
        return std::nullopt;
    }
    const auto instance = key->ReadString(std::to_string(*count - 1));
    if (!instance) {
        return std::nullopt;
    }
    auto params =
        registry.OpenKey("SYSTEM\\CurrentControlSet\\Enum\\" + *instance + "\\Device Parameters");
    if (!params) {
        return std::nullopt;
    }
    const auto name = params->ReadString("PortName");
    if (!name || name->size() < 4) {
        return std::nullopt;
    }
    return std::stoi(name->substr(3));
}

inline std::optional<Ports> Discover(platform::Registry& registry) {
    const auto at = PortOfService(registry, "VLKusbnmea");
    const auto diag = PortOfService(registry, "VLKusbser6k");
    if (!at || !diag) {
        return std::nullopt;
    }
    return Ports{*diag, *at};
}

// A line's link and AT channel on some serial provider.
struct Host {
    Host(platform::SerialProvider& serial, platform::Clock& clock)
        : clock(clock), link(serial, clock), at(serial, clock) {}

    bool OpenDiag(int port) {
        link.m_port.Close();
        return link.m_port.Open(port, 115200, 8, 1);
    }
    bool OpenAt(int port) {
        at.m_port.Close();
        if (!at.m_port.Open(port, 115200, 8, 1)) {
            return false;
        }
        at.SetTimeout(1000);
        at.SetRetries(2);
        return true;
    }
    // Waits (on the clock) until the registry shows the stick's ports, up to `ms`.
    std::optional<Ports> WaitForPorts(platform::Registry& registry, uint32_t ms) {
        const uint32_t start = clock.TickMs();
        do {
            if (auto ports = Discover(registry)) {
                return ports;
            }
            clock.SleepMs(10);
        } while (clock.TickMs() - start < ms);
        return std::nullopt;
    }
    // Waits until the diagnostic port opens and the stick answers `probe`.
    template <typename Probe>
    bool WaitForDiag(int port, uint32_t ms, Probe probe) {
        const uint32_t start = clock.TickMs();
        do {
            if (OpenDiag(port) && probe()) {
                return true;
            }
            clock.SleepMs(50);
        } while (clock.TickMs() - start < ms);
        return false;
    }

    platform::Clock& clock;
    CPhoneLink link;
    CAtChannel at;
};

// Bytes of a test image: a pattern that contains flag and escape bytes, so stuffing is exercised.
inline std::vector<uint8_t> TestImage(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(x >> 16);
        if (i % 97 == 0) {
            bytes[i] = 0x7E;
        } else if (i % 89 == 0) {
            bytes[i] = 0x7D;
        }
    }
    return bytes;
}

}  // namespace pellan::test
