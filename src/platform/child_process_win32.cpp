#include <windows.h>

#include <cstdlib>
#include <system_error>

#include "platform/child_process.h"
#include "platform/win32_command_line.h"

namespace pellan::platform {

namespace {

class Win32ChildProcess final : public ChildProcess {
  public:
    Win32ChildProcess(HANDLE process, DWORD id) : m_process(process), m_id(id) {}
    ~Win32ChildProcess() override {
        // No clock here: end it at once rather than leave a process nobody waits for.
        if (Running()) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, INFINITE);
        }
        CloseHandle(m_process);
    }
    Win32ChildProcess(const Win32ChildProcess&) = delete;
    Win32ChildProcess& operator=(const Win32ChildProcess&) = delete;

    bool Running() override { return WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

    void Stop(Clock& clock, uint32_t graceMs) override {
        if (!Running()) {
            return;
        }
        // The child has a process group of its own, which only Ctrl+Break can reach (Ctrl+C is
        // disabled in a new group); it arrives only when the child shares our console.
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_id);
        constexpr uint32_t kPollMs = 10;
        for (uint32_t waited = 0; waited < graceMs; waited += kPollMs) {
            if (!Running()) {
                return;
            }
            clock.SleepMs(kPollMs);
        }
        if (Running()) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, INFINITE);
        }
    }

  private:
    HANDLE m_process;
    DWORD m_id;
};

bool IsAbsoluteFolder(const std::string& folder) {
    return folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/');
}

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::filesystem::path& program,
                                                const std::vector<std::string>& args) {
    std::string commandLine = QuoteArgument(program.string());
    for (const std::string& arg : args) {
        commandLine += ' ';
        commandLine += QuoteArgument(arg);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE null =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (null == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // Only the null device is handed down: the stick's open ports and the single-instance lock
    // are ours alone, and a helper that outlives a port's close must not keep the port open.
    SIZE_T attributeBytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
    std::vector<char> attributeBuffer(attributeBytes);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
    HANDLE inherited[] = {null};
    bool ready = InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes) != FALSE;
    const bool listMade = ready;
    ready =
        ready && UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                           inherited, sizeof inherited, nullptr, nullptr) != FALSE;
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null;
    startup.StartupInfo.hStdOutput = null;
    startup.StartupInfo.hStdError = null;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION info{};
    const std::string application = program.string();
    ready = ready && CreateProcessA(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                    EXTENDED_STARTUPINFO_PRESENT | CREATE_NEW_PROCESS_GROUP,
                                    nullptr, nullptr, &startup.StartupInfo, &info) != FALSE;
    if (listMade) {
        DeleteProcThreadAttributeList(attributes);
    }
    CloseHandle(null);
    if (!ready) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return std::make_unique<Win32ChildProcess>(info.hProcess, info.dwProcessId);
}

std::filesystem::path FindProgram(const std::string& name, const std::string& searchPath) {
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
        return {};
    }
    // A name without an extension is the program "<name>.exe", as the system would run it.
    const std::string file = std::filesystem::path(name).has_extension() ? name : name + ".exe";
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(';', start);
        if (end == std::string::npos) {
            end = searchPath.size();
        }
        const std::string folder = searchPath.substr(start, end - start);
        start = end + 1;
        if (!IsAbsoluteFolder(folder)) {
            continue;  // the current folder (or one relative to it) never supplies a program
        }
        const std::filesystem::path candidate = std::filesystem::path(folder) / file;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return {};
}

std::string ProgramSearchPath() {
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        return path;
    }
    char system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(system) : std::string();
}

}  // namespace pellan::platform
