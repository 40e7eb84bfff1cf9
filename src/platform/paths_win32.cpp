#include "platform/paths.h"

namespace pellan::platform {

// Windows paths are the machine's own: without a device root nothing is mapped, "C:\a" stays
// "C:\a". With one (tests, a simulated machine) the drives live below it as on POSIX.
std::filesystem::path DriveRoot(const std::filesystem::path& deviceRoot) {
    return deviceRoot;
}

char FolderSeparator() {
    return '\\';
}

}  // namespace pellan::platform
