#include <cerrno>
#include <system_error>

#include "support/system_files.h"

namespace pellan::test {

std::string MissingFolderText() {
    return std::generic_category().message(ENOENT);
}

std::string DiskFullText() {
    return std::generic_category().message(ENOSPC);
}

bool PlaceAlwaysFullFile(const std::filesystem::path& path) {
    std::filesystem::create_symlink("/dev/full", path);
    return true;
}

}  // namespace pellan::test
