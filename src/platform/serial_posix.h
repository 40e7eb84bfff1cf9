#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/serial.h"

namespace pellan::platform {

// Serial ports of a POSIX system through termios. Port N is the node that SerialNodeForPort
// (device_paths.h) gives for the device root: DIR/COM<N> under a device root, else the machine's
// USB serial devices.
//
// Every port is opened non-blocking, raw, with the modem control lines ignored (CLOCAL) and for
// exclusive use: an advisory lock keeps a second pellan (another line or process) off the port,
// TIOCEXCL keeps other programs from opening it while it is ours.
//
// Waiting behaviour of the devices it opens:
//   Write         returns len once all bytes are in the driver's queue; when the queue stays full,
//                 the bytes written so far after writeTimeoutMs; 0 when the port fails or the other
//                 end has hung up. Never discards bytes of an earlier write.
//   Read          never waits; moves at most the bytes already queued.
//   BytesWaiting  never waits; 0 on a failed or hung-up port.
//   WaitForInput  sleeps in poll() up to the given time; returns at once on a hung-up port.
class PosixSerialProvider final : public SerialProvider {
  public:
    static constexpr uint32_t kWriteTimeoutMs = 10000;

    explicit PosixSerialProvider(std::filesystem::path deviceRoot,
                                 uint32_t writeTimeoutMs = kWriteTimeoutMs);

    // nullptr when the node is missing, is not a terminal, is in use, or refuses the settings
    // (an unsupported baud rate, data bits other than 5..8, stop bits other than 1 or 2).
    std::unique_ptr<SerialDevice> Open(int portNumber, const LineSettings& settings) override;

  private:
    std::filesystem::path m_deviceRoot;
    uint32_t m_writeTimeoutMs;
};

}  // namespace pellan::platform
