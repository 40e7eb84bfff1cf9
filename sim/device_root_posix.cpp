#include "sim/device_root.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "sim/pty_port_server.h"

namespace pellan::sim {

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path temp = path.string() + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    return !ec;
}

DeviceRootPublisher::DeviceRootPublisher(SimMachine& machine, std::filesystem::path root)
    : m_machine(machine), m_root(std::move(root)) {}

DeviceRootPublisher::~DeviceRootPublisher() {
    Stop();
}

bool DeviceRootPublisher::Start(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(m_root, ec);
    if (ec) {
        error = "cannot create " + m_root.string() + ": " + ec.message();
        return false;
    }
    m_stop = false;
    Sync();
    WriteRegistry(true);
    m_watcher = std::thread([this] {
        while (!m_stop) {
            Sync();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    return true;
}

void DeviceRootPublisher::Stop() {
    m_stop = true;
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
    std::lock_guard lock(m_syncMutex);
    for (auto& [key, pub] : m_published) {
        std::error_code ec;
        std::filesystem::remove(m_root / ("COM" + std::to_string(pub.port)), ec);
        pub.server.reset();
    }
    m_published.clear();
    if (!m_lastRegistry.empty()) {
        WriteFileAtomically(m_root / "registry.reg", FormatRegFile({}));
        m_lastRegistry.clear();
    }
}

void DeviceRootPublisher::Sync() {
    std::lock_guard lock(m_syncMutex);
    // The registry as it is before the bus is read: every port it names as present is linked
    // below, so a client never finds a port in the registry whose node is not there yet. A port
    // that appears in between is linked now and named on the next round.
    const std::string registry = FormatRegFile(m_machine.RegistrySnapshot());
    const auto sticks = m_machine.Sticks();
    std::vector<BusState> buses;
    for (const auto& stick : sticks) {
        buses.push_back(stick->Bus());
    }
    auto wanted = [&](size_t i, PortKind kind, int& port, uint64_t& generation) {
        const BusState& bus = buses[i];
        port = kind == PortKind::kDiag ? bus.diagPort : bus.atPort;
        generation = kind == PortKind::kDiag ? bus.diagGeneration : bus.atGeneration;
        return kind == PortKind::kDiag ? bus.diagPresent : bus.atPresent;
    };
    // Every stale link goes before any new one is made: a stick may come back under a number
    // that another stick has just given up, and that stick's old link must not take the new one
    // away.
    for (auto it = m_published.begin(); it != m_published.end();) {
        int port = 0;
        uint64_t generation = 0;
        const bool present =
            wanted(it->first.first, static_cast<PortKind>(it->first.second), port, generation);
        if (!present || it->second.port != port || it->second.generation != generation) {
            std::error_code ec;
            std::filesystem::remove(m_root / ("COM" + std::to_string(it->second.port)), ec);
            it = m_published.erase(it);  // closes the pseudo-terminal
        } else {
            ++it;
        }
    }
    for (size_t i = 0; i < sticks.size(); ++i) {
        for (PortKind kind : {PortKind::kDiag, PortKind::kAt}) {
            int port = 0;
            uint64_t generation = 0;
            const auto key = std::make_pair(i, static_cast<int>(kind));
            if (!wanted(i, kind, port, generation) || m_published.count(key) != 0) {
                continue;
            }
            Published pub;
            pub.port = port;
            pub.generation = generation;
            pub.server = std::make_unique<PtyPortServer>(sticks[i], kind, generation);
            std::string slave;
            if (!pub.server->Open(slave)) {
                continue;  // tried again on the next round
            }
            const std::filesystem::path link = m_root / ("COM" + std::to_string(port));
            const std::filesystem::path temp = link.string() + ".new";
            std::error_code ec;
            std::filesystem::remove(temp, ec);
            std::filesystem::create_symlink(slave, temp, ec);
            std::filesystem::rename(temp, link, ec);
            m_published[key] = std::move(pub);
        }
    }
    WriteRegistry(registry, false);  // also catches registry changes that moved no port
}

void DeviceRootPublisher::WriteRegistry(bool force) {
    WriteRegistry(FormatRegFile(m_machine.RegistrySnapshot()), force);
}

void DeviceRootPublisher::WriteRegistry(const std::string& text, bool force) {
    if (force || text != m_lastRegistry) {
        if (WriteFileAtomically(m_root / "registry.reg", text)) {
            m_lastRegistry = text;
        }
    }
}

namespace {
std::atomic<int>* g_stopFlag = nullptr;
std::atomic<int>* g_reportFlag = nullptr;
extern "C" void OnStopSignal(int) {
    if (g_stopFlag != nullptr) {
        g_stopFlag->store(1);
    }
}
extern "C" void OnReportSignal(int) {
    if (g_reportFlag != nullptr) {
        g_reportFlag->store(1);
    }
}
}  // namespace

void InstallSignalFlags(std::atomic<int>* stop, std::atomic<int>* report) {
    g_stopFlag = stop;
    g_reportFlag = report;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnReportSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace pellan::sim
