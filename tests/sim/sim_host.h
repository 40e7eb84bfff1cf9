#pragma once

// The host side of the simulator tests: a phone link and an AT channel as a line holds them, and
// the drivers' lists read the way the registry shows them.

#include <cstdint>
#include <string>
#include <vector>

#include "diag/phone_link.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "transport/at_channel.h"

namespace pellan::test {

// What a driver's list shows, in list order: "COM<N>@<location>" per instance ("-" for a value
// that is missing).
inline std::vector<std::string> Listed(platform::Registry& registry, const std::string& service) {
    std::vector<std::string> out;
    auto list = registry.OpenKey("SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum");
    const uint32_t count = list ? list->ReadDword("Count").value_or(0) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string path =
            "SYSTEM\\CurrentControlSet\\Enum\\" + list->ReadString(std::to_string(i)).value_or("?");
        auto params = registry.OpenKey(path + "\\Device Parameters");
        auto where = registry.OpenKey(path);
        out.push_back((params ? params->ReadString("PortName").value_or("-") : "-") + "@" +
                      (where ? where->ReadString("LocationInformation").value_or("-") : "-"));
    }
    return out;
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
    // Waits until the diagnostic port `port` opens and the stick answers `probe`.
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
    bool Esn() {
        uint32_t esn = 0;
        return link.ReadEsn(esn);
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
        bytes[i] = static_cast<uint8_t>(i % 97 == 0 ? 0x7E : i % 89 == 0 ? 0x7D : x >> 16);
    }
    return bytes;
}

}  // namespace pellan::test
