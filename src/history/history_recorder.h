#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace pellan::history {

// The settings file of the history ("history.json" in the settings folder), kept apart from the
// line records' settings file, which has no field to spare:
//   {"sqlite": "/path/to/history.sqlite", "postgresql": "postgresql://host/db"}
// Both are optional; a PostgreSQL address wins over the SQLite file.
constexpr const char* kHistorySettingsName = "history.json";
constexpr const char* kDefaultStoreName = "history.sqlite";

struct HistorySettings {
    std::string sqlite;
    std::string postgresql;
};

// A missing file gives empty settings. False, with `error`, for a file that is not such JSON.
bool LoadHistorySettings(const std::filesystem::path& file, HistorySettings& out,
                         std::string& error);

// The store to use: `given` (the command line) first, then the settings, then `defaultFile`.
std::string ChooseHistoryAddress(const std::string& given, const HistorySettings& settings,
                                 const std::filesystem::path& defaultFile);

using Report = std::function<void(const std::string& text)>;
class HistoryRecorder;

// The store of a front end's run: `given` (the command line), else the settings file in
// `configFolder`, else "history.sqlite" in `nvFolder`, beside the NV backups. A bad settings file
// gives a recorder that reports it at the first job.
std::shared_ptr<HistoryRecorder> MakeStationHistory(const std::string& given,
                                                    const std::filesystem::path& configFolder,
                                                    const std::filesystem::path& nvFolder);

// The one store of a process, shared by its lines. The history must never stop a job: a store
// that cannot be opened or written is told to the user once, through the caller's `report`, and
// the job goes on without it.
class HistoryRecorder {
  public:
    // `problem`: why the history cannot be used at all (a bad settings file); reported once.
    explicit HistoryRecorder(std::string address, std::string problem = {});

    const std::string& Address() const { return m_address; }

    // Opens the store unless it is open; false when it cannot be.
    bool Ready(const Report& report);
    bool RecordJob(const JobRecord& job, const Report& report);
    bool RecordBackup(const BackupRecord& backup, const Report& report);

    // For the readers (history listing, archive restore): false with `error` when no store.
    bool Jobs(const JobQuery& query, std::vector<JobRecord>& out, std::string& error);
    bool Backups(const std::string& imei, std::vector<BackupRecord>& out, std::string& error);

  private:
    bool OpenLocked(std::string& error);
    void ReportLocked(const std::string& error, const Report& report);

    std::mutex m_mutex;
    const std::string m_address;
    const std::string m_problem;
    std::unique_ptr<HistoryStore> m_store;
    bool m_reported = false;
};

}  // namespace pellan::history
