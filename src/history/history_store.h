#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pellan::history {

// The station's record: one row per line job and one per NV backup, so that a stick can be found
// again by its IMEI (or ESN) long after its job. Times are UTC, "2026-12-07T01:49:10Z", which
// sorts as text.

struct JobRecord {
    int64_t id = 0;  // given by the store
    std::string startedAt;
    std::string endedAt;
    int line = 0;  // 1..8, as every text shows it
    std::string location;
    std::string port;  // "COM5"
    int jobKind = 0;   // 1 update, 2 repair, 3 NV backup, 4 NV restore
    std::string esn;   // eight hex digits; empty when the stick gave none
    std::string imei;  // fifteen digits; empty when none was read
    std::string versionBefore;
    std::string versionAfter;
    std::string firmwareDigest;  // MD5 of the firmware set, hex; empty for the NV jobs
    std::string resultText;
    int resultCode = 0;  // the job's end code (0..5); a successful update ends with 0
    bool passed = false;
    int64_t durationMs = 0;
    int64_t blocksRewritten = 0;
    int retries = 0;  // programming cycles after the first
};

struct BackupRecord {
    int64_t id = 0;
    std::string takenAt;
    int line = 0;
    std::string imei;  // from the backup's own IMEI item; empty when unread or zero
    std::string esn;
    std::string fileName;     // the line's NVM file
    std::string archiveName;  // its copy in the archive by stick
    int64_t size = 0;
    std::string digest;  // MD5 of the file, hex
};

struct JobQuery {
    std::string imei;   // empty: every stick
    std::string since;  // a UTC time or date prefix; empty: from the first job
};

// Current schema version (PRAGMA user_version of a SQLite store).
constexpr int kSchemaVersion = 1;

// A store. Each Add is one transaction; failures say why in `error` and change nothing.
class HistoryStore {
  public:
    virtual ~HistoryStore() = default;
    virtual bool AddJob(const JobRecord& job, std::string& error) = 0;
    virtual bool AddBackup(const BackupRecord& backup, std::string& error) = 0;
    // Newest first.
    virtual bool Jobs(const JobQuery& query, std::vector<JobRecord>& out, std::string& error) = 0;
    virtual bool Backups(const std::string& imei, std::vector<BackupRecord>& out,
                         std::string& error) = 0;
};

// Opens (creating it and its folder when missing) the SQLite store at `file` and brings its schema
// to kSchemaVersion. Nothing, with `error` set, when the file is not a database, is of a newer
// schema, or cannot be opened.
std::unique_ptr<HistoryStore> OpenSqliteStore(const std::filesystem::path& file,
                                              std::string& error);

// Connects to the PostgreSQL store at `address` (a libpq connection URI; what it leaves out comes
// from the PG* environment variables) and brings its schema to kSchemaVersion.
std::unique_ptr<HistoryStore> OpenPostgresStore(const std::string& address, std::string& error);

// "postgresql://..." or "postgres://...": a PostgreSQL address; anything else: a SQLite file.
bool IsPostgresAddress(const std::string& address);
std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& address, std::string& error);

// The current time as the store writes it.
std::string UtcNow();
// True for "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" and "YYYY-MM-DDTHH:MM:SS" (a space for the T too).
bool ValidSince(const std::string& since);

}  // namespace pellan::history
