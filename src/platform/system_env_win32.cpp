#include "platform/system_env.h"

#include <windows.h>

#include <vector>

#include "platform/registry_reg.h"
#include "platform/registry_win32.h"
#include "platform/serial_win32.h"

namespace pellan::platform {

// The ports are always the machine's COM ports. The registry is the machine's own, except under
// a device root: there DIR\registry.reg, which a simulated stick rewrites as it comes and goes,
// stands for the drivers' enumeration keys (the simulator's pseudo-terminals reach a Windows
// program as COM ports through the emulator's device mapping, not through the device root).
SystemEnv::SystemEnv(std::filesystem::path deviceRoot, bool fast) {
    Clock* clock = &m_systemClock;
    if (fast) {
        m_fastClock = std::make_unique<FastClock>(m_systemClock);
        clock = m_fastClock.get();
    }
    m_serial = std::make_unique<Win32SerialProvider>();
    if (deviceRoot.empty()) {
        m_registry = std::make_unique<Win32Registry>();
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
    // Long paths: grow the buffer until the name fits.
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            std::error_code ec;
            return std::filesystem::current_path(ec);
        }
        if (length < name.size()) {
            return std::filesystem::path(std::wstring(name.data(), length)).parent_path();
        }
        name.resize(name.size() * 2);
    }
}

bool StdoutIsTerminal() {
    // A console answers GetConsoleMode; a pipe or a file does not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

int StdoutColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == FALSE) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace pellan::platform
