#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace pellan::test {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

PtyPair::PtyPair() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        CloseFd(m_master);
        throw std::runtime_error("no pseudo-terminal available");
    }
    const char* name = ::ptsname(m_master);
    if (name == nullptr) {
        CloseFd(m_master);
        throw std::runtime_error("pseudo-terminal without a slave name");
    }
    m_slavePath = name;
    m_ownSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    if (m_ownSlave < 0 || ::tcgetattr(m_ownSlave, &tio) != 0) {
        CloseFd(m_ownSlave);
        CloseFd(m_master);
        throw std::runtime_error("cannot open the slave " + m_slavePath);
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(m_ownSlave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    CloseFd(m_ownSlave);
    CloseFd(m_master);
}

void PtyPair::LinkAsPort(const std::filesystem::path& root, int port) const {
    std::filesystem::create_symlink(m_slavePath, root / ("COM" + std::to_string(port)));
}

bool PtyPair::SendToPort(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd poller{m_master, POLLOUT, 0};
            ::poll(&poller, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> PtyPair::ReceiveFromPort(size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> out;
    uint8_t chunk[4096];
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd poller{m_master, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const ssize_t n = ::read(m_master, chunk, std::min(sizeof chunk, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), chunk, chunk + n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;  // EIO: no slave descriptor is open any more
        }
    }
    return out;
}

std::vector<uint8_t> PtyPair::ReceiveUntilQuiet(int quietMs) {
    std::vector<uint8_t> out;
    for (;;) {
        std::vector<uint8_t> more = ReceiveFromPort(4096, quietMs);
        if (more.empty()) {
            return out;
        }
        out.insert(out.end(), more.begin(), more.end());
    }
}

void PtyPair::CloseMaster() {
    CloseFd(m_master);
}

void PtyPair::CloseOwnSlave() {
    CloseFd(m_ownSlave);
}

}  // namespace pellan::test
