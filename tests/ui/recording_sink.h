#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log_stamp.h"
#include "ui/line_controls.h"
#include "ui/view_sink.h"

namespace pellan::test {

// Keeps everything the view reports, for the tests of the display, the jobs and the polling loop.
// Thread-safe like a real front end must be; tests can wait for a control to reach a text.
class RecordingSink final : public ViewSink {
  private:
    template <class Map>
    static std::optional<typename Map::mapped_type> Find(const Map& map, int key) {
        const auto it = map.find(key);
        return it == map.end() ? std::nullopt : std::optional(it->second);
    }
    template <class Change>
    void Record(Change change) {
        std::lock_guard lock(m_mutex);
        change();
        m_changed.notify_all();
    }
    template <class Read>
    auto Locked(Read read) const {
        std::lock_guard lock(m_mutex);
        return read();
    }

  public:
    void LineLogAppended(int line, const std::string& entry) override {
        Record([&] { m_entries.push_back({line, entry}); });
    }
    void LineLogReplaced(int, const std::string&) override {}
    void ControlText(int id, const std::string& text) override {
        Record([&] { m_texts[id] = text, m_textHistory[id].push_back(text); });
    }
    void ControlProgress(int id, int position) override {
        const int line = id - ctl::kProgressBar;
        const bool ofLine = line >= 0 && line < kLineCount;
        Record([&] {
            m_progress[id] = position;
            if (ofLine) {
                m_progressHistory[line].push_back(position);
            }
        });
        if (ofLine && onProgress) {
            onProgress(line, position);
        }
    }
    // Runs on the job's thread at every progress step of a line, after it was recorded: lets a
    // test act at an exact point of a transfer (set before the job starts).
    std::function<void(int line, int position)> onProgress;
    void ControlProgressRange(int id, int, int) override {
        Record([&] { ++m_rangeSets[id]; });
    }
    void ControlEnabled(int id, bool enabled) override {
        Record([&] { m_enabled[id] = enabled; });
    }
    void LineState(int line, int state) override {
        Record([&] { m_states[line] = state, m_stateHistory[line].push_back(state); });
    }
    void MessageBox(const std::string& text) override {
        Record([&] { m_boxes.push_back(text); });
    }

    struct Entry {
        int line;
        std::string text;
    };

    std::optional<std::string> Text(int id) const {
        return Locked([&] { return TextLocked(id); });
    }
    std::vector<std::string> TextHistory(int id) const {
        return Locked([&] { return TextHistoryLocked(id); });
    }
    std::optional<bool> Enabled(int id) const {
        return Locked([&] { return EnabledLocked(id); });
    }
    std::optional<int> Progress(int id) const {
        return Locked([&] { return Find(m_progress, id); });
    }
    int RangeSets(int id) const {
        return Locked([&] { return Find(m_rangeSets, id).value_or(0); });
    }
    std::optional<int> State(int line) const {
        return Locked([&] { return Find(m_states, line); });
    }
    std::vector<int> StateHistory(int line) const {
        return Locked([&] { return Find(m_stateHistory, line).value_or(std::vector<int>{}); });
    }
    std::vector<std::string> Boxes() const {
        return Locked([&] { return m_boxes; });
    }
    std::vector<Entry> Entries() const {
        return Locked([&] { return m_entries; });
    }
    // The line's status texts without their time stamps, and its progress values, in order.
    std::vector<std::string> Messages(int line) const {
        return Locked([&] {
            std::vector<std::string> texts;
            for (const Entry& e : m_entries) {
                const size_t at = e.text.find(kLogSeparator);
                if (e.line == line) {
                    texts.push_back(at == std::string::npos
                                        ? e.text
                                        : e.text.substr(at + std::string(kLogSeparator).size()));
                }
            }
            return texts;
        });
    }
    std::vector<int> ProgressHistory(int line) const {
        return Locked([&] { return Find(m_progressHistory, line).value_or(std::vector<int>{}); });
    }
    void ClearLines() {
        Record([&] { m_entries.clear(), m_progressHistory.clear(); });
    }

    // Waits (real time, up to `ms`) until `done` holds; the sink's state is locked while it runs.
    template <class Predicate>
    bool WaitFor(Predicate done, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(*this); });
    }
    // Unlocked readers for WaitFor predicates.
    std::optional<std::string> TextLocked(int id) const { return Find(m_texts, id); }
    // Entries of `line` that end in `text`.
    size_t CountEntriesLocked(int line, const std::string& text) const {
        return static_cast<size_t>(
            std::count_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
                return e.line == line && e.text.size() >= text.size() &&
                       e.text.compare(e.text.size() - text.size(), text.size(), text) == 0;
            }));
    }
    std::vector<std::string> TextHistoryLocked(int id) const {
        return Find(m_textHistory, id).value_or(std::vector<std::string>{});
    }
    std::optional<bool> EnabledLocked(int id) const { return Find(m_enabled, id); }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    std::map<int, std::string> m_texts;
    std::map<int, std::vector<std::string>> m_textHistory;
    std::map<int, int> m_progress;
    std::map<int, std::vector<int>> m_progressHistory;
    std::map<int, int> m_rangeSets;
    std::map<int, bool> m_enabled;
    std::map<int, int> m_states;
    std::map<int, std::vector<int>> m_stateHistory;
    std::vector<std::string> m_boxes;
};

}  // namespace pellan::test
