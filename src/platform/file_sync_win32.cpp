#include <windows.h>

#include <algorithm>
#include <system_error>

#include "platform/file_sync.h"

namespace pellan::platform {
namespace {

std::string SystemReason(DWORD code) {
    return std::system_category().message(static_cast<int>(code));
}

bool CloseChecked(HANDLE file, std::string& error) {
    if (!CloseHandle(file)) {
        error = SystemReason(GetLastError());
        return false;
    }
    return true;
}

}  // namespace

bool WriteFileDurably(const std::filesystem::path& path, const uint8_t* data, size_t len,
                      bool exclusive, std::string& error) {
    // Other writers are denied while the file is written, as for every file of the program.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemReason(GetLastError());
        return false;
    }
    size_t done = 0;
    while (done < len) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(len - done, 1U << 30));
        DWORD written = 0;
        if (!WriteFile(file, data + done, chunk, &written, nullptr) || written == 0) {
            error = SystemReason(written == 0 && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL
                                                                                 : GetLastError());
            CloseHandle(file);
            return false;
        }
        done += written;
    }
    if (!FlushFileBuffers(file)) {
        error = SystemReason(GetLastError());
        CloseHandle(file);
        return false;
    }
    return CloseChecked(file, error);
}

bool SyncFile(const std::filesystem::path& path, std::string& error) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemReason(GetLastError());
        return false;
    }
    if (!FlushFileBuffers(file)) {
        error = SystemReason(GetLastError());
        CloseHandle(file);
        return false;
    }
    return CloseChecked(file, error);
}

bool SyncFolder(const std::filesystem::path& folder, std::string& error) {
    // NTFS journals a folder's entries itself and offers no flush of a folder to a program
    // without the backup privilege; a folder that exists is as safe as it gets.
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        error = ec ? ec.message() : std::string("not a folder");
        return false;
    }
    return true;
}

}  // namespace pellan::platform
