#include "support/fake_serial.h"

#include <algorithm>

namespace pellan::test {
namespace {

class FakeDevice final : public platform::SerialDevice {
  public:
    FakeDevice(std::shared_ptr<FakePort> port, platform::Clock& clock)
        : m_port(std::move(port)), m_clock(clock) {
        m_port->SetOpen(true);
    }
    ~FakeDevice() override { m_port->SetOpen(false); }
    size_t Write(const uint8_t* data, size_t len, bool dropInput) override {
        return m_port->DoWrite(data, len, dropInput);
    }
    size_t BytesWaiting() override { return m_port->DoBytesWaiting(); }
    size_t Read(uint8_t* buf, size_t max) override { return m_port->DoRead(buf, max); }
    void Purge() override { m_port->DoPurge(); }
    bool WaitForInput(uint32_t ms) override {
        const uint32_t start = m_clock.TickMs();
        while (m_port->DoBytesWaiting() == 0) {
            if (m_clock.TickMs() - start >= ms) {
                return false;
            }
            m_clock.SleepMs(1);
        }
        return true;
    }

  private:
    std::shared_ptr<FakePort> m_port;
    platform::Clock& m_clock;
};

}  // namespace

void FakePort::SetResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void FakePort::SetReplyDelayMs(uint32_t ms) {
    std::lock_guard lock(m_mutex);
    m_delayMs = ms;
}

void FakePort::SetWriteFails(bool fails) {
    std::lock_guard lock(m_mutex);
    m_writeFails = fails;
}

void FakePort::Inject(const Bytes& bytes) {
    std::lock_guard lock(m_mutex);
    Enqueue(m_clock.TickMs(), bytes);
}

void FakePort::InjectAfter(uint32_t delayMs, const Bytes& bytes) {
    std::lock_guard lock(m_mutex);
    Enqueue(m_clock.TickMs() + delayMs, bytes);
}

size_t FakePort::LargestRead() const {
    std::lock_guard lock(m_mutex);
    return m_largestRead;
}

std::vector<Bytes> FakePort::Writes() const {
    std::lock_guard lock(m_mutex);
    return m_writes;
}

size_t FakePort::WriteCount() const {
    std::lock_guard lock(m_mutex);
    return m_writes.size();
}

bool FakePort::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

int FakePort::OpenCount() const {
    std::lock_guard lock(m_mutex);
    return m_openCount;
}

void FakePort::SetOpen(bool open) {
    std::lock_guard lock(m_mutex);
    m_open = open;
    if (open) {
        ++m_openCount;
    }
}

void FakePort::Enqueue(uint32_t visibleAt, Bytes bytes) {
    // Keep the queue in arrival order (ReleaseDue looks at the front only); equal times keep the
    // order in which they were queued.
    const uint32_t now = m_clock.TickMs();
    auto at = std::find_if(m_pending.begin(), m_pending.end(), [&](const Chunk& chunk) {
        return static_cast<int32_t>(chunk.visibleAt - now) > static_cast<int32_t>(visibleAt - now);
    });
    m_pending.insert(at, Chunk{visibleAt, std::move(bytes)});
}

void FakePort::ReleaseDue() {
    const uint32_t now = m_clock.TickMs();
    while (!m_pending.empty() && static_cast<int32_t>(now - m_pending.front().visibleAt) >= 0) {
        m_rx.insert(m_rx.end(), m_pending.front().bytes.begin(), m_pending.front().bytes.end());
        m_pending.pop_front();
    }
}

size_t FakePort::DoWrite(const uint8_t* data, size_t len, bool dropInput) {
    Responder responder;
    Bytes written(data, data + len);
    {
        std::lock_guard lock(m_mutex);
        if (dropInput) {
            ReleaseDue();
            m_rx.clear();
        }
        if (m_writeFails) {
            return 0;
        }
        m_writes.push_back(written);
        responder = m_responder;
    }
    Bytes answer = responder ? responder(written) : Bytes{};
    if (!answer.empty()) {
        std::lock_guard lock(m_mutex);
        Enqueue(m_clock.TickMs() + m_delayMs, std::move(answer));
    }
    return len;
}

size_t FakePort::DoBytesWaiting() {
    std::lock_guard lock(m_mutex);
    ReleaseDue();
    return m_rx.size();
}

size_t FakePort::DoRead(uint8_t* buf, size_t max) {
    std::lock_guard lock(m_mutex);
    m_largestRead = std::max(m_largestRead, max);
    ReleaseDue();
    const size_t n = std::min(max, m_rx.size());
    std::copy_n(m_rx.begin(), n, buf);
    m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void FakePort::DoPurge() {
    std::lock_guard lock(m_mutex);
    m_rx.clear();
    m_pending.clear();
}

FakePort& FakeSerialProvider::Port(int number) {
    std::lock_guard lock(m_mutex);
    auto& slot = m_ports[number];
    if (!slot) {
        slot = std::make_shared<FakePort>(m_clock);
    }
    return *slot;
}

void FakeSerialProvider::Remove(int number) {
    std::lock_guard lock(m_mutex);
    m_ports.erase(number);
}

std::unique_ptr<platform::SerialDevice> FakeSerialProvider::Open(int portNumber,
                                                                 const platform::LineSettings&) {
    std::lock_guard lock(m_mutex);
    auto it = m_ports.find(portNumber);
    if (it == m_ports.end()) {
        return nullptr;
    }
    return std::make_unique<FakeDevice>(it->second, m_clock);
}

}  // namespace pellan::test
