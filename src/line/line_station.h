#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "diag/line_context.h"
#include "line/stick_binding.h"

namespace pellan {

class LineStation;

// A job kind's procedures. `check` runs on the calling thread before the line is marked running
// and may refuse with a message box (false); `run` runs on the line's job thread and ends the job
// through the line's reporter (or, for a successful update, the end of the program).
struct JobProcedures {
    std::function<bool(LineStation&, int line)> check;
    std::function<void(LineStation&, int line)> run;
};

// "update", "repair", "backup-nv", "restore-nv": the job kinds as the command line names them.
const char* JobKindKey(JobKind kind);

// The text and code of a line's last finished job (code -1 before the first).
struct JobEnd {
    std::string text;
    int code = -1;
};

// What the line jobs need of the station beyond one line's context: the display of the line's
// port and versions, its log, the stick bindings shared by the lines, the options of the form and
// the end of a job. The form view is the station.
class LineStation {
  public:
    virtual ~LineStation() = default;

    // The context of one line (0..7), valid as long as the station.
    virtual LineContext& Context(int line) = 0;

    virtual platform::Env& Env() = 0;
    virtual const std::filesystem::path& ProgramFolder() const = 0;
    virtual StickBindings& Bindings() = 0;
    // The version texts of the line's stick as the display shows them.
    virtual std::string FallbackVersion(int line) = 0;
    virtual void ShowLinePort(int line) = 0;
    virtual void ShowLineVersions(int line) = 0;
    // Replaces a line's whole log (the update job's header).
    virtual void ReplaceLineLog(int line, const std::string& log) = 0;
    virtual JobEnd LastJobEnd(int line) const = 0;
    virtual void MessageBox(const std::string& text) = 0;
    // The form's "check download mode" option: a stick that does not answer the download-mode
    // question ends the update.
    virtual bool CheckDownloadMode() const = 0;
    // Asks the front end to end the line's session (after a successful update).
    virtual void RequestLineEnd(int line) = 0;
    // The subsystems install their jobs (update, repair, NV backup, NV restore) here.
    virtual void SetJobProcedures(JobKind kind, JobProcedures procedures) = 0;
};

}  // namespace pellan
