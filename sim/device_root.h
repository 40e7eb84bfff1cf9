#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "sim/pty_port_server.h"
#include "sim/sim_machine.h"

namespace pellan::sim {

// Publishes the machine's sticks through a device root as the POSIX platform contract describes:
// DIR/registry.reg (replaced atomically on every change) and DIR/COM<N> symbolic links to
// pseudo-terminals, one per present port, each served by a real-time I/O thread. A port that
// leaves the bus loses its link and its pseudo-terminal (an open handle on it dies); when the
// stick comes back, new pseudo-terminals and links appear, under new numbers if it renumbered.
class DeviceRootPublisher {
  public:
    DeviceRootPublisher(SimMachine& machine, std::filesystem::path root);
    ~DeviceRootPublisher();
    DeviceRootPublisher(const DeviceRootPublisher&) = delete;
    DeviceRootPublisher& operator=(const DeviceRootPublisher&) = delete;

    // Creates the root, publishes the present ports and starts watching the bus.
    bool Start(std::string& error);
    // Removes every published port and the sticks' registry entries; idempotent.
    void Stop();
    // Brings links and registry.reg in line with the bus now (the watcher does this every few ms).
    void Sync();

    const std::filesystem::path& Root() const { return m_root; }

  private:
    struct Published {
        std::unique_ptr<PtyPortServer> server;
        int port = 0;
        uint64_t generation = 0;
    };

    void WriteRegistry(bool force);
    void WriteRegistry(const std::string& text, bool force);

    SimMachine& m_machine;
    std::filesystem::path m_root;
    std::mutex m_syncMutex;
    std::map<std::pair<size_t, int>, Published> m_published;  // (stick index, port kind)
    std::string m_lastRegistry;
    std::atomic<bool> m_stop{false};
    std::thread m_watcher;
};

// Writes `text` to `path` through a temporary file and a rename, so readers never see half of it.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text);

// Routes SIGTERM and SIGINT to `stop` and SIGUSR1 to `report` (each set to 1), for the program.
void InstallSignalFlags(std::atomic<int>* stop, std::atomic<int>* report);

}  // namespace pellan::sim
