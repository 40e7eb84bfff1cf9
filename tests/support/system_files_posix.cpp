#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <system_error>

#include "support/system_files.h"

namespace pellan::test {

std::string MissingFolderText() {
    return std::generic_category().message(ENOENT);
}

std::string NoRoomText() {
    return std::generic_category().message(EFBIG);
}

// The file size limit of the process: a write past it fails with EFBIG once SIGXFSZ (which would
// end the process) is ignored.
WriteRoomLimit::WriteRoomLimit(std::uintmax_t bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_max < bytes) {
        return;
    }
    m_saved = limit.rlim_cur;
    std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    m_available = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

WriteRoomLimit::~WriteRoomLimit() {
    if (!m_available) {
        return;
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = m_saved;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace pellan::test
