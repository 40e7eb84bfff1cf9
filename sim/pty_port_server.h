#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/stick_model.h"

namespace pellan::sim {

// Opens the slave side of the pseudo-terminal `master` and sets it up as the simulator's ports
// are: raw, 115200 baud, the master non-blocking. The slave's descriptor (and in `slavePath` its
// node), or -1 when it cannot be opened.
int OpenRawSlave(int master, std::string& slavePath);

// One pseudo-terminal standing in for one port of a stick, with the real-time thread that carries
// bytes between it and the stick model. Closing it (or destroying it) closes the master side: a
// host's handle on the slave then reads end of file, as on a port that left the bus.
class PtyPortServer {
  public:
    PtyPortServer(std::shared_ptr<StickModel> stick, PortKind kind, uint64_t generation)
        : m_stick(std::move(stick)), m_kind(kind), m_generation(generation) {}
    ~PtyPortServer() { Close(); }
    PtyPortServer(const PtyPortServer&) = delete;
    PtyPortServer& operator=(const PtyPortServer&) = delete;

    // A new pseudo-terminal; `slavePath` is the node the host opens.
    bool Open(std::string& slavePath);
    // Serves the master side `master` of a pseudo-terminal made by somebody else (a test bed's
    // device node); takes it over.
    bool Adopt(int master);
    void Close();

  private:
    using Clock = std::chrono::steady_clock;
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t sent = 0;
    };

    bool Start(std::string& slavePath);
    void Serve();
    void Flush();

    std::shared_ptr<StickModel> m_stick;
    PortKind m_kind;
    uint64_t m_generation;
    int m_master = -1;
    int m_slave = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::deque<Chunk> m_out;
};

}  // namespace pellan::sim
