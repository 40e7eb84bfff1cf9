#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace pellan::bench {

// A pseudo-terminal pair set up as the simulator sets up its ports (raw, master non-blocking,
// read in 4 KiB pieces by a thread that waits in poll), published as DIR/COM<port> so that the
// host opens it through the ordinary serial provider. The far end counts and drops what arrives:
// what the host reaches through it is the limit of the link itself. With `answer`, it also sends
// back one acknowledgement frame for every frame it has taken in, at once and at no cost of its
// own: an instant stick, so that a windowed sender over it reaches the best any stick could let it.
class RawPtySink {
  public:
    RawPtySink() = default;
    ~RawPtySink();
    RawPtySink(const RawPtySink&) = delete;
    RawPtySink& operator=(const RawPtySink&) = delete;

    bool Start(const std::filesystem::path& root, int port, std::string& error,
               bool answer = false);
    void Stop();
    uint64_t Received() const { return m_received.load(std::memory_order_acquire); }

  private:
    void Drain();

    bool m_answer = false;
    int m_master = -1;
    int m_slave = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_received{0};
    std::thread m_thread;
};

}  // namespace pellan::bench
