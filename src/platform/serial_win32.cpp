#include "platform/serial_win32.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

namespace pellan::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kReadDrainMs = 2000;
// Only the arrival of bytes, which WaitForInput sleeps on. The modem-line events (CTS, DSR, RLSD,
// break) are never waited for, and a port without modem lines (a pseudo-terminal behind Wine)
// refuses every wait whose mask names them.
constexpr DWORD kCommMask = EV_RXCHAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Milliseconds left until `deadline`, rounded up so that a wait never ends a fraction of a
// millisecond early and then reports a time-out that has not quite happened.
DWORD RemainingMs(SteadyClock::time_point deadline) {
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<DWORD>(std::min<long long>(ms, INFINITE - 1));
}

class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) {
            CloseHandle(m_handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

  private:
    HANDLE m_handle;
};

// One OVERLAPPED record with its manual-reset event. The record is cleared before every request;
// a request is never left pending when control returns to the caller.
class Overlapped {
  public:
    Overlapped() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    bool Valid() const { return m_event.Valid(); }
    OVERLAPPED* Fresh() {
        m_record = OVERLAPPED{};
        m_record.hEvent = m_event.Get();
        return &m_record;
    }
    OVERLAPPED* Record() { return &m_record; }
    HANDLE Event() const { return m_event.Get(); }

  private:
    Handle m_event;
    OVERLAPPED m_record{};
};

class Win32SerialDevice final : public SerialDevice {
  public:
    Win32SerialDevice(HANDLE port, uint32_t writeTimeoutMs)
        : m_port(port), m_writeTimeoutMs(writeTimeoutMs) {}

    ~Win32SerialDevice() override {
        EndCommWait();
        // Only input goes: PURGE_TXCLEAR would throw away a command written just before the
        // close (a reset) that the stick has not taken yet.
        PurgeComm(m_port.Get(), kPurgeInput);
    }

    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    bool Ready() const {
        return m_port.Valid() && m_read.Valid() && m_write.Valid() && m_wait.Valid();
    }

    size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
        if (dropInput) {
            // Input only: purging the transmit side would discard bytes of the previous write
            // still queued for the stick, corrupting back-to-back blocks.
            PurgeComm(m_port.Get(), kPurgeInput);
        }
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(m_writeTimeoutMs);
        size_t done = 0;
        // The driver's own write time-out (1 ms per byte + 50 ms) can end a request early with
        // part of the bytes taken when the other end is slow; the rest is sent again until the
        // caller's limit is reached.
        while (done < len) {
            const DWORD chunk =
                static_cast<DWORD>(std::min<size_t>(len - done, std::numeric_limits<DWORD>::max()));
            DWORD written = 0;
            const bool completed = Complete(
                m_write,
                [&](OVERLAPPED* record) {
                    return WriteFile(m_port.Get(), data + done, chunk, nullptr, record);
                },
                written, RemainingMs(deadline));
            if (!completed) {
                return done + written;
            }
            done += written;
            if (done < len && RemainingMs(deadline) == 0) {
                break;
            }
        }
        return done;
    }

    size_t BytesWaiting() override {
        DWORD errors = 0;
        COMSTAT status{};
        // ClearCommError also clears a latched line error, which would otherwise stop all I/O.
        if (!ClearCommError(m_port.Get(), &errors, &status)) {
            return 0;
        }
        return status.cbInQue;
    }

    size_t Read(uint8_t* buf, size_t max) override {
        const size_t want = std::min(max, BytesWaiting());
        if (want == 0) {
            return 0;
        }
        const DWORD chunk =
            static_cast<DWORD>(std::min<size_t>(want, std::numeric_limits<DWORD>::max()));
        DWORD got = 0;
        Complete(
            m_read,
            [&](OVERLAPPED* record) { return ReadFile(m_port.Get(), buf, chunk, nullptr, record); },
            got, kReadDrainMs);
        return got;
    }

    void Purge() override { PurgeComm(m_port.Get(), kPurgeAll); }

