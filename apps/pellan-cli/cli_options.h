#pragma once

#include <optional>
#include <string>

namespace pellan::cli {

struct CliOptions {
    std::string command;  // ports, info, update, backup-nv, restore-nv, history
    std::string deviceRoot;
    int line = 0;  // 0..7 (given as 1..8)
    bool fast = false;
    std::string nvDir;
    std::optional<int> nvMode;
    std::string defaultNv;
    std::optional<int> language;  // 1 English, 0 Chinese
    std::string firmwareDir;
};

// Parses the command line (options may come before or after the command). On a usage error
// returns nothing and sets `error`.
std::optional<CliOptions> ParseCliOptions(int argc, const char* const argv[], std::string& error);

const char* UsageText();

}  // namespace pellan::cli
