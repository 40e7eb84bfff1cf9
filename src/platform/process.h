#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pellan::platform {

// Starts `program` with exactly the arguments `args` (no shell parses them, so text from the
// registry or a file name can never become a command) in the working folder `workDir` (empty:
// the current folder) and waits without a time limit until it has ended. False when no process
// could be created; how the program ended is not examined (a program that cannot be executed
// ends at once with status 127), as nothing it does is a result we act on.
bool RunAndWait(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& workDir);

// Runs one of the connection manager's batch files the way this platform runs them and waits for
// it to end: "/bin/sh <file>" with `folder` as the working folder on POSIX, "cmd /c call <file>"
// on Windows. False when nothing could be started.
bool RunBatchFile(const std::filesystem::path& folder, const std::string& fileName);

}  // namespace pellan::platform
