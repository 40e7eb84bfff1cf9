#include <windows.h>

#include <shellapi.h>

#include "platform/process.h"
#include "platform/win32_command_line.h"

namespace pellan::platform {

bool RunAndWait(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& workDir) {
    std::string commandLine = QuoteArgument(program);
    for (const std::string& arg : args) {
        commandLine += ' ';
        commandLine += QuoteArgument(arg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const std::string dir = workDir.string();
    // The application name is given, so the program is never looked up along the search path,
    // and the quoted command line is what the program's own start-up code splits again.
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    return true;
}

bool RunBatchFile(const std::filesystem::path& folder, const std::string& fileName) {
    // The system's own command interpreter, named by its full path: a bare "cmd" would also be
    // looked up in the batch file's folder, where a stray cmd.exe would run in its place.
    char system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    const std::string interpreter = std::string(system) + "\\cmd.exe";
    const std::string parameters = "/c call " + fileName;
    const std::string dir = folder.string();

    SHELLEXECUTEINFOA execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    execute.lpFile = interpreter.c_str();
    execute.lpParameters = parameters.c_str();
    execute.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    execute.nShow = SW_HIDE;
    if (!ShellExecuteExA(&execute)) {
        return false;
    }
    if (execute.hProcess == nullptr) {
        return false;  // handed to a running program (not for cmd.exe): nothing to wait for
    }
    // No time limit: the connection manager's service must be down before the stick is touched.
    WaitForSingleObject(execute.hProcess, INFINITE);
    CloseHandle(execute.hProcess);
    return true;
}

}  // namespace pellan::platform
