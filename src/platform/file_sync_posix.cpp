#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_sync.h"

namespace pellan::platform {
namespace {

std::string SystemReason(int code) {
    return std::generic_category().message(code);
}

// close() can report the failure of a delayed write (NFS, some FUSE file systems), so its result
// counts like that of write().
bool CloseChecked(int fd, std::string& error) {
    if (::close(fd) != 0) {
        error = SystemReason(errno);
        return false;
    }
    return true;
}

}  // namespace

bool WriteFileDurably(const std::filesystem::path& path, const uint8_t* data, size_t len,
                      bool exclusive, std::string& error) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error = SystemReason(errno);
        return false;
    }
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write of 0 bytes on a regular file means the device is full.
            error = SystemReason(n < 0 ? errno : ENOSPC);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        error = SystemReason(errno);
        ::close(fd);
        return false;
    }
    return CloseChecked(fd, error);
}

bool SyncFile(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = SystemReason(errno);
        return false;
    }
    if (::fsync(fd) != 0) {
        error = SystemReason(errno);
        ::close(fd);
        return false;
    }
    return CloseChecked(fd, error);
}

bool SyncFolder(const std::filesystem::path& folder, std::string& error) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = SystemReason(errno);
        return false;
    }
    // Some file systems cannot sync a folder (EINVAL); the rename itself has still happened.
    if (::fsync(fd) != 0 && errno != EINVAL) {
        error = SystemReason(errno);
        ::close(fd);
        return false;
    }
    return CloseChecked(fd, error);
}

}  // namespace pellan::platform
