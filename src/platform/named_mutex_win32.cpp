#include <windows.h>

#include <system_error>

#include "platform/named_mutex.h"

namespace pellan::platform {

namespace {

class HandleMutex final : public NamedMutex {
  public:
    explicit HandleMutex(HANDLE handle) : m_handle(handle) {}
    ~HandleMutex() override { CloseHandle(m_handle); }
    HandleMutex(const HandleMutex&) = delete;
    HandleMutex& operator=(const HandleMutex&) = delete;

  private:
    HANDLE m_handle;
};

// The system's named mutex, as the connection manager's own program creates it: whoever made it
// first, we or it, the second creation reports ERROR_ALREADY_EXISTS.
std::unique_ptr<NamedMutex> CreateKernelMutex(const std::string& name, bool& alreadyExists) {
    const HANDLE handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (handle == nullptr) {
        // A name taken by another kind of object (ERROR_INVALID_HANDLE) is held by someone too.
        alreadyExists = GetLastError() == ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        alreadyExists = true;
        return nullptr;
    }
    return std::make_unique<HandleMutex>(handle);
}

// Under a device root the mutex is the file DIR\mutex\<name>, open without sharing: a second
// opener (another pellan of this machine, a test) gets a sharing violation. Only Windows
// programs see that; a POSIX process's flock on the same file does not count here.
std::unique_ptr<NamedMutex> CreateFileMutex(const std::filesystem::path& path,
                                            bool& alreadyExists) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        alreadyExists = GetLastError() == ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    return std::make_unique<HandleMutex>(handle);
}

}  // namespace

std::filesystem::path NamedMutex::LockPath(const std::string& name,
                                           const std::filesystem::path& deviceRoot) {
    if (!deviceRoot.empty()) {
        return deviceRoot / "mutex" / name;
    }
    // The kernel object's own name (session namespace).
    return std::filesystem::path(name);
}

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name,
                                               const std::filesystem::path& deviceRoot,
                                               bool& alreadyExists) {
    alreadyExists = false;
    if (!deviceRoot.empty()) {
        return CreateFileMutex(LockPath(name, deviceRoot), alreadyExists);
    }
    return CreateKernelMutex(name, alreadyExists);
}

}  // namespace pellan::platform
