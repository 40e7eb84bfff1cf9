#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace pellan::platform {

// A program that runs beside the updater for a while (a helper holding something on our behalf)
// and is asked to end when its work is done.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    // True until the program has ended.
    virtual bool Running() = 0;
    // Asks the program to end (SIGINT, as Ctrl+C would), waits up to `graceMs` on `clock` for it
    // and then ends it by force. Does nothing when it has already ended.
    virtual void Stop(Clock& clock, uint32_t graceMs) = 0;
};

// Starts `program` (a path) with exactly the arguments `args`, no shell in between, its standard
// input, output and error on the null device so that it never writes into our terminal output.
// Null when no process could be created.
std::unique_ptr<ChildProcess> StartChildProcess(const std::filesystem::path& program,
                                                const std::vector<std::string>& args);

// The executable file `name` in one of the folders of `searchPath` (the PATH format: folders
// separated by ':'; empty entries and relative folders are skipped, so the current folder never
// supplies a program). Empty when there is none.
std::filesystem::path FindProgram(const std::string& name, const std::string& searchPath);

// The PATH of this process ("/usr/sbin:/usr/bin:/sbin:/bin" when it is not set).
std::string ProgramSearchPath();

}  // namespace pellan::platform
