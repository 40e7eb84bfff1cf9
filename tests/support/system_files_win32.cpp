#include <windows.h>

#include <system_error>

#include "support/system_files.h"

namespace pellan::test {

std::string MissingFolderText() {
    return std::system_category().message(ERROR_PATH_NOT_FOUND);
}

std::string DiskFullText() {
    return std::system_category().message(ERROR_DISK_FULL);
}

// Windows has no device that is always full.
bool PlaceAlwaysFullFile(const std::filesystem::path& /*path*/) {
    return false;
}

}  // namespace pellan::test
