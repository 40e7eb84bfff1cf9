#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/paths.h"

namespace pellan::platform {
namespace {

std::filesystem::path PerUserFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        return std::filesystem::path(data) / "pellan";
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return std::filesystem::path(home) / ".local" / "share" / "pellan";
    }
    // No home at all (a bare service account): a folder of this user in the temporary area beats
    // writing into whatever the current directory happens to be.
    return std::filesystem::temp_directory_path() / ("pellan-" + std::to_string(getuid()));
}

}  // namespace

std::filesystem::path DriveRoot(const std::filesystem::path& deviceRoot) {
    return deviceRoot.empty() ? PerUserFolder() : deviceRoot;
}

char FolderSeparator() {
    return '/';
}

}  // namespace pellan::platform
