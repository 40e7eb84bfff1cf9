#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sim/pty_port_server.h"

namespace pellan::sim {

bool PtyPortServer::Open(std::string& slavePath) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        return false;
    }
    return Start(slavePath);
}

bool PtyPortServer::Adopt(int master) {
    m_master = master;
    std::string slavePath;
    return Start(slavePath);
}

int OpenRawSlave(int master, std::string& slavePath) {
    const char* name = ptsname(master);
    if (name == nullptr) {
        return -1;
    }
    slavePath = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        return -1;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return slave;
}

bool PtyPortServer::Start(std::string& slavePath) {
    // Holding the slave open keeps the master readable while the host has the port closed,
    // and lets us put the line into raw mode before the host ever opens it.
    m_slave = OpenRawSlave(m_master, slavePath);
    if (m_slave < 0) {
        return false;
    }
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void PtyPortServer::Close() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
    if (m_master >= 0) {
        ::close(m_master);  // the host's handle on the slave now reads EOF/EIO: the port died
        m_master = -1;
    }
}

void PtyPortServer::Serve() {
    std::vector<uint8_t> buf(4096);
    while (!m_stop) {
        int timeoutMs = 5;
        if (!m_out.empty()) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_out.front().due - Clock::now());
            timeoutMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(5, wait.count())));
        }
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN) != 0) {
            const ssize_t n = ::read(m_master, buf.data(), buf.size());
            if (n > 0) {
                const auto now = Clock::now();
                for (Output& o :
                     m_stick->Receive(m_kind, m_generation, buf.data(), static_cast<size_t>(n))) {
                    m_out.push_back(
                        {now + std::chrono::milliseconds(o.delayMs), std::move(o.bytes)});
                }
            }
        }
        Flush();
    }
}

void PtyPortServer::Flush() {
    const auto now = Clock::now();
    while (!m_out.empty() && m_out.front().due <= now) {
        Chunk& c = m_out.front();
        const ssize_t n = ::write(m_master, c.bytes.data() + c.sent, c.bytes.size() - c.sent);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return;  // the host has not read yet; try again on the next round
            }
            m_out.clear();
            return;
        }
        c.sent += static_cast<size_t>(n);
        if (c.sent < c.bytes.size()) {
            return;
        }
        m_out.pop_front();
    }
}

}  // namespace pellan::sim
