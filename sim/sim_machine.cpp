#include "sim/sim_machine.h"

#include "platform/registry_reg.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>

namespace pellan::sim {
namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

class SimDevice final : public platform::SerialDevice {
  public:
    SimDevice(std::shared_ptr<StickModel> stick, PortKind kind, uint64_t generation,
              platform::Clock& clock)
        : m_stick(std::move(stick)), m_kind(kind), m_generation(generation), m_clock(clock) {}

    size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
        if (!m_stick->Alive(m_kind, m_generation)) {
            return 0;
        }
        const uint32_t now = m_clock.TickMs();
        if (dropInput) {
            ReleaseDue(now);
            m_rx.clear();
        }
        for (Output& o : m_stick->Receive(m_kind, m_generation, data, len)) {
            m_pending.push_back({now + o.delayMs, std::move(o.bytes)});
        }
        return len;
    }

    size_t BytesWaiting() override {
        if (!m_stick->Alive(m_kind, m_generation)) {
            Drop();
            return 0;
        }
        ReleaseDue(m_clock.TickMs());
        return m_rx.size();
    }

    size_t Read(uint8_t* buf, size_t max) override {
        const size_t n = std::min(max, BytesWaiting());
        std::copy_n(m_rx.begin(), n, buf);
        m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    void Purge() override {
        ReleaseDue(m_clock.TickMs());
        m_rx.clear();
    }

    bool WaitForInput(uint32_t ms) override {
        const uint32_t start = m_clock.TickMs();
        while (BytesWaiting() == 0) {
            if (m_clock.TickMs() - start >= ms) {
                return false;
            }
            m_clock.SleepMs(1);
        }
        return true;
    }

    bool Gone() override { return !m_stick->Alive(m_kind, m_generation); }

  private:
    struct Chunk {
        uint32_t visibleAt;
        std::vector<uint8_t> bytes;
    };

    void ReleaseDue(uint32_t now) {
        // Answers are delivered in order: a later, faster answer waits for an earlier, slower one.
        while (!m_pending.empty() && static_cast<int32_t>(now - m_pending.front().visibleAt) >= 0) {
            m_rx.insert(m_rx.end(), m_pending.front().bytes.begin(), m_pending.front().bytes.end());
            m_pending.pop_front();
        }
    }
    void Drop() {
        m_rx.clear();
        m_pending.clear();
    }

    std::shared_ptr<StickModel> m_stick;
    PortKind m_kind;
    uint64_t m_generation;
    platform::Clock& m_clock;
    std::deque<Chunk> m_pending;
    std::deque<uint8_t> m_rx;
};

class SimKey final : public platform::RegistryKey {
  public:
    explicit SimKey(std::map<std::string, RegValue> values) {
        for (auto& [name, value] : values) {
            m_values[Lower(name)] = value;
        }
    }
    std::optional<uint32_t> ReadDword(const std::string& name) const override {
        auto it = m_values.find(Lower(name));
        if (it == m_values.end() || !it->second.isDword) {
            return std::nullopt;
        }
        return it->second.dword;
    }
    std::optional<std::string> ReadString(const std::string& name) const override {
        auto it = m_values.find(Lower(name));
        if (it == m_values.end() || it->second.isDword) {
            return std::nullopt;
        }
        return it->second.text;
    }

  private:
    std::map<std::string, RegValue> m_values;
};

}  // namespace

std::shared_ptr<StickModel> SimMachine::AddStick(StickOptions options) {
    std::lock_guard lock(m_mutex);
    auto taken = [&](const std::string& location) {
        return std::any_of(m_sticks.begin(), m_sticks.end(), [&](const auto& stick) {
            return stick->Options().location == location;
        });
    };
    if (options.location.empty()) {
        for (int port = 1; options.location.empty() || taken(options.location); ++port) {
            char text[32];
            std::snprintf(text, sizeof text, "Port_#%04d.Hub_#0001", port);
            options.location = text;
        }
    } else if (taken(options.location)) {
        return nullptr;  // two sticks cannot sit in one USB port
    }
    auto stick = std::make_shared<StickModel>(m_clock, std::move(options), m_ports);
    m_sticks.push_back(stick);
    return stick;
}

std::vector<std::shared_ptr<StickModel>> SimMachine::Sticks() {
    std::lock_guard lock(m_mutex);
    return m_sticks;
}

void SimMachine::SetExtraValue(const std::string& keyPath, const std::string& name,
                               const RegValue& value) {
    std::lock_guard lock(m_mutex);
    m_extra[keyPath][name] = value;
}