    // The receive-event wait is issued once and left pending when the time runs out: the next
    // call (usually milliseconds later, in the window of the streaming transfer) goes on waiting
    // on it instead of cancelling and re-issuing a wait each time, which under Wine costs about
    // 30 ms per cancel.
    bool WaitForInput(uint32_t ms) override {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (BytesWaiting() > 0) {
                return true;
            }
            const DWORD waitMs = RemainingMs(deadline);
            if (waitMs == 0) {
                return false;
            }
            if (!m_waitPending) {
                if (WaitCommEvent(m_port.Get(), &m_waitEvents, m_wait.Fresh())) {
                    continue;  // an event was already latched; look at the queue again
                }
                if (GetLastError() != ERROR_IO_PENDING) {
                    return false;  // a failed port (pulled stick) has nothing to wait for
                }
                m_waitPending = true;
                // A byte that arrived between the queue check and the start of the wait may
                // not raise a new event: look once more before sleeping.
                if (BytesWaiting() > 0) {
                    return true;
                }
            }
            if (WaitForSingleObject(m_wait.Event(), waitMs) != WAIT_OBJECT_0) {
                return BytesWaiting() > 0;
            }
            // Completed: an arrival, another event, or a wait the driver ended by itself (Wine
            // ends a receive wait on a pseudo-terminal after about 30 ms).
            DWORD unused = 0;
            GetOverlappedResult(m_port.Get(), m_wait.Record(), &unused, FALSE);
            m_waitPending = false;
        }
    }

    // A pulled stick's port fails every status call; a working one answers it at once.
    bool Gone() override {
        DWORD errors = 0;
        COMSTAT status{};
        return !ClearCommError(m_port.Get(), &errors, &status);
    }

  private:
    // Runs one overlapped ReadFile or WriteFile (`start` issues it on the fresh record) and lets it
    // end within `waitMs`: true when it completed, `count` the bytes moved. A request still
    // pending after `waitMs` is cancelled and drained before returning, so that neither the
    // caller's buffer nor the record is in use any more; `count` is then what was moved before
    // the cancel, and the result false.
    template <typename Start>
    bool Complete(Overlapped& io, Start start, DWORD& count, DWORD waitMs) {
        count = 0;
        OVERLAPPED* record = io.Fresh();
        const BOOL done = start(record);
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        if (!done && WaitForSingleObject(io.Event(), waitMs) != WAIT_OBJECT_0) {
            CancelIoEx(m_port.Get(), record);
            GetOverlappedResult(m_port.Get(), record, &count, TRUE);
            return false;
        }
        return GetOverlappedResult(m_port.Get(), record, &count, TRUE) != FALSE;
    }

    // Ends a pending WaitCommEvent: setting the mask completes it (the documented way for
    // serial ports); the cancel covers drivers that do not. Waits until the record is free.
    void EndCommWait() {
        if (!m_waitPending) {
            return;
        }
        SetCommMask(m_port.Get(), kCommMask);
        if (WaitForSingleObject(m_wait.Event(), 0) != WAIT_OBJECT_0) {
            CancelIoEx(m_port.Get(), m_wait.Record());
        }
        DWORD unused = 0;
        GetOverlappedResult(m_port.Get(), m_wait.Record(), &unused, TRUE);
        m_waitPending = false;
    }

    Handle m_port;
    Overlapped m_read;
    Overlapped m_write;
    Overlapped m_wait;
    DWORD m_waitEvents = 0;  // written by the driver when a pending WaitCommEvent completes
    bool m_waitPending = false;
    uint32_t m_writeTimeoutMs;
};

bool Configure(HANDLE port, const std::string& mode, const LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    BuildCommDCBA(mode.c_str(), &dcb);
    // The mode text fixes speed and framing only; whatever an earlier owner of the port left in
    // the other fields (null stripping, software flow control, abort on error) would corrupt or
    // stop binary frames, so those are set here as the protocol needs them, and the framing once
    // more in case the mode text was not understood.
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = NOPARITY;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb) || !SetupComm(port, kQueueBytes, kQueueBytes) ||
        !SetCommMask(port, kCommMask)) {
        return false;
    }
    // With interval and multiplier at their maximum and a constant between, a read returns at
    // once with what is queued and waits for the first byte only when nothing is.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 30000;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 50;
    return SetCommTimeouts(port, &timeouts) != FALSE;
}

}  // namespace

Win32SerialProvider::Win32SerialProvider(uint32_t writeTimeoutMs)
    : m_writeTimeoutMs(writeTimeoutMs) {}

std::string Win32SerialProvider::DeviceName(int portNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
    return name;
}

std::string Win32SerialProvider::ModeText(int portNumber, const LineSettings& settings) {
    char mode[64];
    std::snprintf(mode, sizeof mode, "COM%d: %d, n, %d, %d", portNumber, settings.baud,
                  settings.dataBits, settings.stopBits);
    return mode;
}

std::unique_ptr<SerialDevice> Win32SerialProvider::Open(int portNumber,
                                                        const LineSettings& settings) {
    if (portNumber < 1 || settings.baud <= 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
        (settings.stopBits != 1 && settings.stopBits != 2)) {
        return nullptr;
    }
    const HANDLE port =
        CreateFileA(DeviceName(portNumber).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // The device owns the handle from here, so every failure below closes it.
    auto device = std::make_unique<Win32SerialDevice>(port, m_writeTimeoutMs);
    if (!device->Ready() || !Configure(port, ModeText(portNumber, settings), settings)) {
        return nullptr;
    }
    return device;
}

}  // namespace pellan::platform
