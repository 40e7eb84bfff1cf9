#include "platform/process.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>

namespace pellan::platform {

bool RunAndWait(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& workDir) {
    // Everything the child needs is built before fork: after fork in a threaded program only
    // async-signal-safe calls (chdir, execv, _exit) are allowed.
    std::vector<std::string> argvText;
    argvText.reserve(args.size() + 1);
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const std::string dir = workDir.string();

    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        if (!dir.empty() && chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            break;
        }
    }
    return true;
}

bool RunBatchFile(const std::filesystem::path& folder, const std::string& fileName) {
    return RunAndWait("/bin/sh", {fileName}, folder);
}

}  // namespace pellan::platform
