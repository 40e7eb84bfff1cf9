#include "history_commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli_sink.h"
#include "nv/nv_archive.h"
#include "ui/pellan_doc.h"
#include "ui/pellan_view.h"

namespace pellan::cli {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kBaud = 115200;

const char* KindName(int kind) {
    return kind >= JOB_UPDATE && kind <= JOB_NV_RESTORE ? JobKindKey(static_cast<JobKind>(kind))
                                                        : "?";
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

nlohmann::json JobJson(const history::JobRecord& j) {
    return {{"id", j.id},
            {"startedAt", j.startedAt},
            {"endedAt", j.endedAt},
            {"line", j.line},
            {"location", j.location},
            {"port", j.port},
            {"jobKind", j.jobKind},
            {"job", KindName(j.jobKind)},
            {"esn", j.esn},
            {"imei", j.imei},
            {"versionBefore", j.versionBefore},
            {"versionAfter", j.versionAfter},
            {"firmwareDigest", j.firmwareDigest},
            {"resultText", j.resultText},
            {"resultCode", j.resultCode},
            {"passed", j.passed},
            {"durationMs", j.durationMs},
            {"blocksRewritten", j.blocksRewritten},
            {"retries", j.retries}};
}

}  // namespace

bool CheckHistoryOptions(const HistoryOptions& options, const std::string& command,
                         std::string& error) {
    if (!options.since.empty() && command != "history") {
        error = "--since belongs to the history command";
        return false;
    }
    if (options.fromArchive && command != "restore-nv") {
        error = "--from-archive belongs to restore-nv";
        return false;
    }
    if (!options.imei.empty() && command != "history" && !options.fromArchive) {
        error = "--imei belongs to history and restore-nv --from-archive";
        return false;
    }
    return true;
}

int RunHistory(history::HistoryRecorder& recorder, const HistoryOptions& options, CliSink& sink) {
    std::vector<history::JobRecord> jobs;
    std::string error;
    if (!recorder.Jobs({options.imei, options.since}, jobs, error)) {
        sink.PrintLine(-1, "History store " + recorder.Address() + " cannot be used: " + error);
        return kExitFailed;
    }
    if (options.json) {
        nlohmann::json array = nlohmann::json::array();
        for (const history::JobRecord& job : jobs) {
            array.push_back(JobJson(job));
        }
        std::printf("%s\n", array.dump(2).c_str());
        return kExitSuccess;
    }
    std::printf("%-20s  %-4s  %-10s  %-15s  %-8s  %-6s  %-4s  %-5s  %-9s  %s\n", "STARTED (UTC)",
                "LINE", "JOB", "IMEI", "ESN", "RESULT", "SECS", "TRIES", "REWRITTEN", "TEXT");
    for (const history::JobRecord& j : jobs) {
        const std::string result =
            std::string(j.passed ? "pass " : "fail ") + std::to_string(j.resultCode);
        std::printf("%-20s  %-4d  %-10s  %-15s  %-8s  %-6s  %-4lld  %-5d  %-9lld  %s\n",
                    j.startedAt.c_str(), j.line, KindName(j.jobKind), OrDash(j.imei).c_str(),
                    OrDash(j.esn).c_str(), result.c_str(),
                    static_cast<long long>(j.durationMs / 1000), j.retries + 1,
                    static_cast<long long>(j.blocksRewritten), j.resultText.c_str());
    }
    std::printf("%zu job%s\n", jobs.size(), jobs.size() == 1 ? "" : "s");
    return kExitSuccess;
}

bool ChooseArchivedBackup(CPellanView& view, int line, const HistoryOptions& options, CliSink& sink,
                          std::string& error) {
    CPellanDoc& doc = view.Doc();
    if (doc.m_nvMode.load() == NV_MODE_DEFAULT_FILE) {
        error = "--from-archive restores an archived backup, not the default NV file (--nv-mode 3)";
        return false;
    }
    std::string folder = options.imei;
    if (folder.empty()) {
        // The stick names itself; one whose NV was wiped has no IMEI and is known by its ESN.
        if (!doc.DiscoverPorts(line)) {
            error = "No stick found.";
            return false;
        }
        doc.ReopenDiagPort(line, doc.LineDiagPort(line), kBaud);
        uint8_t digits[15] = {};
        std::string imei;
        if (doc.Link(line).ReadImei(digits)) {
            for (uint8_t d : digits) {
                imei += static_cast<char>('0' + d);
            }
        }
        uint32_t esn = 0;
        if (ValidImeiText(imei) && imei != std::string(15, '0')) {
            folder = imei;
        } else if (doc.Link(line).ReadEsn(esn)) {
            char text[16];
            std::snprintf(text, sizeof text, "ESN-%08X", static_cast<unsigned>(esn));
            folder = text;
        } else {
            error = "The stick reports neither an IMEI nor an ESN; give --imei.";
            return false;
        }
    }
    const std::filesystem::path root =
        std::filesystem::path(GetField(doc.Record(line).nvFolder)) / kNvArchiveFolder;
    const std::vector<std::filesystem::path> usable = UsableArchivedBackups(root, folder);
    if (usable.empty()) {
        error = "No archived NV backup with an IMEI for " + folder + " in " + root.string();
        return false;
    }
    const std::string path = usable.front().string();
    LineRecord& record = doc.Record(line);
    if (path.size() >= record.nvmFilePath.size()) {
        error = "The archived backup's path is too long: " + path;
        return false;
    }
    SetField(record.nvmFilePath, path);
    sink.PrintLine(line, "Restoring the archived NV backup " + path);
    return true;
}

}  // namespace pellan::cli
