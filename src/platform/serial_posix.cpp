#include "platform/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "platform/device_paths.h"

namespace pellan::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::optional<speed_t> SpeedFor(int baud) {
    struct Rate {
        int baud;
        speed_t speed;
    };
    static constexpr Rate kRates[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800  // not every POSIX system has the rates above 230400
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const Rate& rate : kRates) {
        if (rate.baud == baud) {
            return rate.speed;
        }
    }
    return std::nullopt;
}

std::optional<tcflag_t> CharacterSizeFor(int dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

// Whole milliseconds to the deadline for poll(), rounded up: a part of a millisecond still left is
// a millisecond to wait, so that a look of 1 ms really waits instead of returning at once.
int RemainingMs(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

bool Configure(int fd, speed_t speed, tcflag_t characterSize, int stopBits) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= characterSize | CLOCAL | CREAD;
    if (stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);  // the frames are binary: 0x11/0x13 are data
    // read() must return at once with whatever is queued, like the overlapped read on Windows.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return false;
    }
    // tcsetattr succeeds when any part was taken, so read back what the driver kept: a port
    // silently left at another rate or character size would garble every frame.
    termios kept{};
    return ::tcgetattr(fd, &kept) == 0 && ::cfgetospeed(&kept) == speed &&
           ::cfgetispeed(&kept) == speed && (kept.c_cflag & CSIZE) == characterSize &&
           (kept.c_cflag & CSTOPB) == (tio.c_cflag & CSTOPB);
}

class PosixSerialDevice final : public SerialDevice {
  public:
    PosixSerialDevice(int fd, uint32_t writeTimeoutMs)
        : m_fd(fd), m_writeTimeoutMs(writeTimeoutMs) {}

    ~PosixSerialDevice() override {
        // Only input goes: TCOFLUSH would also throw away a command written just before the
        // close (a reset) that the stick has not taken yet.
        ::tcflush(m_fd, TCIFLUSH);
        ::ioctl(m_fd, TIOCNXCL);  // a pseudo-terminal keeps the flag after we close
        ::close(m_fd);  // not retried on EINTR: Linux has released the descriptor either way
    }

    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
        if (dropInput) {
            // Input only. TCOFLUSH would discard bytes of the previous write still queued for
            // the other end, corrupting back-to-back blocks.
            ::tcflush(m_fd, TCIFLUSH);
        }
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
        size_t done = 0;
        while (done < len) {
            const ssize_t n = ::write(m_fd, data + done, len - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return 0;  // EIO: the other end has hung up (unplugged stick, gone simulator)
            }
            const int waitMs = RemainingMs(deadline);
            if (waitMs == 0) {
                return done;
            }
            pollfd poller{m_fd, POLLOUT, 0};
            const int ready = ::poll(&poller, 1, waitMs);
            if (ready < 0 && errno != EINTR) {
                return 0;
            }
            if (ready > 0 && (poller.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return 0;
            }
        }
        return done;
    }

    size_t BytesWaiting() override {
        int queued = 0;
        if (::ioctl(m_fd, FIONREAD, &queued) != 0 || queued < 0) {
            return 0;
        }
        return static_cast<size_t>(queued);
    }

    size_t Read(uint8_t* buf, size_t max) override {
        // The descriptor is non-blocking, so a read of `max` hands out at most what is queued
        // without asking for the count first (a system call saved on every acknowledgement).
        const size_t want = max;
        if (want == 0) {
            return 0;
        }
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, want);
            if (n >= 0) {
                return static_cast<size_t>(n);
            }
            if (errno != EINTR) {
                return 0;  // EAGAIN (raced with a flush) or EIO (hung up): nothing to hand out
            }
        }
    }

    void Purge() override { ::tcflush(m_fd, TCIOFLUSH); }

    bool WaitForInput(uint32_t ms) override {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            // poll() answers at once when input is already queued, so it is asked first.
            pollfd poller{m_fd, POLLIN, 0};
            const int ready = ::poll(&poller, 1, RemainingMs(deadline));
            if (ready < 0 && errno != EINTR) {
                return false;
            }
            if (ready > 0) {
                if ((poller.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    return BytesWaiting() > 0;  // a hung-up port stays readable-but-empty forever
                }
                if ((poller.revents & POLLIN) != 0) {
                    return true;  // a terminal in raw mode is readable only with bytes queued
                }
            }
            if (RemainingMs(deadline) == 0) {
                return BytesWaiting() > 0;
            }
        }
    }

    bool Gone() override {
        pollfd poller{m_fd, POLLIN, 0};
        return ::poll(&poller, 1, 0) > 0 &&
               (poller.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && BytesWaiting() == 0;
    }

  private:
    int m_fd;
    uint32_t m_writeTimeoutMs;
};

int OpenNode(const std::filesystem::path& node) {
    for (;;) {
        // O_NOCTTY: a port must never become our controlling terminal (its hang-up would
        // signal us). O_NONBLOCK: open must not wait for carrier, and writes must not block.
        // O_CLOEXEC: the batch files we run must not inherit the port and keep it open.
        const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) {
            return fd;
        }
    }
}

}  // namespace

PosixSerialProvider::PosixSerialProvider(std::filesystem::path deviceRoot, uint32_t writeTimeoutMs)
    : m_deviceRoot(std::move(deviceRoot)), m_writeTimeoutMs(writeTimeoutMs) {}

std::unique_ptr<SerialDevice> PosixSerialProvider::Open(int portNumber,
                                                        const LineSettings& settings) {
    const std::filesystem::path node = SerialNodeForPort(m_deviceRoot, portNumber);
    const auto speed = SpeedFor(settings.baud);
    const auto characterSize = CharacterSizeFor(settings.dataBits);
    if (node.empty() || !speed || !characterSize ||
        (settings.stopBits != 1 && settings.stopBits != 2)) {
        return nullptr;
    }
    const int fd = OpenNode(node);
    if (fd < 0) {
        return nullptr;
    }
    // flock keeps other pellan lines and processes off the port even when we run as root, where
    // TIOCEXCL is not enforced; TIOCEXCL keeps out programs that do not take the lock.
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!Configure(fd, *speed, *characterSize, settings.stopBits)) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSerialDevice>(fd, m_writeTimeoutMs);
}

}  // namespace pellan::platform
