#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/clock.h"

namespace pellan {

class CPellanView;

// The hand-shake between a line's polling loop and whoever needs the line's ports (a job, the
// port actions, the end of the program). The loop is never stopped from outside in the middle of
// an exchange with the stick: a pause or stop is a request that the loop honours at its next safe
// point, where no transaction is under way and no lock is held.
class PollControl {
  public:
    explicit PollControl(platform::Clock& clock) : m_clock(clock) {}
    PollControl(const PollControl&) = delete;
    PollControl& operator=(const PollControl&) = delete;

    // ---- the polling thread ----
    // A safe point. While a pause is requested, acknowledges it and waits until it is resumed or
    // stopped. False when the loop must end.
    bool SafePoint();
    // A fixed wait of the loop, on the clock, cut short when a pause or stop is requested. True
    // when the whole wait passed. The wait is taken in slices of at least 100 ms so that a
    // shortened clock (FastClock) shortens it as much as one long sleep.
    bool Sleep(uint32_t ms) { return Sleep(ms, nullptr); }
    // The same, ended early once `wake` holds (asked after every slice): a wait for something
    // that may come sooner. True then as well.
    bool Sleep(uint32_t ms, const std::function<bool()>& wake);
    // The loop has returned; nobody waits for it any longer.
    void MarkEnded();

    // ---- the controlling threads ----
    void RequestPause();
    // Ends a pause (or a pending pause request); the loop goes on with a new pass.
    void Resume();
    // Asks the loop to end; wakes it from a pause or a wait.
    void Stop();
    // Blocks until the loop has acknowledged a pause or has ended (a stopped loop ends at its next
    // safe point). True then; false when no pause is requested any longer (resumed meanwhile).
    bool WaitUntilPaused();

    bool PauseRequested() const;
    bool Paused() const;
    bool StopRequested() const;
    bool Ended() const;

  private:
    platform::Clock& m_clock;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_pauseRequested = false;
    bool m_paused = false;
    bool m_stop = false;
    bool m_ended = false;
};

// The polling loop of one line: finds the stick's two ports in the drivers' enumeration, opens
// them, asks the stick who it is and shows port, versions and the ready message; repeats until
// `control` asks it to end. Runs on the line's polling thread.
void PollLine(CPellanView& view, int line, PollControl& control);

}  // namespace pellan
