#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/serial.h"

namespace pellan::test {

using Bytes = std::vector<uint8_t>;

// A scripted port for unit tests: every write is recorded and handed to a responder, whose
// answer becomes readable after an optional delay measured on the test clock.
class FakePort {
  public:
    // Returns the bytes the "stick" answers to one write (empty for silence).
    using Responder = std::function<Bytes(const Bytes& written)>;

    explicit FakePort(platform::Clock& clock) : m_clock(clock) {}

    void SetResponder(Responder responder);
    // Answers appear this long after the write that caused them.
    void SetReplyDelayMs(uint32_t ms);
    // Makes the next writes fail (return 0).
    void SetWriteFails(bool fails);
    // Queues bytes as if the stick had sent them unasked, readable from now on.
    void Inject(const Bytes& bytes);
    // As Inject, readable `delayMs` from now; a write's input purge does not touch bytes that
    // have not arrived yet, so this also models the tail of a reply that comes in late.
    void InjectAfter(uint32_t delayMs, const Bytes& bytes);
    // The largest `max` any Read asked for, to check that readers keep to their buffers.
    size_t LargestRead() const;

    std::vector<Bytes> Writes() const;
    size_t WriteCount() const;
    bool IsOpen() const;
    int OpenCount() const;

    // Used by the device object.
    size_t DoWrite(const uint8_t* data, size_t len, bool dropInput);
    size_t DoBytesWaiting();
    size_t DoRead(uint8_t* buf, size_t max);
    void DoPurge();
    void SetOpen(bool open);

  private:
    struct Chunk {
        uint32_t visibleAt;
        Bytes bytes;
    };
    void Enqueue(uint32_t visibleAt, Bytes bytes);
    void ReleaseDue();

    platform::Clock& m_clock;
    mutable std::mutex m_mutex;
    Responder m_responder;
    uint32_t m_delayMs = 0;
    bool m_writeFails = false;
    bool m_open = false;
    int m_openCount = 0;
    size_t m_largestRead = 0;
    std::vector<Bytes> m_writes;
    std::deque<Chunk> m_pending;
    std::deque<uint8_t> m_rx;
};

// Serves FakePorts by number; opening an unknown number fails like a missing device.
class FakeSerialProvider final : public platform::SerialProvider {
  public:
    explicit FakeSerialProvider(platform::Clock& clock) : m_clock(clock) {}
    FakePort& Port(int number);  // created on first use
    void Remove(int number);
    std::unique_ptr<platform::SerialDevice> Open(int portNumber,
                                                 const platform::LineSettings& settings) override;

  private:
    platform::Clock& m_clock;
    std::mutex m_mutex;
    std::map<int, std::shared_ptr<FakePort>> m_ports;
};

}  // namespace pellan::test
