#pragma once

#include <array>
#include <span>

namespace pellan {

// The form's control ids that depend on the line, and the controls that are locked while any
// line runs. Kept as data so that front ends and tests read the same tables.

enum class VersionText { Integrate = 0, BoardInternal = 1, OuterBoard = 2 };

// The control of one of a line's three version texts; -1 for a line outside 0..7.
int VersionControlId(int line, VersionText which);

// The hide/restore button of a line's DIAG port.
int PortButtonId(int line);

// Disabled while any line runs (or the ports are released), enabled otherwise.
std::span<const int> ControlsLockedWhileRunning();

}  // namespace pellan
