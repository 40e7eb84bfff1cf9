#include "ui/line_polling.h"

#include "ui/line_controls.h"
#include "ui/pellan_view.h"

namespace pellan {

// ---- PollControl ----

bool PollControl::SafePoint() {
    std::unique_lock lock(m_mutex);
    if (m_pauseRequested && !m_stop) {
        m_paused = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_pauseRequested || m_stop; });
        m_paused = false;
        m_changed.notify_all();
    }
    return !m_stop;
}

bool PollControl::Sleep(uint32_t ms, const std::function<bool()>& wake) {
    constexpr uint32_t kSlice = 100;
    uint32_t left = ms;
    do {
        if (PauseRequested() || StopRequested()) {
            return false;
        }
        const uint32_t slice = left < 2 * kSlice ? left : kSlice;
        m_clock.SleepMs(slice);
        left -= slice;
    } while (left > 0 && !(wake && wake()));
    return !PauseRequested() && !StopRequested();
}

void PollControl::MarkEnded() {
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_paused = false;
    m_changed.notify_all();
}

void PollControl::RequestPause() {
    std::lock_guard lock(m_mutex);
    m_pauseRequested = true;
    m_changed.notify_all();
}

void PollControl::Resume() {
    std::lock_guard lock(m_mutex);
    m_pauseRequested = false;
    m_changed.notify_all();
}

void PollControl::Stop() {
    std::lock_guard lock(m_mutex);
    m_stop = true;
    m_changed.notify_all();
}

bool PollControl::WaitUntilPaused() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_paused || m_ended || !m_pauseRequested; });
    return m_paused || m_ended;
}

bool PollControl::PauseRequested() const {
    std::lock_guard lock(m_mutex);
    return m_pauseRequested;
}

bool PollControl::Paused() const {
    std::lock_guard lock(m_mutex);
    return m_paused;
}

bool PollControl::StopRequested() const {
    std::lock_guard lock(m_mutex);
    return m_stop;
}

bool PollControl::Ended() const {
    std::lock_guard lock(m_mutex);
    return m_ended;
}

// ---- the loop ----

namespace {

constexpr int kBaud = 115200;
constexpr const char* kReady = "Ready, please press UPDATE to start.";

// The fields the loop sets directly. Line 0 drives the form's own fields; the other lines, which
// have no such fields, use their own panel's controls so that they never overwrite line 0's.
struct PollFields {
    int status;
    int port;
    int version;
    int start;
};

PollFields FieldsOf(int line) {
    if (line == 0) {
        return {ctl::kStatusLine, ctl::kPortInformation, ctl::kCurrentVersion, ctl::kStartButton};
    }
    return {ctl::kMessageText + line, ctl::kDiagPortText + line,
            VersionControlId(line, VersionText::OuterBoard), ctl::kStartButton + line};
}

enum class Pass { Done, Interrupted };

// Waits until the drivers' enumeration names both ports; every third miss shows the searching
// display. Interrupted when a pause or stop is requested.
Pass Search(CPellanView& view, int line, PollControl& control) {
    CPellanDoc& doc = view.Doc();
    const PollFields fields = FieldsOf(line);
    const platform::Registry& registry = *doc.Env().registry;
    int misses = 0;
    for (;;) {
        // A stick plugged in or pulled out ends the pause at once (where the registry can tell).
        const uint64_t seen = registry.Changes();
        if (!control.Sleep(1000, [&] { return registry.Changes() != seen; })) {
            return Pass::Interrupted;
        }
        const bool found = doc.DiscoverPorts(line);
        if (found) {
            return Pass::Done;
        }
        if (++misses == 3) {
            misses = 0;
            // Line 1 searches in the form's own fields and in its panel of the factory view.
            const PollFields panel = {ctl::kMessageText + line, ctl::kDiagPortText + line,
                                      VersionControlId(line, VersionText::OuterBoard),
                                      ctl::kStartButton + line};
            for (const PollFields& shown : {fields, panel}) {
                view.Sink().ControlText(shown.status, "Search...");
                view.Sink().ControlText(shown.port, "NULL");
                view.Sink().ControlText(shown.version, "No Phone");
                view.Sink().ControlEnabled(shown.start, false);
                if (line != 0) {
                    break;  // the other lines have their panel's fields only
                }
            }
        }
    }
}

Pass QueryPass(CPellanView& view, int line, PollControl& control) {
    CPellanDoc& doc = view.Doc();
    const PollFields fields = FieldsOf(line);
    if (!control.Sleep(200)) {
        return Pass::Interrupted;
    }
    view.ShowLinePort(line);
    const int diagPort = doc.LineDiagPort(line);
    doc.ReopenDiagPort(line, diagPort, kBaud);
    doc.ReopenAtPort(line, doc.LineAtPort(line), kBaud);
    if (doc.QueryPhone(line)) {
        if (!control.Sleep(1000)) {
            return Pass::Interrupted;
        }
        view.Sink().ControlEnabled(fields.start, true);
        view.ShowLineMessage(line, kReady, 1);
        view.ShowLineVersions(line);
        return Pass::Done;
    }
    if (!doc.ReopenDiagPort(line, diagPort, kBaud)) {
        doc.Runtime(line).phoneState = 1;
        doc.SetLineVersionTexts(line, "No Phone", true);
    } else {
        doc.QueryPhone(line);
    }
    if (!control.Sleep(1000)) {
        return Pass::Interrupted;
    }
    view.ShowLineVersions(line);
    return Pass::Done;
}

}  // namespace

void PollLine(CPellanView& view, int line, PollControl& control) {
    struct EndMark {
        PollControl& control;
        ~EndMark() { control.MarkEnded(); }
    } endMark{control};
    CPellanDoc& doc = view.Doc();
    // A loop started while the line's job runs waits here before it touches the ports.
    if (!control.SafePoint()) {
        return;
    }
    // A line that holds no stick yet opens nothing: a number from the settings file may belong
    // to another line's stick.
    if (doc.Bindings().Holds(line)) {
        doc.ReopenDiagPort(line, doc.LineDiagPort(line), kBaud);
    }
    // An interrupted pass starts over after the safe point: the ports may have been used by a
    // job meanwhile, so nothing of the pass is carried on.
    while (control.SafePoint()) {
        if (Search(view, line, control) == Pass::Interrupted) {
            continue;
        }
        QueryPass(view, line, control);
    }
}

}  // namespace pellan
