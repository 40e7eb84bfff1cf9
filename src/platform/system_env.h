#pragma once

#include <filesystem>
#include <memory>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace pellan::platform {

// The machine as the programs see it: against a device root (ports DIR/COM<N>, the registry file
// DIR/registry.reg) or the real system (USB serial devices, found through udev). With
// `fast` every fixed wait of 100 ms or more lasts a hundredth of its time (simulated sticks).
class SystemEnv {
  public:
    SystemEnv(std::filesystem::path deviceRoot, bool fast);
    ~SystemEnv();
    SystemEnv(const SystemEnv&) = delete;
    SystemEnv& operator=(const SystemEnv&) = delete;

    Env& Get() { return m_env; }

  private:
    SystemClock m_systemClock;
    std::unique_ptr<Clock> m_fastClock;
    std::unique_ptr<SerialProvider> m_serial;
    std::unique_ptr<Registry> m_registry;
    Env m_env;
};

// The folder of the running program file (with no trailing separator); the current folder when
// it cannot be found.
std::filesystem::path ProgramFileFolder();

// True when standard output is a terminal (progress bars are drawn only there).
bool StdoutIsTerminal();

// The width in columns of the terminal on standard output; 0 when it is none or does not say.
int StdoutColumns();

}  // namespace pellan::platform
