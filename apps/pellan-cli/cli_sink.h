#pragma once

#include <array>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "diag/line_record.h"
#include "ui/view_sink.h"

namespace pellan::cli {

// What pellan-cli shows of the view: every line-log entry of the listed lines as it is appended,
// progress on a terminal (a bar, or one row per line), message boxes on standard error (answered
// OK at once). With more than one listed line every printed line carries the prefix "Line N: ".
// It also keeps what the end of each line's job needs: the final text and whether it passed.
//
// Beside the status lines it shows the job's account: on a terminal the phase, its counts, rate
// and time left in the progress row; otherwise one line on standard error when a phase begins and
// one when it ends. With `json`, standard output carries one JSON object per event instead
// (docs/cli-events.md), status lines, final texts and summary included.
class CliSink final : public ViewSink {
  public:
    CliSink(std::vector<int> lines, bool progressBar, bool json = false, std::FILE* out = stdout,
            std::FILE* err = stderr);

    void LineLogAppended(int line, const std::string& entry) override;
    void LineLogReplaced(int line, const std::string& log) override;
    void ControlText(int controlId, const std::string& text) override;
    void ControlProgress(int controlId, int position) override;
    void LineState(int line, int state) override;
    void MessageBox(const std::string& text) override;
    void LineMessageBox(int line, const std::string& text) override;
    void ProgramEndRequested() override;
    void LineEndRequested(int line) override;
    void JobEventReported(int line, const JobEvent& event) override;

    // Marks the start of the line's job whose outcome is wanted.
    void JobStarted(int line);
    // True once the line's job passed: state 2, or the end after a successful update.
    bool Passed(int line) const;
    bool EndRequested() const;
    // The line's final text: the text its job finished with, or the success text.
    std::string ResultText(int line) const;
    std::string LastMessageBox(int line) const;
    // Prints a line of `line` (-1: of none) on standard output, prefixed with several lines,
    // taking the progress display away first.
    void PrintLine(int line, const std::string& text);
    // The line's final text (-1: the command's), and with several lines the summary line; as
    // PrintLine, but JSON output marks them as such and carries whether they passed.
    void PrintFinal(int line, const std::string& text, bool passed);
    void PrintSummary(int line, const std::string& text, bool passed);
    bool Several() const { return m_several; }

  private:
    struct LineOutcome {
        bool listed = false;
        bool jobStarted = false;
        bool finished = false;
        bool passed = false;
        int progress = 0;
        std::string lastMessage;
        std::string resultText;
        std::string lastBox;
        JobEvent phase;  // the last phase event (begin, progress or end) of the line's job
        bool inPhase = false;
    };

    bool Listed(int line) const;
    std::string Prefix(int line) const;
    void PrintLocked(int line, const std::string& text);
    void ClearBar();
    void DrawBar();
    void Finish(LineOutcome& state, bool passed);
    std::string Row(int line, const LineOutcome& state) const;
    void PrintJson(int line, const char* event, const std::string& text, bool passed);

    std::vector<int> m_lines;
    const bool m_several;
    const bool m_progressBar;
    const bool m_json;
    std::FILE* m_out;
    std::FILE* m_err;
    mutable std::mutex m_mutex;
    int m_barRows = 0;  // rows of the progress display on the terminal; -1: the single bar
    bool m_endRequested = false;
    std::array<LineOutcome, kLineCount> m_state{};
};

}  // namespace pellan::cli
