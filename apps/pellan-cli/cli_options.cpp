#include "cli_options.h"

#include <set>

#include "cli11_usage.h"
#include "history/history_store.h"
#include "nv/nv_archive.h"

namespace pellan::cli {

namespace {

constexpr const char* kOptions = "options";
constexpr const char* kHistory = "history";

// "1,2,5" or "all" into `options`; each line once.
std::string TakeLineList(const std::string& text, CliOptions& options) {
    options.lines.clear();
    options.allLines = text == "all";
    if (options.allLines) {
        for (int line = 0; line < 8; ++line) {
            options.lines.push_back(line);
        }
        return {};
    }
    std::set<int> seen;
    for (const std::string& item : CLI::detail::split(text, ',')) {
        const bool number = item.size() == 1 && item[0] >= '1' && item[0] <= '8';
        if (!number || !seen.insert(item[0] - '1').second) {
            return "takes line numbers 1..8 separated by commas, each once, or all";
        }
    }
    options.lines.assign(seen.begin(), seen.end());
    return {};
}

void AddLineOptions(CLI::App& app, CliOptions& o, std::string& lineList, int& line) {
    app.add_option("--device-root", o.deviceRoot,
                   "use DIR for ports, registry and drives instead of the system")
        ->type_name("DIR")
        ->group(kOptions);
    app.add_option("--line", line, "line 1..8 (default 1); the same as --lines N")
        ->type_name("N")
        ->check(CLI::Range(1, 8).description(""))
        ->group(kOptions);
    app.add_option("--lines", lineList,
                   "lines 1..8 separated by commas, or all: each line runs the command on its own "
                   "stick, all at once")
        ->type_name("LIST")
        ->check(CLI::Validator(
            [](std::string& text) {
                CliOptions probe;
                return TakeLineList(text, probe);
            },
            ""))
        ->group(kOptions);
    app.add_option("--wait", o.waitSeconds, "a line that has found no stick after S seconds fails")
        ->type_name("S")
        ->check(CLI::Range(0, 86400).description(""))
        ->group(kOptions);
    app.add_flag("--other-imei", o.otherImei,
                 "restore-nv: write a file that holds another stick's IMEI")
        ->group(kOptions);
    app.add_flag("--fast", o.fast,
                 "shorten fixed waits of 100 ms or more to 1/100 (simulated sticks)")
        ->group(kOptions);
    app.add_flag("--paced-replies", o.pacedReplies,
                 "take replies by the paced polling rule, not at their end")
        ->group(kOptions);
    app.add_flag_callback(
           "--no-single-switch", [&o] { o.singleSwitch = false; },
           "let sticks restart at once instead of one at a time")
        ->group(kOptions);
    app.add_option("--nv-dir", o.nvDir, "folder of the NVM backup files")
        ->type_name("DIR")
        ->group(kOptions);
    app.add_option("--nv-mode", o.nvMode, "NV restore mode (default 2)")
        ->type_name("0..3")
        ->check(CLI::Range(0, 3).description(""))
        ->group(kOptions);
    app.add_option("--default-nv", o.defaultNv, "default NV file (NV mode 3)")
        ->type_name("FILE")
        ->group(kOptions);
    app.add_option_function<std::string>(
           "--lang", [&o](const std::string& lang) { o.language = lang == "en" ? 1 : 0; },
           "language of the messages (default en)")
        ->type_name("en|zh")
        ->check(CLI::IsMember({"en", "zh"}).description(""))
        ->group(kOptions);
    app.add_option("--firmware-dir", o.firmwareDir,
                   "take the eight images from DIR instead of the embedded set")
        ->type_name("DIR")
        ->group(kOptions);
}

void AddHistoryOptions(CLI::App& app, HistoryOptions& h) {
    app.add_option("--imei", h.imei, "only the stick X (history); the archive of X (restore-nv)")
        ->type_name("X")
        ->check(CLI::Validator(
            [](std::string& imei) {
                return ValidImeiText(imei) ? std::string() : "takes fifteen digits";
            },
            ""))
        ->group(kHistory);
    app.add_option("--since", h.since, "jobs started from DATE on, YYYY-MM-DD[THH:MM[:SS]] in UTC")
        ->type_name("DATE")
        ->check(CLI::Validator(
            [](std::string& since) {
                return history::ValidSince(since)
                           ? std::string()
                           : "takes YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS] (UTC)";
            },
            ""))
        ->group(kHistory);
    app.add_flag("--json", h.json,
                 "the jobs as a JSON array; with the job commands, one JSON object per event on "
                 "standard output (docs/cli-events.md)")
        ->group(kHistory);
    app.add_flag("--from-archive", h.fromArchive,
                 "restore-nv: the newest archived backup of the stick")
        ->group(kHistory);
    app.add_option("--history", h.address, "the history store: a SQLite file or postgresql://...")
        ->type_name("ADDRESS")
        ->group(kHistory);
}

}  // namespace

std::optional<CliOptions> ParseCliOptions(int argc, const char* const argv[], int& status) {
    CLI::App app("", "pellan-cli");
    app.formatter(ProjectHelpFormat());
    app.set_help_flag("-h,--help", "print this help and exit")->group(kOptions);
    app.set_version_flag("--version", PELLAN_VERSION, "print the version and exit")
        ->group(kOptions);
    CliOptions options;
    std::string lineList;
    int line = 0;
    AddLineOptions(app, options, lineList, line);
    AddHistoryOptions(app, options.history);
    const std::pair<const char*, const char*> commands[] = {
        {"ports", "find the stick's DIAG and AT ports"},
        {"info", "find the stick and show its versions"},
        {"update", "update the stick of the line with the firmware set"},
        {"backup-nv", "back up the stick's NV items into the line's NVM file"},
        {"restore-nv", "write the NV items back (by --nv-mode)"},
        {"history", "the recorded jobs, newest first"},
    };
    for (const auto& [name, help] : commands) {
        // Options of the program may follow the command.
        app.add_subcommand(name, help)->group("commands")->fallthrough();
    }
    app.require_subcommand(1, 1);

    status = ParseOrStatus(app, argc, argv);
    if (status >= 0) {
        return std::nullopt;
    }
    options.command = app.get_subcommands().front()->get_name();
    if (!lineList.empty()) {
        TakeLineList(lineList, options);
    } else {
        options.lines = {line > 0 ? line - 1 : 0};
    }
    options.line = options.lines.front();
    if (options.history.since.size() > 10) {
        options.history.since[10] = 'T';
    }
    std::string error;
    if (!CheckHistoryOptions(options.history, options.command, error)) {
        status = UsageError(app, error);
        return std::nullopt;
    }
    return options;
}

}  // namespace pellan::cli
