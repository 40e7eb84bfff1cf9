#pragma once

#include <array>
#include <string>

namespace pellan {

class LineStation;

// The update of one line's stick from start to end (job kind 1). Runs on the line's job thread.
// Every failure ends the job through FinishLineJob. After success the result is shown, the
// job waits until no other line is running a job and then asks the program to end
// (ViewSink::ProgramEndRequested). The line log is written to a file in the log folder either way.
void UpdateJob(LineStation& station, int line);

// Reopens the line's DIAG port and reads the stick's version set three times; the stick identity
// (LineController::stickIdentity) becomes the ninth text of the last reply, empty when it failed.
void ReadStickVersion(LineStation& station, int line);

// Reads the IMEI into the line's IMEI text; false when it cannot be read or is all zeros.
bool CheckImei(LineStation& station, int line);

// True when `identity` contains one of the markers. An empty marker counts only when both are
// empty, so a stick lacking the one marker that is set is refused.
bool IdentityAccepted(const std::string& identity, const std::array<std::string, 2>& markers);

// "Update success!  It costs %d minutes and %d seconds." (or the Chinese text with the line) for
// `elapsedMs` milliseconds, cut to whole seconds.
std::string UpdateSuccessText(bool english, int line, unsigned elapsedMs);

}  // namespace pellan
