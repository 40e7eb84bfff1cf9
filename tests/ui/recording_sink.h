#pragma once

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/view_sink.h"

namespace pellan::test {

// Keeps everything the view reports, for the tests of the display, the jobs and the polling loop.
// Thread-safe like a real front end must be; tests can wait for a control to reach a text.
class RecordingSink final : public ViewSink {
  public:
    void LineLogAppended(int line, const std::string& entry) override {
        std::lock_guard lock(m_mutex);
        m_entries.push_back({line, entry});
        m_changed.notify_all();
    }
    void LineLogReplaced(int line, const std::string& log) override {
        std::lock_guard lock(m_mutex);
        m_replaced[line] = log;
    }
    void ControlText(int id, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_texts[id] = text;
        m_textHistory[id].push_back(text);
        m_changed.notify_all();
    }
    void ControlProgress(int id, int position) override {
        std::lock_guard lock(m_mutex);
        m_progress[id] = position;
        m_progressHistory[id].push_back(position);
    }
    void ControlProgressRange(int id, int low, int high) override {
        std::lock_guard lock(m_mutex);
        m_ranges[id] = {low, high};
        ++m_rangeSets[id];
    }
    void ControlEnabled(int id, bool enabled) override {
        std::lock_guard lock(m_mutex);
        m_enabled[id] = enabled;
        m_changed.notify_all();
    }
    void LineState(int line, int state) override {
        std::lock_guard lock(m_mutex);
        m_states[line] = state;
        m_stateHistory[line].push_back(state);
    }
    void MessageBox(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_boxes.push_back(text);
    }

    struct Entry {
        int line;
        std::string text;
    };

    std::optional<std::string> Text(int id) const { return Find(m_texts, id); }
    std::vector<std::string> TextHistory(int id) const {
        return Find(m_textHistory, id).value_or(std::vector<std::string>{});
    }
    std::optional<bool> Enabled(int id) const { return Find(m_enabled, id); }
    std::optional<int> Progress(int id) const { return Find(m_progress, id); }
    std::vector<int> ProgressHistory(int id) const {
        return Find(m_progressHistory, id).value_or(std::vector<int>{});
    }
    int RangeSets(int id) const { return Find(m_rangeSets, id).value_or(0); }
    std::optional<std::pair<int, int>> Range(int id) const { return Find(m_ranges, id); }
    std::optional<int> State(int line) const { return Find(m_states, line); }
    std::vector<int> StateHistory(int line) const {
        return Find(m_stateHistory, line).value_or(std::vector<int>{});
    }
    std::vector<std::string> Boxes() const {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }
    std::vector<Entry> Entries() const {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    size_t CountEntries(int line, const std::string& text) const {
        std::lock_guard lock(m_mutex);
        return CountEntriesLocked(line, text);
    }
    std::optional<std::string> Replaced(int line) const { return Find(m_replaced, line); }
    void ClearControls() {
        std::lock_guard lock(m_mutex);
        m_texts.clear();
        m_enabled.clear();
    }

    // Waits (real time, up to `ms`) until `done` holds; the sink's state is locked while it runs.
    template <class Predicate>
    bool WaitFor(Predicate done, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(*this); });
    }
    // Unlocked readers for WaitFor predicates.
    std::optional<std::string> TextLocked(int id) const { return FindLocked(m_texts, id); }
    size_t CountEntriesLocked(int line, const std::string& text) const {
        return static_cast<size_t>(
            std::count_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) {
                return e.line == line && e.text.size() >= text.size() &&
                       e.text.compare(e.text.size() - text.size(), text.size(), text) == 0;
            }));
    }
    std::vector<std::string> TextHistoryLocked(int id) const {
        return FindLocked(m_textHistory, id).value_or(std::vector<std::string>{});
    }
    std::optional<bool> EnabledLocked(int id) const { return FindLocked(m_enabled, id); }

  private:
    template <class Map>
    static std::optional<typename Map::mapped_type> FindLocked(const Map& map, int key) {
        const auto it = map.find(key);
        return it == map.end() ? std::nullopt : std::optional(it->second);
    }
    template <class Map>
    std::optional<typename Map::mapped_type> Find(const Map& map, int key) const {
        std::lock_guard lock(m_mutex);
        return FindLocked(map, key);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    std::map<int, std::string> m_replaced;
    std::map<int, std::string> m_texts;
    std::map<int, std::vector<std::string>> m_textHistory;
    std::map<int, int> m_progress;
    std::map<int, std::vector<int>> m_progressHistory;
    std::map<int, std::pair<int, int>> m_ranges;
    std::map<int, int> m_rangeSets;
    std::map<int, bool> m_enabled;
    std::map<int, int> m_states;
    std::map<int, std::vector<int>> m_stateHistory;
    std::vector<std::string> m_boxes;
};

}  // namespace pellan::test