uint64_t SimMachine::BusEpoch() {
    uint64_t epoch = 0;
    for (const auto& stick : Sticks()) {
        epoch += stick->BusEpoch();
    }
    return epoch;
}

RegistryKeys SimMachine::RegistrySnapshot() {
    RegistryKeys keys;
    {
        std::lock_guard lock(m_mutex);
        keys = m_extra;
    }
    struct Listed {
        std::string instance;
        uint32_t appearedMs;
        uint64_t sequence;
    };
    std::vector<Listed> diagInstances;
    std::vector<Listed> atInstances;
    auto addPort = [&](const std::string& instance, int port, const std::string& location) {
        RegValue name;
        name.text = "COM" + std::to_string(port);
        keys["SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters"]["PortName"] =
            name;
        if (!location.empty()) {
            RegValue where;
            where.text = location;
            keys["SYSTEM\\CurrentControlSet\\Enum\\" + instance]["LocationInformation"] = where;
        }
    };
    for (const auto& stick : Sticks()) {
        const BusState bus = stick->Bus();
        if (bus.diagPresent) {
            diagInstances.push_back({bus.diagInstance, bus.diagAppearedMs, bus.diagSequence});
            addPort(bus.diagInstance, bus.diagPort, bus.location);
        }
        if (bus.atPresent) {
            atInstances.push_back({bus.atInstance, bus.atAppearedMs, bus.atSequence});
            addPort(bus.atInstance, bus.atPort, bus.location);
        }
    }
    // The drivers list their instances in the order they appeared: the earliest first.
    const uint32_t now = m_clock.TickMs();
    auto byAppearance = [now](const Listed& a, const Listed& b) {
        const uint32_t ageA = now - a.appearedMs;
        const uint32_t ageB = now - b.appearedMs;
        return ageA != ageB ? ageA > ageB : a.sequence < b.sequence;
    };
    std::sort(diagInstances.begin(), diagInstances.end(), byAppearance);
    std::sort(atInstances.begin(), atInstances.end(), byAppearance);
    auto addService = [&](const char* service, const std::vector<Listed>& instances) {
        if (instances.empty()) {
            return;
        }
        auto& key = keys[std::string("SYSTEM\\CurrentControlSet\\Services\\") + service + "\\Enum"];
        RegValue count;
        count.isDword = true;
        count.dword = static_cast<uint32_t>(instances.size());
        key["Count"] = count;
        key["NextInstance"] = count;
        for (size_t i = 0; i < instances.size(); ++i) {
            RegValue path;
            path.text = instances[i].instance;
            key[std::to_string(i)] = path;
        }
    };
    addService(kDiagService, diagInstances);
    addService(kAtService, atInstances);
    return keys;
}

std::unique_ptr<platform::SerialDevice> SimSerialProvider::Open(int portNumber,
                                                                const platform::LineSettings&) {
    for (const auto& stick : m_machine.Sticks()) {
        const BusState bus = stick->Bus();
        if (bus.diagPresent && bus.diagPort == portNumber) {
            return std::make_unique<SimDevice>(stick, PortKind::kDiag, bus.diagGeneration,
                                               m_machine.Clock());
        }
        if (bus.atPresent && bus.atPort == portNumber) {
            return std::make_unique<SimDevice>(stick, PortKind::kAt, bus.atGeneration,
                                               m_machine.Clock());
        }
    }
    return nullptr;
}

std::unique_ptr<platform::RegistryKey> SimRegistry::OpenKey(const std::string& path) {
    const std::string wanted = Lower(path);
    for (auto& [key, values] : m_machine.RegistrySnapshot()) {
        if (Lower(key) == wanted) {
            return std::make_unique<SimKey>(values);
        }
    }
    return nullptr;
}

std::string FormatRegFile(const RegistryKeys& keys) {
    std::vector<platform::RegKeyData> out;
    for (const auto& [path, values] : keys) {
        platform::RegKeyData key;
        key.path = path;
        for (const auto& [name, value] : values) {
            platform::RegValue v;
            v.name = name;
            v.type =
                value.isDword ? platform::RegValue::Type::Dword : platform::RegValue::Type::String;
            v.text = value.text;
            v.dword = value.dword;
            key.values.push_back(v);
        }
        out.push_back(std::move(key));
    }
    return platform::FormatRegText(out);
}

}  // namespace pellan::sim
