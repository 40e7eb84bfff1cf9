#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/pty_port_server.h"
#include "sim/sim_machine.h"

namespace pellan::sim {

// Publishes the machine's sticks to a udev test bed that plays the computer's USB bus, instead of
// a device root. Over the connected Unix stream socket it is given, it asks the bed to plug in
// each stick that appears on the bus (a USB device with the ids of the stick's mode and one tty
// node per present port) and to pull out each one that leaves it, and it serves the
// pseudo-terminals behind those nodes, whose master sides the bed hands over with its answer.
// One text line each way:
//   "plug K MODE PORTS\n"  ->  "ports K\n" with one descriptor per port, in the order of PORTS
//   "unplug K\n"           ->  "unplugged K\n"
// K is the stick's number (1..8), MODE "normal" or "download" (boot downloader and flash
// programmer), PORTS "diag,at", "diag" or "at". A stick that restarts is pulled out and plugged
// in again, so the bed gives it new nodes.
class TestbedPublisher {
  public:
    TestbedPublisher(SimMachine& machine, int socket) : m_machine(machine), m_socket(socket) {}
    ~TestbedPublisher();
    TestbedPublisher(const TestbedPublisher&) = delete;
    TestbedPublisher& operator=(const TestbedPublisher&) = delete;

    // Plugs in the present sticks and starts watching the bus.
    bool Start(std::string& error);
    // Pulls every stick out; idempotent.
    void Stop();

  private:
    struct Plugged {
        BusState bus;
        std::vector<std::unique_ptr<PtyPortServer>> servers;
    };

    void Sync();
    bool Plug(size_t index, const std::shared_ptr<StickModel>& stick, const BusState& bus);
    void Unplug(size_t index);
    // Sends `request` and waits for the bed's answer line, taking the descriptors that come
    // with it. False when the bed has gone.
    bool Ask(const std::string& request, std::vector<int>& descriptors);

    SimMachine& m_machine;
    int m_socket;
    bool m_bedGone = false;
    std::map<size_t, Plugged> m_plugged;
    std::atomic<bool> m_stop{false};
    std::thread m_watcher;
};

}  // namespace pellan::sim
