#include "cli_sink.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/system_env.h"

namespace pellan::cli {

namespace {
constexpr int kBarWidth = 24;
// A row must stay shorter than the terminal, or it wraps and the old rows stay behind; without a
// width from the terminal it keeps to 79 columns.
constexpr size_t kRowWidth = 79;
constexpr int kJsonVersion = 1;

nlohmann::json LineValue(int line) {
    return line >= 0 ? nlohmann::json(line + 1) : nlohmann::json(nullptr);
}

nlohmann::json EventJson(int line, const JobEvent& event) {
    nlohmann::json j = {
        {"version", kJsonVersion}, {"event", EventKindKey(event.kind)}, {"line", LineValue(line)}};
    const auto phase = [&] {
        j["phase"] = PhaseKey(event.phase);
        j["phase_name"] = PhaseLabel(event);
        j["cycle"] = event.cycle;
    };
    const auto counts = [&] {
        j["done"] = event.done;
        j["total"] = event.total;
        j["unit"] = event.unit;
        j["elapsed_ms"] = event.elapsedMs;
    };
    const auto stick = [&] {
        j["stick"] = {{"port", event.stick.port},
                      {"location", event.stick.location},
                      {"current_version", event.stick.currentVersion},
                      {"second_version", event.stick.secondVersion},
                      {"esn", event.stick.esn},
                      {"imei", event.stick.imei}};
    };
    switch (event.kind) {
        case JobEventKind::JOB_BEGIN:
            j["job"] = event.detail;
            break;
        case JobEventKind::STICK:
            stick();
            break;
        case JobEventKind::PHASE_BEGIN:
            phase();
            j["total"] = event.total;
            j["unit"] = event.unit;
            break;
        case JobEventKind::PHASE_PROGRESS:
            phase();
            counts();
            break;
        case JobEventKind::PHASE_END:
            phase();
            counts();
            j["ok"] = event.ok;
            break;
        case JobEventKind::RETRY:
            phase();
            j["reason"] = event.detail;
            break;
        case JobEventKind::REWRITE:
            phase();
            j["blocks"] = event.blocks;
            j["reason"] = event.detail;
            break;
        case JobEventKind::BACKUP_FILE:
            j["path"] = event.detail;
            j["md5"] = event.digest;
            break;
        case JobEventKind::STATUS:
            j["text"] = event.detail;
            break;
        case JobEventKind::RESULT:
            j["ok"] = event.ok;
            j["code"] = event.code;
            j["text"] = event.detail;
            j["elapsed_ms"] = event.elapsedMs;
            stick();
            break;
    }
    return j;
}

// "0:05 left" from the phase's rate so far; empty until it has one.
std::string TimeLeft(const JobEvent& phase) {
    if (std::strcmp(phase.unit, "bytes") != 0 || phase.done == 0 || phase.elapsedMs == 0) {
        return {};
    }
    const double msLeft =
        static_cast<double>(phase.total - phase.done) * phase.elapsedMs / phase.done;
    const auto seconds = static_cast<unsigned>(msLeft / 1000 + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u left", seconds / 60, seconds % 60);
    return text;
}

std::string Bar(int progress) {
    const int shown = progress > 100 ? 100 : progress;
    const int filled = shown * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    return "[" + bar + "] " + std::to_string(shown) + "/100";
}

size_t RowWidth() {
    const int columns = platform::StdoutColumns();
    return columns > 1 ? static_cast<size_t>(columns - 1) : kRowWidth;
}

// The bar first, the counts, rate and time left after it, and the phase's name in what room is
// left between them, shortened (or left out) so that the time left is always on the row.
std::string FitRow(const std::string& head, std::string label, const std::string& tail,
                   size_t width) {
    const size_t fixed = head.size() + tail.size();
    const size_t room = width > fixed + 1 ? width - fixed - 1 : 0;
    if (label.size() > room) {
        label = room >= 4 ? label.substr(0, room - 2) + ".." : std::string();
    }
    std::string row = head;
    if (!label.empty()) {
        row += ' ';
        row += label;
    }
    row += tail;
    if (row.size() > width) {
        row.resize(width);
    }
    return row;
}

std::string WithoutLineEnds(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}
}  // namespace

CliSink::CliSink(std::vector<int> lines, bool progressBar, bool json, std::FILE* out,
                 std::FILE* err)
    : m_lines(std::move(lines)),
      m_several(m_lines.size() > 1),
      m_progressBar(progressBar && !json),
      m_json(json),
      m_out(out),
      m_err(err) {
    for (const int line : m_lines) {
        if (line >= 0 && line < kLineCount) {
            m_state[static_cast<size_t>(line)].listed = true;
        }
    }
}

bool CliSink::Listed(int line) const {
    return line >= 0 && line < kLineCount && m_state[static_cast<size_t>(line)].listed;
}

std::string CliSink::Prefix(int line) const {
    return m_several && line >= 0 ? "Line " + std::to_string(line + 1) + ": " : std::string();
}

void CliSink::ClearBar() {
    if (m_barRows < 0) {
        std::fputs("\r\033[K", m_out);
    } else if (m_barRows > 0) {
        std::fprintf(m_out, "\033[%dA\r\033[J", m_barRows);
    }
    m_barRows = 0;
}

// One bar for a single line (redrawn in place), one row per running line for several.
void CliSink::DrawBar() {
    if (!m_progressBar) {
        return;
    }
    if (!m_several) {
        const LineOutcome& state = m_state[static_cast<size_t>(m_lines.front())];
        if (state.jobStarted && !state.finished) {
            std::fprintf(m_out, "\r\033[K%s", Row(m_lines.front(), state).c_str());
            m_barRows = -1;
        }
    } else {
        for (const int line : m_lines) {
            const LineOutcome& state = m_state[static_cast<size_t>(line)];
            if (state.jobStarted && !state.finished) {
                std::fprintf(m_out, "%s\n", Row(line, state).c_str());
                ++m_barRows;
            }
        }
    }
    std::fflush(m_out);
}

// "Line 2: [######......] 45/100 application image, cycle 1 8.1 of 18.9 MB 2.10 MB/s 0:05 left"
std::string CliSink::Row(int line, const LineOutcome& state) const {
    std::string label;
    std::string tail;
    // Appended word by word: GCC 12 at -O3 takes `" " + std::string&&` for an overlapping memcpy
    // (-Wrestrict, a false positive).
    const auto word = [&tail](const std::string& text) {
        if (!text.empty()) {
            tail += ' ';
            tail += text;
        }
    };
    if (state.inPhase) {
        const JobEvent& phase = state.phase;
        label = PhaseLabel(phase);
        if (phase.total > 0) {
            word(ProgressText(phase.done, phase.total, phase.unit));
            word(RateText(phase.done, phase.elapsedMs, phase.unit));
            word(TimeLeft(phase));
        }
    }
    return FitRow(Prefix(line) + Bar(state.progress), label, tail, RowWidth());
}

void CliSink::PrintJson(int line, const char* event, const std::string& text, bool passed) {
    nlohmann::json j = {
        {"version", kJsonVersion}, {"event", event}, {"line", LineValue(line)}, {"text", text}};
    if (std::strcmp(event, "final") == 0 || std::strcmp(event, "summary") == 0) {
        j["ok"] = passed;
    }
    std::fprintf(m_out, "%s\n",
                 j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(m_out);
}

void CliSink::JobEventReported(int line, const JobEvent& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Listed(line)) {
        return;
    }
    if (m_json) {
        std::fprintf(m_out, "%s\n",
                     EventJson(line, event)
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                         .c_str());
        std::fflush(m_out);
        return;
    }
    LineOutcome& state = m_state[static_cast<size_t>(line)];
    switch (event.kind) {
        case JobEventKind::PHASE_BEGIN:
        case JobEventKind::PHASE_PROGRESS:
            state.phase = event;
            state.inPhase = true;
            break;
        case JobEventKind::PHASE_END:
        case JobEventKind::RESULT:
            state.inPhase = false;
            break;
        default:
            return;
    }
    if (m_progressBar) {
        ClearBar();
        DrawBar();
    } else if (event.kind == JobEventKind::PHASE_BEGIN || event.kind == JobEventKind::PHASE_END) {
        std::fprintf(m_err, "%s%s\n", Prefix(line).c_str(), EventText(event).c_str());
        std::fflush(m_err);
    }
}

void CliSink::PrintLocked(int line, const std::string& text) {
    ClearBar();
    std::fprintf(m_out, "%s%s\n", Prefix(line).c_str(), text.c_str());
    std::fflush(m_out);
    DrawBar();
}

void CliSink::LineLogAppended(int line, const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Listed(line) && !m_json) {  // JSON output has them as status events
        PrintLocked(line, WithoutLineEnds(entry));
    }
}

// The update job starts its log afresh with a header (versions and paths); it is shown too.
void CliSink::LineLogReplaced(int line, const std::string& log) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Listed(line)) {
        return;
    }
    const std::string text = WithoutLineEnds(log);
    if (m_json) {
        return;  // a status event of its own
    }
    if (!m_several) {
        PrintLocked(line, text);
        return;
    }
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        PrintLocked(line, text.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
}

