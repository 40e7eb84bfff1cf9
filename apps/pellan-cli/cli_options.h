#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history_commands.h"

namespace pellan::cli {

struct CliOptions {
    std::string command;  // ports, info, update, backup-nv, restore-nv, history
    std::string deviceRoot;
    int line = 0;            // the first listed line, 0..7 (given as 1..8)
    std::vector<int> lines;  // every listed line, ascending, 0..7; {line} unless --lines
    bool allLines = false;   // --lines all: the lines that hold a stick once discovery settled
    std::optional<int> waitSeconds;  // --wait S: a line without a stick after S s fails
    bool otherImei = false;          // restore-nv may write a file of another IMEI
    bool fast = false;
    bool pacedReplies = false;
    bool singleSwitch = true;  // the form's Single Switch option
    std::string nvDir;
    std::optional<int> nvMode;
    std::string defaultNv;
    std::optional<int> language;  // 1 English, 0 Chinese
    std::string firmwareDir;
    HistoryOptions history;
};

// Parses the command line; options may come before or after the command. Returns nothing when
// the program is to end at once with `status`: 0 after --help or --version, 2 after a usage error
// (its message and the usage line are printed on standard error).
std::optional<CliOptions> ParseCliOptions(int argc, const char* const argv[], int& status);

}  // namespace pellan::cli
