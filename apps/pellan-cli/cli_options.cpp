#include "cli_options.h"

#include <charconv>
#include <set>

namespace pellan::cli {

namespace {

std::optional<int> ParseInt(const std::string& text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// "3", "1,2,5" or (for --lines) "all". Each line once.
bool ParseLineList(const std::string& text, bool list, CliOptions& options, std::string& error) {
    options.lines.clear();
    options.allLines = list && text == "all";
    if (options.allLines) {
        for (int line = 0; line < 8; ++line) {
            options.lines.push_back(line);
        }
        options.line = 0;
        return true;
    }
    const char* name = list ? "--lines" : "--line";
    std::set<int> seen;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma - start);
        const std::optional<int> line = ParseInt(item, 1, 8);
        if (!line || !seen.insert(*line - 1).second || (!list && comma != std::string::npos)) {
            error = std::string(name) +
                    (list ? " takes line numbers 1..8 separated by commas, each once, or all"
                          : " takes 1..8") +
                    ", not \"" + text + "\"";
            return false;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    options.lines.assign(seen.begin(), seen.end());
    options.line = options.lines.front();
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: pellan-cli [options] <command>\n"
           "commands:\n"
           "  ports        find the stick's DIAG and AT ports\n"
           "  info         find the stick and show its versions\n"
           "  update       update the stick of the line with the firmware set\n"
           "  backup-nv    back up the stick's NV items into the line's NVM file\n"
           "  restore-nv   write the NV items back (by --nv-mode)\n"
           "options:\n"
           "  --device-root DIR   use DIR for ports, registry and drives instead of the system\n"
           "  --line N            line 1..8 (default 1); the same as --lines N\n"
           "  --lines LIST        lines 1..8 separated by commas, or all: each line runs the\n"
           "                      command on its own stick, all at once\n"
           "  --wait S            a line that has found no stick after S seconds fails\n"
           "  --other-imei        restore-nv: write a file that holds another stick's IMEI\n"
           "  --fast              shorten fixed waits of 100 ms or more to 1/100 (simulated "
           "sticks)\n"
           "  --paced-replies     take replies by the paced polling rule, not at their end\n"
           "  --no-single-switch  let sticks restart at once instead of one at a time\n"
           "  --nv-dir DIR        folder of the NVM backup files\n"
           "  --nv-mode 0..3      NV restore mode (default 2)\n"
           "  --default-nv FILE   default NV file (NV mode 3)\n"
           "  --lang en|zh        language of the messages (default en)\n"
           "  --firmware-dir DIR  take the eight images from DIR instead of the embedded set\n";
}

std::optional<CliOptions> ParseCliOptions(int argc, const char* const argv[], std::string& error) {
    static const std::set<std::string> kCommands = {"ports",     "info",       "update",
                                                    "backup-nv", "restore-nv", "history"};
    CliOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--paced-replies") {
            options.pacedReplies = true;
        } else if (arg == "--no-single-switch") {
            options.singleSwitch = false;
        } else if (arg == "--device-root") {
            if (!value(options.deviceRoot)) {
                return std::nullopt;
            }
        } else if (arg == "--nv-dir") {
            if (!value(options.nvDir)) {
                return std::nullopt;
            }
        } else if (arg == "--default-nv") {
            if (!value(options.defaultNv)) {
                return std::nullopt;
            }
        } else if (arg == "--firmware-dir") {
            if (!value(options.firmwareDir)) {
                return std::nullopt;
            }
        } else if (arg == "--other-imei") {
            options.otherImei = true;
        } else if (arg == "--line" || arg == "--lines") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (!ParseLineList(text, arg == "--lines", options, error)) {
                return std::nullopt;
            }
        } else if (arg == "--wait") {
            if (!value(text)) {
                return std::nullopt;
            }
            options.waitSeconds = ParseInt(text, 0, 86400);
            if (!options.waitSeconds) {
                error = "--wait takes seconds 0..86400, not \"" + text + "\"";
                return std::nullopt;
            }
        } else if (arg == "--nv-mode") {
            if (!value(text)) {
                return std::nullopt;
            }
            options.nvMode = ParseInt(text, 0, 3);
            if (!options.nvMode) {
                error = "--nv-mode takes 0..3, not \"" + text + "\"";
                return std::nullopt;
            }
        } else if (arg == "--lang") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (text != "en" && text != "zh") {
                error = "--lang takes en or zh, not \"" + text + "\"";
                return std::nullopt;
            }
            options.language = text == "en" ? 1 : 0;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return std::nullopt;
        } else if (options.command.empty() && kCommands.count(arg) != 0) {
            options.command = arg;
        } else {
            error = options.command.empty() ? "unknown command " + arg : "unexpected " + arg;
            return std::nullopt;
        }
    }
    if (options.command.empty()) {
        error = "no command given";
        return std::nullopt;
    }
    if (options.lines.empty()) {
        options.lines.push_back(options.line);
    }
    return options;
}

}  // namespace pellan::cli
