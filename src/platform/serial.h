#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pellan::platform {

struct LineSettings {
    int baud = 115200;
    int dataBits = 8;
    int stopBits = 1;  // parity is always none
};

// One open serial port as the protocol layers need it. Implementations: POSIX termios
// (serial_posix.cpp), Win32 overlapped I/O (a serial_win32.cpp behind this same interface), and the
// in-process simulated stick. A device is used by one thread at a time.
class SerialDevice {
  public:
    // Closes the port. Input not read yet is discarded; output already written is still delivered,
    // because a reset command written just before the close must reach the stick.
    virtual ~SerialDevice() = default;

    // Sends `len` bytes. With dropInput, input that arrived before the call (stale replies) is
    // discarded first; without it, queued input is kept. Bytes of an earlier write that the other
    // end has not read yet are never discarded. Returns the count written, which is `len` when the
    // write completed within 10 s, else fewer (usually 0).
    virtual size_t Write(const uint8_t* data, size_t len, bool dropInput) = 0;

    // Number of received bytes queued; never blocks.
    virtual size_t BytesWaiting() = 0;

    // Moves at most min(max, BytesWaiting()) queued bytes into buf; never blocks, returns 0 when
    // nothing is queued or on failure.
    virtual size_t Read(uint8_t* buf, size_t max) = 0;

    // Discards everything queued in both directions. Used right after open, when nothing of ours
    // can be queued yet, so only leftovers of an earlier owner of the port are lost.
    virtual void Purge() = 0;

    // Waits up to `ms` milliseconds until at least one byte is queued; true when input is queued.
    // Lets callers that only wait for input sleep in the kernel rather than poll.
    virtual bool WaitForInput(uint32_t ms) = 0;

    // True when the device behind the port is gone (hung up, unplugged, the stick restarting):
    // nothing written can be answered, so a wait for a reply on it would only run out its time.
    virtual bool Gone() { return false; }
};

// Opens ports by their number N (COMN).
class SerialProvider {
  public:
    virtual ~SerialProvider() = default;
    // Returns the open, configured port, or nullptr when it cannot be opened.
    virtual std::unique_ptr<SerialDevice> Open(int portNumber, const LineSettings& settings) = 0;
};

}  // namespace pellan::platform
