#pragma once

#include <atomic>
#include <cstdint>

namespace pellan::platform {

// Every wait of the program goes through a Clock, so that tests can run minutes of fixed waits in
// no time and deterministically, and so that a simulated stick can be driven faster (--fast).
class Clock {
public:
    virtual ~Clock() = default;
    // Blocks the calling thread for about `ms` milliseconds (a fixed wait or a poll interval).
    virtual void SleepMs(uint32_t ms) = 0;
    // Millisecond tick counter; wraps at 2^32 like the Windows tick count, so callers compare
    // differences (now - start), never absolute values.
    virtual uint32_t TickMs() = 0;
};

// The real clock: steady time, real sleeps.
class SystemClock final : public Clock {
public:
    void SleepMs(uint32_t ms) override;
    uint32_t TickMs() override;
};

// Shortens every fixed wait of 100 ms or more to a hundredth of its time; shorter sleeps (the
// reply polling intervals) and the tick counter, hence every reply time-out, are unchanged.
class FastClock final : public Clock {
public:
    explicit FastClock(Clock& base) : m_base(base) {}
    void SleepMs(uint32_t ms) override { m_base.SleepMs(ms >= 100 ? ms / 100 : ms); }
    uint32_t TickMs() override { return m_base.TickMs(); }

private:
    Clock& m_base;
};

// Test clock: time moves only when somebody sleeps (or the test advances it). A sleep returns at
// once after moving time forward, so a job with minutes of waits runs in milliseconds and every
// time-out is exact. Safe to share between threads; each sleeping thread moves the shared time.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t startMs = 0) : m_now(startMs) {}
    void SleepMs(uint32_t ms) override;
    uint32_t TickMs() override { return m_now.load(std::memory_order_acquire); }
    void Advance(uint32_t ms) { m_now.fetch_add(ms, std::memory_order_acq_rel); }
    // Total of all SleepMs calls, for tests that check the fixed waits of a sequence.
    uint64_t SleptMs() const { return m_slept.load(std::memory_order_acquire); }

private:
    std::atomic<uint32_t> m_now;
    std::atomic<uint64_t> m_slept{0};
};

}  // namespace pellan::platform
