#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "diag/frame_codec.h"
#include "raw_pty.h"
#include "sim/pty_port_server.h"

namespace pellan::bench {

RawPtySink::~RawPtySink() {
    Stop();
}

bool RawPtySink::Start(const std::filesystem::path& root, int port, std::string& error,
                       bool answer) {
    m_answer = answer;
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        error = "no pseudo-terminal";
        return false;
    }
    std::string slave;
    m_slave = sim::OpenRawSlave(m_master, slave);
    if (m_slave < 0) {
        error = "cannot open the pseudo-terminal's slave " + slave;
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    const auto link = root / ("COM" + std::to_string(port));
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(slave, link, ec);
    if (ec) {
        error = "cannot publish " + link.string() + ": " + ec.message();
        return false;
    }
    m_thread = std::thread([this] { Drain(); });
    return true;
}

void RawPtySink::Drain() {
    std::vector<uint8_t> buf(4096);
    // A block written, address 0: its bytes are the same for every frame answered.
    const std::vector<uint8_t> ack = frame::EncodeFrame({0x08, 0, 0, 0, 0}, true);
    std::vector<uint8_t> out;
    uint64_t flags = 0;  // each streaming frame has a leading and a closing flag
    while (!m_stop.load(std::memory_order_acquire)) {
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN) != 0) {
            const ssize_t n = ::read(m_master, buf.data(), buf.size());
            if (n > 0) {
                if (m_answer) {
                    out.clear();
                    for (ssize_t i = 0; i < n; ++i) {
                        if (buf[static_cast<size_t>(i)] == frame::kFlag && ++flags % 2 == 0) {
                            out.insert(out.end(), ack.begin(), ack.end());
                        }
                    }
                    for (size_t at = 0; at < out.size();) {
                        const ssize_t w = ::write(m_master, out.data() + at, out.size() - at);
                        if (w > 0) {
                            at += static_cast<size_t>(w);
                        } else {
                            pollfd wait{m_master, POLLOUT, 0};
                            ::poll(&wait, 1, 5);
                        }
                    }
                }
                m_received.fetch_add(static_cast<uint64_t>(n), std::memory_order_acq_rel);
            }
        }
    }
}

void RawPtySink::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

}  // namespace pellan::bench
