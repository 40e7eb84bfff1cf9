#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

#include <system_error>

namespace pellan::platform {

namespace {

class FlockMutex final : public NamedMutex {
  public:
    explicit FlockMutex(int fd) : m_fd(fd) {}
    ~FlockMutex() override {
        // Closing the descriptor releases the lock; the file stays, as a stale file holds nothing.
        close(m_fd);
    }

  private:
    int m_fd;
};

std::filesystem::path RuntimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        return std::filesystem::path(runtime) / "pellan";
    }
    return std::filesystem::temp_directory_path() / ("pellan-" + std::to_string(getuid()));
}

}  // namespace

std::filesystem::path NamedMutex::LockPath(const std::string& name,
                                           const std::filesystem::path& deviceRoot) {
    if (!deviceRoot.empty()) {
        return deviceRoot / "mutex" / name;
    }
    return RuntimeFolder() / name;
}

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name,
                                               const std::filesystem::path& deviceRoot,
                                               bool& alreadyExists) {
    alreadyExists = false;
    const std::filesystem::path path = LockPath(name, deviceRoot);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    int rc = 0;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        alreadyExists = held;
        return nullptr;
    }
    return std::make_unique<FlockMutex>(fd);
}

}  // namespace pellan::platform
