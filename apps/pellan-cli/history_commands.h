#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "history/history_recorder.h"

namespace pellan {
class CPellanView;
}

namespace pellan::cli {

class CliSink;

// The options of the history: `history [--imei X] [--since DATE] [--json]`,
// `restore-nv --from-archive [--imei X]` and `--history ADDRESS` for every command.
struct HistoryOptions {
    std::string address;  // --history: a SQLite file or a postgresql:// address
    std::string imei;
    std::string since;
    bool json = false;
    bool fromArchive = false;
};

// Checks that the options fit `command`.
bool CheckHistoryOptions(const HistoryOptions& options, const std::string& command,
                         std::string& error);

// `history`: the jobs, newest first, as a table or as JSON. Exit status as the other commands.
int RunHistory(history::HistoryRecorder& recorder, const HistoryOptions& options, CliSink& sink);

// Before a `restore-nv --from-archive` job: chooses the newest usable archived backup of the
// IMEI (--imei, else what the stick on the line reports, its ESN when it has no IMEI) and makes it
// the line's NVM file. False, with `error`, when there is none.
bool ChooseArchivedBackup(CPellanView& view, int line, const HistoryOptions& options, CliSink& sink,
                          std::string& error);

}  // namespace pellan::cli
