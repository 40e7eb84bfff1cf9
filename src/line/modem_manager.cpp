#include "line/modem_manager.h"

#include <utility>

namespace pellan {

CMmcliInhibitor::CMmcliInhibitor(Launch launch, ListSticks listSticks, platform::Clock& clock)
    : m_launch(std::move(launch)), m_listSticks(std::move(listSticks)), m_clock(clock) {}

CMmcliInhibitor::~CMmcliInhibitor() {
    Release();
}

void CMmcliInhibitor::Inhibit() {
    const std::vector<std::string> sticks = m_listSticks();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& uid : sticks) {
        auto held = m_held.find(uid);
        if (held != m_held.end()) {
            if (held->second->Running()) {
                continue;
            }
            m_held.erase(held);
        }
        std::unique_ptr<platform::ChildProcess> child = m_launch({"--inhibit-device=" + uid});
        if (child) {
            m_held.emplace(uid, std::move(child));
        }
    }
}

void CMmcliInhibitor::Release() {
    std::map<std::string, std::unique_ptr<platform::ChildProcess>> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        held.swap(m_held);
    }
    for (auto& [uid, child] : held) {
        child->Stop(m_clock, kStopGraceMs);
    }
}

std::vector<std::string> CMmcliInhibitor::Held() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> uids;
    for (auto& [uid, child] : m_held) {
        if (child->Running()) {
            uids.push_back(uid);
        }
    }
    return uids;
}

}  // namespace pellan
