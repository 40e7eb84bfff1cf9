#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "ui/view_sink.h"

namespace pellan::cli {

// What pellan-cli shows of the view: every line-log entry as it is appended, a progress bar on a
// terminal, message boxes on standard error (answered OK at once). It also keeps what the end of
// a job needs: the final text and whether the job passed.
class CliSink final : public ViewSink {
  public:
    CliSink(int line, bool progressBar, std::FILE* out = stdout, std::FILE* err = stderr);

    void LineLogAppended(int line, const std::string& entry) override;
    void LineLogReplaced(int line, const std::string& log) override;
    void ControlText(int controlId, const std::string& text) override;
    void ControlProgress(int controlId, int position) override;
    void LineState(int line, int state) override;
    void MessageBox(const std::string& text) override;
    void ProgramEndRequested() override;

    // Marks the start of the job whose outcome is wanted.
    void JobStarted();
    // True once the job passed: state 2, or the end of the program after a successful update.
    bool Passed() const;
    bool EndRequested() const;
    // The job's final text: the text it finished with, or the success text.
    std::string ResultText() const;
    std::string LastMessageBox() const;
    // Prints a line on standard output, taking the progress bar away first.
    void PrintLine(const std::string& text);

  private:
    void ClearBar();
    void DrawBar();

    const int m_line;
    const bool m_progressBar;
    std::FILE* m_out;
    std::FILE* m_err;
    mutable std::mutex m_mutex;
    bool m_barShown = false;
    int m_progress = 0;
    bool m_jobStarted = false;
    bool m_finished = false;
    bool m_passed = false;
    bool m_endRequested = false;
    std::string m_lastMessage;
    std::string m_resultText;
    std::string m_lastBox;
};

}  // namespace pellan::cli
