#pragma once

#include <QString>

#include "diag/job_account.h"

// What the window shows of a line's job account, in the interface's language.
namespace pellan::gui {

// The phase line under a progress bar: "application image, cycle 1 · 8.1 of 18.9 MB ·
// 2.10 MB/s · 0:05 left", from the phase's last begin or progress event.
QString PhaseLineText(const JobEvent& phase);
// A line's last result: "Passed: <the result text>" or "Failed: <the result text>".
QString ResultLineText(const JobEvent& result);

}  // namespace pellan::gui
