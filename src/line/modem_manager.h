#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/env.h"

namespace pellan {

// Keeps the system's modem manager (ModemManager on Linux) off the stick while a job runs. It
// probes new modem ports with AT commands of its own and keeps them open, which would mix with
// the update's traffic; the connection manager inhibits it where the Windows build stops the
// stick's connection-manager service, and ends the inhibition where that service is started.
class ModemManagerInhibitor {
  public:
    virtual ~ModemManagerInhibitor() = default;
    // Inhibits every attached stick that is not inhibited yet. Never fails a job: a modem
    // manager that is missing or refuses leaves things as they were.
    virtual void Inhibit() = 0;
    // Ends every inhibition.
    virtual void Release() = 0;
};

// Inhibition through the modem manager's command-line client: one "mmcli
// --inhibit-device=UID" child per stick, which holds the inhibition for as long as it runs (the
// modem manager drops it by itself when the client goes away, so a crash leaves nothing behind).
class CMmcliInhibitor final : public ModemManagerInhibitor {
  public:
    // Starts the client with these arguments; null when it could not be started.
    using Launch =
        std::function<std::unique_ptr<platform::ChildProcess>(const std::vector<std::string>&)>;
    // The device identities (sysfs paths of the USB devices) of the attached sticks.
    using ListSticks = std::function<std::vector<std::string>()>;

    CMmcliInhibitor(Launch launch, ListSticks listSticks, platform::Clock& clock);
    ~CMmcliInhibitor() override;

    void Inhibit() override;
    void Release() override;

    // The identities inhibited now (a client that ended by itself, because the modem manager is
    // not running or refused, no longer counts and is tried again at the next Inhibit).
    std::vector<std::string> Held();

    // How long a client gets to end after SIGINT before it is killed.
    static constexpr uint32_t kStopGraceMs = 2000;

  private:
    Launch m_launch;
    ListSticks m_listSticks;
    platform::Clock& m_clock;
    std::mutex m_mutex;
    std::map<std::string, std::unique_ptr<platform::ChildProcess>> m_held;
};

// The inhibitor for this machine: null under a device root, on a registry that is not the real
// system's, and where the modem manager's client is not installed.
std::unique_ptr<ModemManagerInhibitor> MakeModemManagerInhibitor(const platform::Env& env);

}  // namespace pellan
