#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diag/line_record.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace pellan {

// One interface instance of a stick driver's enumeration, in list order.
struct StickInstance {
    std::string location;  // "LocationInformation"; empty when the registry gives none
    int port = 0;          // N of "COMN"; 0 when "PortName" is missing or names no number
};

// Both drivers' lists as the registry shows them at one moment.
struct StickEnumeration {
    std::vector<StickInstance> diag;
    std::vector<StickInstance> at;
    bool diagListed = false;  // the DIAG driver's Enum key and "Count" could be read
    bool atListed = false;

    // True when any listed instance carries a location: every line then binds by location.
    bool HasLocations() const;
    // The DIAG and AT port of the stick at `location` (the last listed instance of each list);
    // AT 0 when the stick shows no AT interface. Nothing when its DIAG interface is not listed.
    std::optional<std::pair<int, int>> PortsAt(const std::string& location) const;
};

// Reads both drivers' "Enum" lists with the location and port of every instance.
StickEnumeration ReadStickEnumeration(platform::Registry& registry);

// The line's current stick ports; zero when the line holds no stick or the stick is absent.
struct BoundPorts {
    int diag = 0;
    int at = 0;
};

// Which stick each line holds. A line holds a stick by its location, the physical USB port, and
// takes only that stick's ports, looked up again at every use: port numbers change at every
// restart, and a number a line had may meanwhile belong to another stick. Without locations in
// the registry (a single stick, older device roots) a line takes the last instance of each list,
// and only one line at a time may hold that stick.
//
// Has its own lock: the document lock can be held for seconds around a stick's restart, and
// every line looks its ports up while another one restarts its stick.
class StickBindings {
  public:
    static constexpr int kMissesBeforeRelease = 3;
    static constexpr uint32_t kKeepAfterResetMs = 60000;

    StickBindings(platform::Registry* registry, platform::Clock& clock)
        : m_registry(registry), m_clock(clock) {}

    // The line's search. A line that holds a stick looks it up; an idle line that holds none
    // binds to the earliest listed location that no other line holds. True when the line's
    // stick is present; `ports` then holds its numbers. An idle line releases its stick after
    // three missed searches in a row, unless the stick was reset by the line's job less than
    // 60 s ago; a line whose job runs (`jobRunning`) never releases it.
    bool Search(int line, bool jobRunning, BoundPorts& ports);
    // The line's current DIAG or AT port, looked up again; 0 when the line holds no stick or its
    // stick (or that interface) is absent. A line that holds nothing takes the stick that
    // `requested` belongs to when no other line holds it (an open with an explicit number).
    // The AT port is found by the location alone, so that it can restore a hidden DIAG port.
    int DiagPort(int line, int requested);
    int AtPort(int line, int requested);
    // The line's job reset its stick: the binding stays until the stick is back or 60 s passed.
    void KeepAfterReset(int line);
    void Release(int line);
    bool Holds(int line) const;
    std::string Location(int line) const;
    // The ports last looked up for the line (for display); zero when none.
    BoundPorts LastPorts(int line) const;
    // True when the registry gave no locations at the last look.
    bool Fallback() const;

  private:
    struct LineBinding {
        bool bound = false;
        std::string location;  // empty in the fallback
        int misses = 0;
        bool keep = false;
        uint32_t keepSince = 0;
        BoundPorts ports;
    };

    StickEnumeration Read();
    bool HeldByOther(int line, const std::string& location) const;
    void Bind(int line, const std::string& location);
    // Looks the line's stick up in `now`; false when it is absent.
    bool Lookup(LineBinding& binding, const StickEnumeration& now);
    int PortFor(int line, int requested, bool diag);

    platform::Registry* m_registry;
    platform::Clock& m_clock;
    mutable std::mutex m_mutex;
    std::array<LineBinding, kLineCount> m_lines{};
    bool m_fallback = false;
};

}  // namespace pellan
