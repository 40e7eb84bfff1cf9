#include "transport/serial_port.h"

namespace pellan {

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
    return true;
}

size_t CSerialPort::Write(const uint8_t* data, size_t len) {
    if (m_open == 0) {
        return 0;
    }
    return m_device->Write(data, len, /*dropInput=*/true);
}

size_t CSerialPort::WriteKeepRx(const uint8_t* data, size_t len) {
    if (m_open == 0) {
        return 0;
    }
    return m_device->Write(data, len, /*dropInput=*/false);
}

size_t CSerialPort::BytesWaiting() {
    return m_open != 0 ? m_device->BytesWaiting() : 0;
}

size_t CSerialPort::Read(uint8_t* buf, size_t max) {
    if (m_open == 0 || max == 0) {
        return 0;
    }
    return m_device->Read(buf, max);
}

bool CSerialPort::WaitForInput(uint32_t ms) {
    return m_open != 0 && m_device->WaitForInput(ms);
}

}  // namespace pellan
