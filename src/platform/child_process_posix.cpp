#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace pellan::platform {

namespace {

class PosixChildProcess final : public ChildProcess {
  public:
    explicit PosixChildProcess(pid_t pid) : m_pid(pid) {}
    ~PosixChildProcess() override {
        if (m_pid > 0) {
            // No clock here: end it at once rather than leave a process nobody waits for.
            kill(m_pid, SIGKILL);
            Reap(0);
        }
    }

    bool Running() override { return m_pid > 0 && !Reap(WNOHANG); }

    void Stop(Clock& clock, uint32_t graceMs) override {
        if (!Running()) {
            return;
        }
        kill(m_pid, SIGINT);
        constexpr uint32_t kPollMs = 10;
        for (uint32_t waited = 0; waited < graceMs; waited += kPollMs) {
            if (!Running()) {
                return;
            }
            clock.SleepMs(kPollMs);
        }
        if (Running()) {
            kill(m_pid, SIGKILL);
            Reap(0);
        }
    }

  private:
    // True when the process has ended and was collected.
    bool Reap(int flags) {
        int status = 0;
        pid_t result = 0;
        do {
            result = waitpid(m_pid, &status, flags);
        } while (result < 0 && errno == EINTR);
        if (result == m_pid || result < 0) {
            m_pid = -1;
            return true;
        }
        return false;
    }

    pid_t m_pid;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::filesystem::path& program,
                                                const std::vector<std::string>& args) {
    // Everything the child needs is prepared before fork: in a threaded program the child may
    // only make async-signal-safe calls (dup2, execv, _exit).
    std::vector<std::string> argvText;
    argvText.reserve(args.size() + 1);
    argvText.push_back(program.string());
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : argvText) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        // The stick's open ports and the single-instance lock are ours alone: a helper that
        // outlives a port's close must not keep the port open, nor the lock held.
        close_range(STDERR_FILENO + 1, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(null);
    if (pid < 0) {
        return nullptr;
    }
    return std::make_unique<PosixChildProcess>(pid);
}

std::filesystem::path FindProgram(const std::string& name, const std::string& searchPath) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return {};
    }
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos) {
            end = searchPath.size();
        }
        const std::filesystem::path folder = searchPath.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || !folder.is_absolute()) {
            continue;
        }
        const std::filesystem::path candidate = folder / name;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string ProgramSearchPath() {
    const char* path = std::getenv("PATH");
    return path != nullptr ? std::string(path) : std::string("/usr/sbin:/usr/bin:/sbin:/bin");
}

}  // namespace pellan::platform
