#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial.h"

namespace pellan::platform {

// Serial ports of Windows: port N is "\\.\COMN" (the device-namespace name, which also reaches
// ports above 9), opened for exclusive use and overlapped I/O.
//
// The port is set up with the mode text "COM<N>: <baud>, n, <data bits>, <stop bits>", queues of
// 4096 bytes each way, read time-outs that make a read return at once with whatever is queued
// (ReadIntervalTimeout and ReadTotalTimeoutMultiplier at their maximum, 30000 ms constant) and
// write time-outs of 1 ms per byte plus 50 ms for each driver write.
//
// Waiting behaviour of the devices it opens:
//   Write         returns len once every byte has been taken by the driver; the bytes taken so far
//                 when the write has not completed within writeTimeoutMs (the pending part is
//                 cancelled before returning, so the caller's buffer is free again). Never
//                 discards bytes of an earlier write.
//   Read          never waits for bytes: it asks only for what is queued; a driver that still
//                 holds the request back gets 2000 ms, then the request is cancelled and only the
//                 bytes actually delivered are reported.
//   BytesWaiting  never waits; 0 on a failed port (a stick that was pulled out).
//   WaitForInput  sleeps in the kernel on the port's receive event up to the given time.
class Win32SerialProvider final : public SerialProvider {
  public:
    static constexpr uint32_t kWriteTimeoutMs = 10000;

    explicit Win32SerialProvider(uint32_t writeTimeoutMs = kWriteTimeoutMs);

    // nullptr when the port does not exist, is in use, refuses its configuration, or the settings
    // cannot be expressed (port below 1, baud not positive, data bits other than 5..8, stop bits
    // other than 1 or 2).
    std::unique_ptr<SerialDevice> Open(int portNumber, const LineSettings& settings) override;

    // "\\.\COM<N>".
    static std::string DeviceName(int portNumber);
    // "COM<N>: <baud>, n, <data bits>, <stop bits>".
    static std::string ModeText(int portNumber, const LineSettings& settings);

  private:
    uint32_t m_writeTimeoutMs;
};

}  // namespace pellan::platform
