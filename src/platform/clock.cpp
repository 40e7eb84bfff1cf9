#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace pellan::platform {

void SystemClock::SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t SystemClock::TickMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void VirtualClock::SleepMs(uint32_t ms) {
    m_slept.fetch_add(ms, std::memory_order_acq_rel);
    m_now.fetch_add(ms, std::memory_order_acq_rel);
    // Let other threads (a second line, a simulated stick) run between two polls.
    std::this_thread::yield();
}

}  // namespace pellan::platform
