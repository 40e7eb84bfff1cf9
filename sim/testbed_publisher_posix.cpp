#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "sim/testbed_publisher.h"

namespace pellan::sim {
namespace {

bool SameEnumeration(const BusState& a, const BusState& b) {
    return a.diagPresent == b.diagPresent && a.atPresent == b.atPresent &&
           a.diagGeneration == b.diagGeneration && a.atGeneration == b.atGeneration;
}

}  // namespace

TestbedPublisher::~TestbedPublisher() {
    Stop();
}

bool TestbedPublisher::Start(std::string& error) {
    m_stop = false;
    Sync();
    if (m_bedGone) {
        error = "the test bed does not answer on its socket";
        return false;
    }
    m_watcher = std::thread([this] {
        while (!m_stop) {
            Sync();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    return true;
}

void TestbedPublisher::Stop() {
    m_stop = true;
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
    while (!m_plugged.empty()) {
        Unplug(m_plugged.begin()->first);
    }
}

void TestbedPublisher::Sync() {
    const auto sticks = m_machine.Sticks();
    for (size_t i = 0; i < sticks.size() && !m_bedGone; ++i) {
        const BusState bus = sticks[i]->Bus();
        const auto it = m_plugged.find(i);
        if (it != m_plugged.end() && !SameEnumeration(it->second.bus, bus)) {
            Unplug(i);
        }
        if ((bus.diagPresent || bus.atPresent) && m_plugged.count(i) == 0) {
            Plug(i, sticks[i], bus);
        }
    }
}

bool TestbedPublisher::Plug(size_t index, const std::shared_ptr<StickModel>& stick,
                            const BusState& bus) {
    std::vector<PortKind> kinds;
    std::string ports;
    if (bus.diagPresent) {
        kinds.push_back(PortKind::kDiag);
        ports = "diag";
    }
    if (bus.atPresent) {
        kinds.push_back(PortKind::kAt);
        ports += ports.empty() ? "at" : ",at";
    }
    const char* mode = stick->Mode() == StickMode::kNormal ? "normal" : "download";
    std::vector<int> masters;
    if (!Ask("plug " + std::to_string(index + 1) + " " + mode + " " + ports + "\n", masters)) {
        return false;
    }
    Plugged plugged;
    plugged.bus = bus;
    for (size_t k = 0; k < masters.size(); ++k) {
        if (k >= kinds.size()) {
            ::close(masters[k]);
            continue;
        }
        const uint64_t generation =
            kinds[k] == PortKind::kDiag ? bus.diagGeneration : bus.atGeneration;
        auto server = std::make_unique<PtyPortServer>(stick, kinds[k], generation);
        if (server->Adopt(masters[k])) {
            plugged.servers.push_back(std::move(server));
        }
    }
    m_plugged[index] = std::move(plugged);
    return true;
}

void TestbedPublisher::Unplug(size_t index) {
    // The ports die first, as on a stick that left the bus; then its nodes go.
    m_plugged.erase(index);
    std::vector<int> none;
    Ask("unplug " + std::to_string(index + 1) + "\n", none);
    for (const int fd : none) {
        ::close(fd);
    }
}

bool TestbedPublisher::Ask(const std::string& request, std::vector<int>& descriptors) {
    if (m_bedGone || ::send(m_socket, request.data(), request.size(), MSG_NOSIGNAL) !=
                         static_cast<ssize_t>(request.size())) {
        m_bedGone = true;
        return false;
    }
    std::string answer;
    while (answer.find('\n') == std::string::npos) {
        char text[256];
        alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
        iovec io{text, sizeof text};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(m_socket, &message, MSG_CMSG_CLOEXEC);
        if (n <= 0) {
            m_bedGone = true;
            return false;
        }
        answer.append(text, static_cast<size_t>(n));
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t k = 0; k < count; ++k) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
                    descriptors.push_back(fd);
                }
            }
        }
    }
    return true;
}

}  // namespace pellan::sim
