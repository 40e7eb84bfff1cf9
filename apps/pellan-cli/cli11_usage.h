#pragma once

// How the command-line programs present CLI11's help and its errors: a lower-case "usage:" line
// that scripts look for, commands listed under "commands:", and every usage error ending the
// program with status 2 whatever CLI11's own code for it is.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

namespace pellan::cli {

inline constexpr int kUsageErrorStatus = 2;

inline std::shared_ptr<CLI::Formatter> ProjectHelpFormat() {
    auto format = std::make_shared<CLI::Formatter>();
    format->label("Usage", "usage");
    format->label("OPTIONS", "options");
    format->label("SUBCOMMAND", "<command>");
    format->column_width(28);
    return format;
}

// A usage error: the problem, the usage line and where to find more, on standard error.
inline int UsageError(const CLI::App& app, const std::string& problem) {
    std::fprintf(stderr, "%s: %s\n%sRun with --help for more information.\n",
                 app.get_name().c_str(), problem.c_str(),
                 ProjectHelpFormat()->make_usage(&app, app.get_name()).c_str());
    return kUsageErrorStatus;
}

// Parses argv. Returns -1 when the program goes on; otherwise the status to end with at once:
// 0 after --help or --version (printed on standard output), 2 after a usage error (the problem
// and the usage line on standard error).
inline int ParseOrStatus(CLI::App& app, int argc, const char* const argv[]) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e);
        }
        return UsageError(app, e.what());
    }
    return -1;
}

}  // namespace pellan::cli
