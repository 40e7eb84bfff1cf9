#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "sim/stick_model.h"

namespace pellan::sim {

struct RegValue {
    bool isDword = false;
    uint32_t dword = 0;
    std::string text;
};
// Key path below HKEY_LOCAL_MACHINE -> value name -> value.
using RegistryKeys = std::map<std::string, std::map<std::string, RegValue>>;

// The driver services through which the stick's ports are enumerated.
inline constexpr const char* kDiagService = "VLKusbser6k";
inline constexpr const char* kAtService = "VLKusbnmea";

// The machine the simulated sticks are plugged into: their ports and the registry that the USB
// drivers keep for them. Shared by the in-process transport and the device-root publisher.
//
// Several sticks: each sits in its own USB port ("LocationInformation", kept across every restart)
// and no two present sticks ever hold the same port number. With PortPolicy::kLowestFree a stick
// that comes back from a restart takes the lowest free numbers, so with sticks A on COM3/COM4 and
// B on COM5/COM6: A restarts (gives up 3 and 4), B restarts and comes back first on COM3/COM4 (A's
// old numbers), then A comes back on COM5/COM6. A host that reopens a number it remembers instead
// of looking its stick up again then talks to the wrong stick.
class SimMachine {
  public:
    explicit SimMachine(platform::Clock& clock)
        : m_clock(clock), m_ports(std::make_shared<PortBook>()) {}

    // Plugs in a new stick (or lets it appear after options.appearAfterMs); the machine keeps it
    // alive. A stick without a location gets "Port_#000K.Hub_#0001" with the first K no other
    // stick of the machine has; a location another stick already has is refused (nullptr).
    // Wanted port numbers that another stick holds are moved to free ones (see Options()).
    std::shared_ptr<StickModel> AddStick(StickOptions options);
    void SetPortPolicy(PortPolicy policy) { m_ports->SetPolicy(policy); }
    std::vector<std::shared_ptr<StickModel>> Sticks();
    platform::Clock& Clock() { return m_clock; }

    // The registry as the drivers show it now: for each service an "Enum" key with "Count" and
    // the instance paths of the present ports in the order they appeared (the key is gone while
    // no port is present), and for each instance "Enum\<instance>" with "LocationInformation"
    // and "Enum\<instance>\Device Parameters" with "PortName"="COM<N>". Extra keys set by tests
    // are merged in.
    RegistryKeys RegistrySnapshot();
    void SetExtraValue(const std::string& keyPath, const std::string& name, const RegValue& value);
    // Changes whenever any stick's bus state changes.
    uint64_t BusEpoch();

  private:
    platform::Clock& m_clock;
    std::shared_ptr<PortBook> m_ports;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<StickModel>> m_sticks;
    RegistryKeys m_extra;
};

// platform::SerialProvider over the machine's sticks: COM<N> opens whichever present stick port
// has number N. A write is handled at once; the stick's answer becomes readable on the machine's
// clock after the stick's reply latency. A handle whose port left the bus is dead: writes return
// 0, reads and counts 0.
class SimSerialProvider final : public platform::SerialProvider {
  public:
    explicit SimSerialProvider(SimMachine& machine) : m_machine(machine) {}
    std::unique_ptr<platform::SerialDevice> Open(int portNumber,
                                                 const platform::LineSettings& settings) override;

  private:
    SimMachine& m_machine;
};

// platform::Registry over the machine's snapshot; key paths and value names compare without
// regard to case, as in Windows. Every open reads the current state.
class SimRegistry final : public platform::Registry {
  public:
    explicit SimRegistry(SimMachine& machine) : m_machine(machine) {}
    std::unique_ptr<platform::RegistryKey> OpenKey(const std::string& path) override;

  private:
    SimMachine& m_machine;
};

// The registry in the Windows registry export format ("Windows Registry Editor Version 5.00").
std::string FormatRegFile(const RegistryKeys& keys);

}  // namespace pellan::sim