void CliSink::ControlText(int controlId, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int line = controlId - ctl::kMessageText;
    if (Listed(line)) {
        m_state[static_cast<size_t>(line)].lastMessage = text;
    }
}

void CliSink::ControlProgress(int controlId, int position) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int line = controlId - ctl::kProgressBar;
    if (!Listed(line)) {
        return;
    }
    LineOutcome& state = m_state[static_cast<size_t>(line)];
    if (!state.jobStarted || state.finished) {
        return;
    }
    state.progress = position;
    ClearBar();
    DrawBar();
}

void CliSink::Finish(LineOutcome& state, bool passed) {
    state.finished = true;
    state.passed = passed;
    state.resultText = state.lastMessage;
    ClearBar();
    DrawBar();
}

void CliSink::LineState(int line, int state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The first pass or fail state after the start is the job's own end; the update job sets
    // the fail state once more after finishing, and polling may add messages after that.
    if (!Listed(line)) {
        return;
    }
    LineOutcome& s = m_state[static_cast<size_t>(line)];
    if (s.jobStarted && !s.finished && (state == 2 || state == 3)) {
        Finish(s, state == 2);
    }
}

void CliSink::MessageBox(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearBar();
    std::fflush(m_out);
    std::fprintf(m_err, "%s\n", text.c_str());
    std::fflush(m_err);
    for (const int line : m_lines) {
        m_state[static_cast<size_t>(line)].lastBox = text;
    }
    DrawBar();
}

