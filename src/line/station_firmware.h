#pragma once

#include <string>

#include "diag/line_record.h"
#include "line/line_station.h"

// The firmware set as the station's lines use it: every line's record points at the one
// working folder, the checks before a job speak the station's language, and the set is deleted
// only when no other line still needs it.
namespace pellan {

// Points a line's firmware folder and its eight image paths at `folder`.
void SetLineFirmwarePaths(LineRecord& record, const std::string& folder);

// Makes the working folder, points every line at it and writes the eight images into it (see
// InstallFirmwareSet of the firmware set). False after the message box when the folder cannot be
// made.
bool InstallFirmwareSet(LineStation& station);

// The checks before a job of kind update (`requireStick`) or repair on `line`. False after a
// message box naming the first failure.
bool CheckLineFirmware(LineStation& station, int line, bool requireStick);

// Deletes the set now or, while another line still runs a job, once the last of them has ended
// (see DeleteFirmwareSet of the firmware set). True when the set was deleted now.
bool DeleteFirmwareSet(LineStation& station, int finishingLine = -1);
bool DeleteDeferredFirmwareSet(LineStation& station);

}  // namespace pellan
