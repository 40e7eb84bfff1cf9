#include "platform/system_env.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <system_error>

#include "platform/registry_reg.h"
#include "platform/registry_udev_posix.h"
#include "platform/serial_posix.h"

namespace pellan::platform {

SystemEnv::SystemEnv(std::filesystem::path deviceRoot, bool fast) {
    Clock* clock = &m_systemClock;
    if (fast) {
        m_fastClock = std::make_unique<FastClock>(m_systemClock);
        clock = m_fastClock.get();
    }
    m_serial = std::make_unique<PosixSerialProvider>(deviceRoot);
    if (deviceRoot.empty()) {
        m_registry = std::make_unique<UdevRegistry>();
    } else {
        m_registry = std::make_unique<RegFileRegistry>(deviceRoot / "registry.reg");
    }
    m_env.clock = clock;
    m_env.serial = m_serial.get();
    m_env.registry = m_registry.get();
    m_env.deviceRoot = std::move(deviceRoot);
}

SystemEnv::~SystemEnv() = default;

std::filesystem::path ProgramFileFolder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) {
        return std::filesystem::current_path(ec);
    }
    return self.parent_path();
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int StdoutColumns() {
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace pellan::platform