void CliSink::LineMessageBox(int line, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearBar();
    std::fflush(m_out);
    std::fprintf(m_err, "%s%s\n", Listed(line) ? Prefix(line).c_str() : "", text.c_str());
    std::fflush(m_err);
    if (Listed(line)) {
        m_state[static_cast<size_t>(line)].lastBox = text;
    }
    DrawBar();
}

void CliSink::ProgramEndRequested() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endRequested = true;
    ClearBar();
}

void CliSink::LineEndRequested(int line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Listed(line)) {
        LineOutcome& s = m_state[static_cast<size_t>(line)];
        if (!s.finished) {
            Finish(s, true);
        }
    }
    m_endRequested = true;
}

void CliSink::JobStarted(int line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Listed(line)) {
        LineOutcome& s = m_state[static_cast<size_t>(line)];
        s.jobStarted = true;
        s.finished = false;
        s.passed = false;
        s.progress = 0;
    }
}

bool CliSink::Passed(int line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Listed(line) && m_state[static_cast<size_t>(line)].passed;
}

bool CliSink::EndRequested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endRequested;
}

std::string CliSink::ResultText(int line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Listed(line)) {
        return {};
    }
    const LineOutcome& s = m_state[static_cast<size_t>(line)];
    return s.finished ? s.resultText : s.lastMessage;
}

std::string CliSink::LastMessageBox(int line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Listed(line) ? m_state[static_cast<size_t>(line)].lastBox : std::string();
}

void CliSink::PrintLine(int line, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_json) {
        PrintJson(line, "output", text, true);
    } else {
        PrintLocked(line, text);
    }
}

void CliSink::PrintFinal(int line, const std::string& text, bool passed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_json) {
        PrintJson(line, "final", text, passed);
    } else {
        PrintLocked(line, text);
    }
}

void CliSink::PrintSummary(int line, const std::string& text, bool passed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_json) {
        PrintJson(line, "summary", text, passed);
    } else {
        PrintLocked(line, text);
    }
}

}  // namespace pellan::cli
