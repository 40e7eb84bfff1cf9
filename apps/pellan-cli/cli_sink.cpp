#include "cli_sink.h"

namespace pellan::cli {

namespace {
constexpr int kBarWidth = 40;

std::string Bar(int progress) {
    const int shown = progress > 100 ? 100 : progress;
    const int filled = shown * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    return "[" + bar + "] " + std::to_string(shown) + "/100";
}

std::string WithoutLineEnds(std::string text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}
}  // namespace

CliSink::CliSink(std::vector<int> lines, bool progressBar, std::FILE* out, std::FILE* err)
    : m_lines(std::move(lines)),
      m_several(m_lines.size() > 1),
      m_progressBar(progressBar),
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
            std::fprintf(m_out, "\r\033[K%s", Bar(state.progress).c_str());
            m_barRows = -1;
        }
    } else {
        for (const int line : m_lines) {
            const LineOutcome& state = m_state[static_cast<size_t>(line)];
            if (state.jobStarted && !state.finished) {
                std::fprintf(m_out, "%s%s\n", Prefix(line).c_str(), Bar(state.progress).c_str());
                ++m_barRows;
            }
        }
    }
    std::fflush(m_out);
}

void CliSink::PrintLocked(int line, const std::string& text) {
    ClearBar();
    std::fprintf(m_out, "%s%s\n", Prefix(line).c_str(), text.c_str());
    std::fflush(m_out);
    DrawBar();
}

void CliSink::LineLogAppended(int line, const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Listed(line)) {
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
    PrintLocked(line, text);
}

}  // namespace pellan::cli
