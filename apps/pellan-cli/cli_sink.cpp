#include "cli_sink.h"

namespace pellan::cli {

namespace {
constexpr int kBarWidth = 40;
}

CliSink::CliSink(int line, bool progressBar, std::FILE* out, std::FILE* err)
    : m_line(line), m_progressBar(progressBar), m_out(out), m_err(err) {}

void CliSink::ClearBar() {
    if (m_barShown) {
        std::fputs("\r\033[K", m_out);
        m_barShown = false;
    }
}

void CliSink::DrawBar() {
    if (!m_progressBar) {
        return;
    }
    const int shown = m_progress > 100 ? 100 : m_progress;
    const int filled = shown * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    std::fprintf(m_out, "\r\033[K[%s] %d/100", bar.c_str(), shown);
    std::fflush(m_out);
    m_barShown = true;
}

void CliSink::LineLogAppended(int line, const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line != m_line) {
        return;
    }
    ClearBar();
    std::string text = entry;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
    if (m_jobStarted && !m_finished) {
        DrawBar();
    }
}

// The update job starts its log afresh with a header (versions and paths); it is shown too.
void CliSink::LineLogReplaced(int line, const std::string& log) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line != m_line) {
        return;
    }
    ClearBar();
    std::string text = log;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
    if (m_jobStarted && !m_finished) {
        DrawBar();
    }
}

void CliSink::ControlText(int controlId, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (controlId == ctl::kMessageText + m_line) {
        m_lastMessage = text;
    }
}

void CliSink::ControlProgress(int controlId, int position) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (controlId != ctl::kProgressBar + m_line || !m_jobStarted || m_finished) {
        return;
    }
    m_progress = position;
    DrawBar();
}

void CliSink::LineState(int line, int state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The first pass or fail state after the start is the job's own end; the update job sets
    // the fail state once more after finishing, and polling may add messages after that.
    if (line != m_line || !m_jobStarted || m_finished || (state != 2 && state != 3)) {
        return;
    }
    m_finished = true;
    m_passed = state == 2;
    m_resultText = m_lastMessage;
    ClearBar();
}

void CliSink::MessageBox(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearBar();
    std::fflush(m_out);
    std::fprintf(m_err, "%s\n", text.c_str());
    std::fflush(m_err);
    m_lastBox = text;
    if (m_jobStarted && !m_finished) {
        DrawBar();
    }
}

void CliSink::ProgramEndRequested() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_finished) {
        m_finished = true;
        m_passed = true;
        m_resultText = m_lastMessage;
    }
    m_endRequested = true;
    ClearBar();
}

void CliSink::JobStarted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobStarted = true;
    m_finished = false;
    m_passed = false;
    m_progress = 0;
}

bool CliSink::Passed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_passed;
}

bool CliSink::EndRequested() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endRequested;
}

std::string CliSink::ResultText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished ? m_resultText : m_lastMessage;
}

std::string CliSink::LastMessageBox() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastBox;
}

void CliSink::PrintLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearBar();
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

}  // namespace pellan::cli
