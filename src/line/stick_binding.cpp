#include "line/stick_binding.h"

#include "platform/stick_drivers.h"

namespace pellan {

namespace {

// Every registry value is read into a buffer of this size; a longer value cannot be read.
constexpr size_t kRegistryValueBuffer = 1024;

// The port number of a "PortName" value such as "COM12": the decimal number after its first
// three characters. Zero when there is none.
int PortNumberOf(const std::string& portName) {
    if (portName.size() <= 3) {
        return 0;
    }
    size_t i = 3;
    while (i < portName.size() && (portName[i] == ' ' || portName[i] == '\t')) {
        ++i;
    }
    long value = 0;
    bool digits = false;
    while (i < portName.size() && portName[i] >= '0' && portName[i] <= '9') {
        value = value * 10 + (portName[i] - '0');
        digits = true;
        if (value > 1000000) {
            return 0;  // no COM port has such a number
        }
        ++i;
    }
    return digits ? static_cast<int>(value) : 0;
}

std::optional<std::string> ReadText(const platform::RegistryKey& key, const std::string& name) {
    auto text = key.ReadString(name);
    if (!text || text->size() >= kRegistryValueBuffer) {
        return std::nullopt;
    }
    return text;
}

bool ReadList(platform::Registry& registry, const char* enumKey, std::vector<StickInstance>& list) {
    std::vector<std::string> instances;
    {
        const auto key = registry.OpenKey(enumKey);
        if (!key) {
            return false;
        }
        const auto count = key->ReadDword("Count");
        if (!count) {
            return false;
        }
        // A corrupt count must not make the search read millions of values.
        const uint32_t listed = *count < 256 ? *count : 256;
        for (uint32_t i = 0; i < listed; ++i) {
            const auto path = ReadText(*key, std::to_string(i));
            instances.push_back(path.value_or(std::string()));
        }
    }
    for (const std::string& instance : instances) {
        StickInstance entry;
        if (!instance.empty()) {
            const std::string base = platform::kDeviceEnumRoot + instance;
            if (const auto device = registry.OpenKey(base)) {
                entry.location = ReadText(*device, "LocationInformation").value_or(std::string());
            }
            if (const auto parameters = registry.OpenKey(base + platform::kDeviceParameters)) {
                if (const auto name = ReadText(*parameters, "PortName")) {
                    entry.port = PortNumberOf(*name);
                }
            }
        }
        list.push_back(entry);
    }
    return true;
}

// The port of the last listed instance at `location`; 0 when there is none.
int LastPortAt(const std::vector<StickInstance>& list, const std::string& location) {
    int port = 0;
    for (const StickInstance& entry : list) {
        if (entry.location == location && entry.port > 0) {
            port = entry.port;
        }
    }
    return port;
}

}  // namespace

bool StickEnumeration::HasLocations() const {
    for (const auto* list : {&diag, &at}) {
        for (const StickInstance& entry : *list) {
            if (!entry.location.empty()) {
                return true;
            }
        }
    }
    return false;
}

std::optional<std::pair<int, int>> StickEnumeration::PortsAt(const std::string& location) const {
    const int diagPort = LastPortAt(diag, location);
    if (diagPort == 0) {
        return std::nullopt;
    }
    return std::make_pair(diagPort, LastPortAt(at, location));
}

StickEnumeration ReadStickEnumeration(platform::Registry& registry) {
    StickEnumeration now;
    now.atListed = ReadList(registry, platform::kAtDriverEnumKey, now.at);
    now.diagListed = ReadList(registry, platform::kDiagDriverEnumKey, now.diag);
    return now;
}

StickEnumeration StickBindings::Read() {
    StickEnumeration now =
        m_registry != nullptr ? ReadStickEnumeration(*m_registry) : StickEnumeration{};
    if (now.HasLocations()) {
        m_fallback = false;
    } else if (!now.diag.empty() || !now.at.empty()) {
        m_fallback = true;
    }
    return now;
}

bool StickBindings::HeldByOther(int line, const std::string& location) const {
    for (int n = 0; n < kLineCount; ++n) {
        const LineBinding& other = m_lines[static_cast<size_t>(n)];
        if (n != line && other.bound && other.location == location) {
            return true;
        }
    }
    return false;
}

void StickBindings::Bind(int line, const std::string& location) {
    LineBinding& binding = m_lines[static_cast<size_t>(line)];
    binding = LineBinding{};
    binding.bound = true;
    binding.location = location;
}

bool StickBindings::Lookup(LineBinding& binding, const StickEnumeration& now) {
    const auto ports = now.PortsAt(binding.location);
    binding.ports = ports ? BoundPorts{ports->first, ports->second} : BoundPorts{};
    return ports.has_value();
}

bool StickBindings::Search(int line, bool jobRunning, BoundPorts& ports) {
    if (line < 0 || line >= kLineCount) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    const StickEnumeration now = Read();
    LineBinding& binding = m_lines[static_cast<size_t>(line)];
    const bool byLocation = now.HasLocations() || (binding.bound && !binding.location.empty());
    bool found = false;
    if (byLocation && !binding.bound) {
        for (const StickInstance& entry : now.diag) {
            if (!entry.location.empty() && entry.port > 0 && !HeldByOther(line, entry.location)) {
                Bind(line, entry.location);
                break;
            }
        }
        found = binding.bound && Lookup(binding, now);
    } else if (byLocation) {
        found = Lookup(binding, now);
    } else {
        for (int n = 0; n < kLineCount; ++n) {
            if (n != line && m_lines[static_cast<size_t>(n)].bound) {
                ports = {};
                return false;  // the one stick without a location belongs to that line
            }
        }
        // The described reading: the last instance of each list, the AT port even when the DIAG
        // port is missing.
        BoundPorts last;
        if (now.atListed && !now.at.empty()) {
            last.at = now.at.back().port;
        }
        if (now.diagListed && !now.diag.empty() && last.at > 0) {
            last.diag = now.diag.back().port;
        }
        found = last.at > 0 && last.diag > 0;
        if (found && !binding.bound) {
            Bind(line, std::string());
        }
        binding.ports = last;
    }
    ports = binding.ports;
    if (found) {
        binding.misses = 0;
        binding.keep = false;
        return true;
    }
    if (!binding.bound || jobRunning) {
        return false;
    }
    if (binding.keep && m_clock.TickMs() - binding.keepSince < kKeepAfterResetMs) {
        return false;
    }
    binding.keep = false;
    if (++binding.misses >= kMissesBeforeRelease) {
        binding = LineBinding{};
    }
    return false;
}

int StickBindings::PortFor(int line, int requested, bool diag) {
    if (line < 0 || line >= kLineCount) {
        return 0;
    }
    std::lock_guard lock(m_mutex);
    const StickEnumeration now = Read();
    LineBinding& binding = m_lines[static_cast<size_t>(line)];
    if (binding.bound && !binding.location.empty()) {
        if (diag) {
            Lookup(binding, now);
            return binding.ports.diag;
        }
        // The AT port is the stick's even while its DIAG port is hidden (the port actions
        // restore it through the AT port).
        binding.ports.at = LastPortAt(now.at, binding.location);
        return binding.ports.at;
    }
    if (!now.HasLocations()) {
        return requested;  // no locations: the number the line was given, as described
    }
    // A line that holds nothing is given an explicit number: it takes the stick behind it,
    // but never one that another line holds.
    for (const StickInstance& entry : diag ? now.diag : now.at) {
        if (entry.port == requested && requested > 0 && !entry.location.empty()) {
            if (HeldByOther(line, entry.location)) {
                return 0;
            }
            Bind(line, entry.location);
            Lookup(binding, now);
            return requested;
        }
    }
    return 0;
}

int StickBindings::DiagPort(int line, int requested) {
    return PortFor(line, requested, true);
}

int StickBindings::AtPort(int line, int requested) {
    return PortFor(line, requested, false);
}

void StickBindings::KeepAfterReset(int line) {
    if (line < 0 || line >= kLineCount) {
        return;
    }
    std::lock_guard lock(m_mutex);
    LineBinding& binding = m_lines[static_cast<size_t>(line)];
    if (binding.bound) {
        binding.keep = true;
        binding.keepSince = m_clock.TickMs();
        binding.misses = 0;
    }
}

void StickBindings::Release(int line) {
    if (line < 0 || line >= kLineCount) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_lines[static_cast<size_t>(line)] = LineBinding{};
}

bool StickBindings::Holds(int line) const {
    if (line < 0 || line >= kLineCount) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    return m_lines[static_cast<size_t>(line)].bound;
}

std::string StickBindings::Location(int line) const {
    if (line < 0 || line >= kLineCount) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    return m_lines[static_cast<size_t>(line)].location;
}

BoundPorts StickBindings::LastPorts(int line) const {
    if (line < 0 || line >= kLineCount) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    return m_lines[static_cast<size_t>(line)].ports;
}

bool StickBindings::Fallback() const {
    std::lock_guard lock(m_mutex);
    return m_fallback;
}

}  // namespace pellan
