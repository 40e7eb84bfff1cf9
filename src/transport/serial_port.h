#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"

namespace pellan {

// One COM port of a line (the stick's diagnostic or AT port). It knows no protocol: it opens and
// configures the port, writes, reports the waiting byte count and reads what is waiting.
//
// The protocol layers decide when a reply is complete. To see whether the bytes queued so far
// already make a whole reply, they look at them through Held(), which moves the device's queue
// into a buffer of the port without consuming it: held bytes still count as waiting, are read
// first, and are dropped by Write like the driver's queue.
class CSerialPort {
  public:
    explicit CSerialPort(platform::SerialProvider& provider) : m_provider(provider) {}
    ~CSerialPort() { Close(); }
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens COM<port>. On a port that is already open, returns true and keeps the old settings.
    // Both directions are purged after a successful open.
    bool Open(int port, int baud, int dataBits, int stopBits);
    // Drops unread input and closes; always true, also when the port was never opened.
    bool Close();
    bool IsOpen() const { return m_open != 0; }

    // Drops queued input first (a write always starts a fresh exchange), then sends. Returns the
    // bytes written: `len` on success, fewer (usually 0) on failure or after 10 s.
    size_t Write(const uint8_t* data, size_t len);
    // As Write, but input already queued (acknowledgements of earlier blocks) stays queued.
    size_t WriteKeepRx(const uint8_t* data, size_t len);
    // Received bytes queued (held ones included); 0 when the port is not open.
    size_t BytesWaiting();
    // At most `max` of the queued bytes, held ones first, without waiting; 0 when nothing is
    // queued or not open.
    size_t Read(uint8_t* buf, size_t max);
    // Waits up to `ms` for input to arrive; true when bytes are queued. False at once when closed.
    bool WaitForInput(uint32_t ms);

    // The bytes queued so far, in order, still unread (the driver's queue is moved in first).
    const std::vector<uint8_t>& Held();
    // True when the port is closed or its device is gone: no reply can come any more.
    bool Gone();

    enum class Arrival { kMore, kNone, kGone };
    // Waits up to `ms` for bytes beyond those held: kMore as soon as some arrive, kNone when the
    // time ran out without, kGone at once when nothing more can come. The time a wait takes is
    // measured on `clock`; a device that returns before the limit has been slept on that clock
    // is topped up there, so a wait costs the same on every clock and device.
    Arrival AwaitMore(platform::Clock& clock, uint32_t ms);

    enum class PauseEnd { kFull, kDone, kGone };
    // One poll interval of `ms` on `clock`, slept in the port: kDone as soon as `done()` holds
    // (asked at the start and at every arrival of bytes), kGone as soon as nothing more can
    // come, else kFull once the whole interval has passed.
    template <typename Done>
    PauseEnd Pause(platform::Clock& clock, uint32_t ms, Done done) {
        const uint32_t start = clock.TickMs();
        for (;;) {
            if (done()) {
                return PauseEnd::kDone;
            }
            const uint32_t spent = clock.TickMs() - start;
            if (spent >= ms) {
                return PauseEnd::kFull;
            }
            if (AwaitMore(clock, ms - spent) == Arrival::kGone) {
                return done() ? PauseEnd::kDone : PauseEnd::kGone;
            }
        }
    }

  private:
    void Fill();

    platform::SerialProvider& m_provider;
    std::unique_ptr<platform::SerialDevice> m_device;
    std::vector<uint8_t> m_held;
    int32_t m_open = 0;
};

}  // namespace pellan
