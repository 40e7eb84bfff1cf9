#include <windows.h>

#include <system_error>

#include "support/system_files.h"

namespace pellan::test {

std::string MissingFolderText() {
    return std::system_category().message(ERROR_PATH_NOT_FOUND);
}

std::string NoRoomText() {
    return std::system_category().message(ERROR_DISK_FULL);
}

// Windows has no per-process limit on file sizes.
WriteRoomLimit::WriteRoomLimit(std::uintmax_t /*bytes*/) {}
WriteRoomLimit::~WriteRoomLimit() = default;

}  // namespace pellan::test
