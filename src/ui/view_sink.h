#pragma once

#include <string>

#include "diag/job_account.h"

namespace pellan {

// Control ids of the form that the line logic talks about (the rest are data in
// EnableLineControls).
namespace ctl {
constexpr int kPortInformation = 1219;
constexpr int kCurrentVersion = 1220;
constexpr int kStatusLine = 1221;
constexpr int kDiagPortText = 1000;  // + line
constexpr int kStartButton = 1008;   // + line; line 0's is UPDATE
constexpr int kStopButton = 1016;    // + line
constexpr int kProgressBar = 1024;   // + line
constexpr int kMessageText = 1032;   // + line
constexpr int kProgressText = 1101;  // + line
constexpr int kStatePicture = 1123;  // + line
constexpr int kStartAll = 1099;
constexpr int kStopAll = 1100;
}  // namespace ctl

// What a front end implements to show the view's state. Calls arrive from job and polling threads
// as well as the window thread, so an implementation must be thread-safe (a GUI queues them to
// its own thread). Every method has an empty default so a front end overrides what it shows.
class ViewSink {
  public:
    virtual ~ViewSink() = default;
    // One entry appended to a line's log: the stamp (when stamped) and the text, without the
    // line end that the log itself stores after it.
    virtual void LineLogAppended(int /*line*/, const std::string& /*entry*/) {}
    // A line's whole log was replaced (the update job writes its header this way).
    virtual void LineLogReplaced(int /*line*/, const std::string& /*log*/) {}
    // An entry of a line's job account (see JobAccount), in the order the job made them.
    virtual void JobEventReported(int /*line*/, const JobEvent& /*event*/) {}
    // The text of a control changed (message texts, status line, port and version fields,
    // progress texts "%d/100").
    virtual void ControlText(int /*controlId*/, const std::string& /*text*/) {}
    // A progress bar's position (0..100).
    virtual void ControlProgress(int /*controlId*/, int /*position*/) {}
    // A progress bar's range was set (always 0..100); the position follows separately.
    virtual void ControlProgressRange(int /*controlId*/, int /*low*/, int /*high*/) {}
    virtual void ControlEnabled(int /*controlId*/, bool /*enabled*/) {}
    // A line's state picture: 0 ready, 1 running, 2 pass, 3 fail.
    virtual void LineState(int /*line*/, int /*state*/) {}
    // A modal message box with an OK button; blocks only the calling thread until answered.
    virtual void MessageBox(const std::string& /*text*/) {}
    // The same box shown for one line's job or polling (front ends that show several lines at
    // once name the line); by default the plain box.
    virtual void LineMessageBox(int /*line*/, const std::string& text) { MessageBox(text); }
    // A question the user must answer with yes; front ends that cannot ask (or answer boxes
    // themselves) say no.
    virtual bool Confirm(const std::string& /*question*/) { return false; }
    // The update job succeeded and asks the program to end (after the success box was answered).
    virtual void ProgramEndRequested() {}
    // The same, naming the line whose update succeeded; by default the plain request.
    virtual void LineEndRequested(int /*line*/) { ProgramEndRequested(); }
};

}  // namespace pellan
