#include "transport/serial_port.h"

#include <algorithm>

namespace pellan {
namespace {

// Held input is bounded: a device that streams without end must not grow it without end. Past
// this the rest stays in the driver's queue, where it is still counted.
constexpr size_t kHeldLimit = 64 * 1024;
constexpr size_t kFillPiece = 4096;

}  // namespace

bool CSerialPort::Open(int port, int baud, int dataBits, int stopBits) {
    if (m_open != 0) {
        return true;
    }
    platform::LineSettings settings{baud, dataBits, stopBits};
    m_device = m_provider.Open(port, settings);
    if (!m_device) {
        return false;
    }
    m_open = 1;
    m_held.clear();
    m_device->Purge();
    return true;
}

bool CSerialPort::Close() {
    if (m_open != 0 && m_device) {
        // The device drops unread input as it closes but lets written bytes go out: a reset
        // command written just before the close must still reach the stick.
        m_device.reset();
        m_open = 0;
    }
    m_held.clear();
    return true;
}

size_t CSerialPort::Write(const uint8_t* data, size_t len) {
    if (m_open == 0) {
        return 0;
    }
    m_held.clear();
    return m_device->Write(data, len, /*dropInput=*/true);
}

size_t CSerialPort::WriteKeepRx(const uint8_t* data, size_t len) {
    if (m_open == 0) {
        return 0;
    }
    return m_device->Write(data, len, /*dropInput=*/false);
}

size_t CSerialPort::BytesWaiting() {
    return m_open != 0 ? m_held.size() + m_device->BytesWaiting() : 0;
}

size_t CSerialPort::Read(uint8_t* buf, size_t max) {
    if (m_open == 0 || max == 0) {
        return 0;
    }
    const size_t fromHeld = std::min(max, m_held.size());
    std::copy_n(m_held.begin(), fromHeld, buf);
    m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(fromHeld));
    if (fromHeld == max) {
        return fromHeld;
    }
    return fromHeld + m_device->Read(buf + fromHeld, max - fromHeld);
}

bool CSerialPort::WaitForInput(uint32_t ms) {
    return m_open != 0 && (!m_held.empty() || m_device->WaitForInput(ms));
}

void CSerialPort::Fill() {
    if (m_open == 0) {
        return;
    }
    while (m_held.size() < kHeldLimit) {
        const size_t old = m_held.size();
        const size_t want = std::min(kFillPiece, kHeldLimit - old);
        m_held.resize(old + want);
        const size_t got = m_device->Read(m_held.data() + old, want);
        m_held.resize(old + got);
        if (got == 0) {
            break;
        }
    }
}

const std::vector<uint8_t>& CSerialPort::Held() {
    Fill();
    return m_held;
}

bool CSerialPort::Gone() {
    return m_open == 0 || m_device->Gone();
}

CSerialPort::Arrival CSerialPort::AwaitMore(platform::Clock& clock, uint32_t ms) {
    Fill();
    const size_t had = m_held.size();
    if (Gone()) {
        return Arrival::kGone;
    }
    const uint32_t start = clock.TickMs();
    if (m_device->WaitForInput(ms)) {
        Fill();
        if (m_held.size() > had) {
            return Arrival::kMore;
        }
    }
    if (Gone()) {
        Fill();
        return m_held.size() > had ? Arrival::kMore : Arrival::kGone;
    }
    const uint32_t spent = clock.TickMs() - start;
    if (spent < ms) {
        clock.SleepMs(ms - spent);
    }
    Fill();
    return m_held.size() > had ? Arrival::kMore : Arrival::kNone;
}

}  // namespace pellan
