#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <system_error>

#include "history/history_store.h"

namespace pellan::history {
namespace {

// Several lines of one station, and several processes, write at once: a writer that finds the
// file locked waits this long before its job's row is given up.
constexpr int kBusyTimeoutMs = 5000;

// Each step brings the schema from its index to the next version, inside one transaction.
const char* const kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE jobs ("
    " id INTEGER PRIMARY KEY, started_at TEXT NOT NULL, ended_at TEXT NOT NULL,"
    " line INTEGER NOT NULL, location TEXT NOT NULL, port TEXT NOT NULL,"
    " job_kind INTEGER NOT NULL, esn TEXT NOT NULL, imei TEXT NOT NULL,"
    " version_before TEXT NOT NULL, version_after TEXT NOT NULL,"
    " firmware_digest TEXT NOT NULL, result_text TEXT NOT NULL, result_code INTEGER NOT NULL,"
    " passed INTEGER NOT NULL, duration_ms INTEGER NOT NULL,"
    " blocks_rewritten INTEGER NOT NULL, retries INTEGER NOT NULL);"
    "CREATE INDEX jobs_by_imei ON jobs (imei, started_at);"
    "CREATE TABLE nv_backups ("
    " id INTEGER PRIMARY KEY, taken_at TEXT NOT NULL, line INTEGER NOT NULL,"
    " imei TEXT NOT NULL, esn TEXT NOT NULL, file_name TEXT NOT NULL,"
    " archive_name TEXT NOT NULL, size INTEGER NOT NULL, digest TEXT NOT NULL);"
    "CREATE INDEX nv_backups_by_imei ON nv_backups (imei, taken_at);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        m_ok = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) == SQLITE_OK;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_ok; }
    void Bind(int at, const std::string& text) {
        sqlite3_bind_text(m_stmt, at, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Bind(int at, int64_t value) { sqlite3_bind_int64(m_stmt, at, value); }
    int Step() { return sqlite3_step(m_stmt); }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
    }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    bool m_ok = false;
};

class SqliteStore final : public HistoryStore {
  public:
    explicit SqliteStore(sqlite3* db) : m_db(db) {}
    ~SqliteStore() override { sqlite3_close(m_db); }

    bool Open(std::string& error);

    bool AddJob(const JobRecord& job, std::string& error) override {
        return InTransaction(error, [&] {
            Statement s(m_db,
                        "INSERT INTO jobs (started_at, ended_at, line, location, port, job_kind,"
                        " esn, imei, version_before, version_after, firmware_digest, result_text,"
                        " result_code, passed, duration_ms, blocks_rewritten, retries)"
                        " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
            if (!s.Ok()) {
                return false;
            }
            int n = 0;
            s.Bind(++n, job.startedAt);
            s.Bind(++n, job.endedAt);
            s.Bind(++n, int64_t{job.line});
            s.Bind(++n, job.location);
            s.Bind(++n, job.port);
            s.Bind(++n, int64_t{job.jobKind});
            s.Bind(++n, job.esn);
            s.Bind(++n, job.imei);
            s.Bind(++n, job.versionBefore);
            s.Bind(++n, job.versionAfter);
            s.Bind(++n, job.firmwareDigest);
            s.Bind(++n, job.resultText);
            s.Bind(++n, int64_t{job.resultCode});
            s.Bind(++n, int64_t{job.passed ? 1 : 0});
            s.Bind(++n, job.durationMs);
            s.Bind(++n, job.blocksRewritten);
            s.Bind(++n, int64_t{job.retries});
            return s.Step() == SQLITE_DONE;
        });
    }

    bool AddBackup(const BackupRecord& b, std::string& error) override {
        return InTransaction(error, [&] {
            Statement s(m_db,
                        "INSERT INTO nv_backups (taken_at, line, imei, esn, file_name,"
                        " archive_name, size, digest) VALUES (?,?,?,?,?,?,?,?)");
            if (!s.Ok()) {
                return false;
            }
            s.Bind(1, b.takenAt);
            s.Bind(2, int64_t{b.line});
            s.Bind(3, b.imei);
            s.Bind(4, b.esn);
            s.Bind(5, b.fileName);
            s.Bind(6, b.archiveName);
            s.Bind(7, b.size);
            s.Bind(8, b.digest);
            return s.Step() == SQLITE_DONE;
        });
    }

    bool Jobs(const JobQuery& query, std::vector<JobRecord>& out, std::string& error) override {
        out.clear();
        Statement s(m_db,
                    "SELECT id, started_at, ended_at, line, location, port, job_kind, esn, imei,"
                    " version_before, version_after, firmware_digest, result_text, result_code,"
                    " passed, duration_ms, blocks_rewritten, retries FROM jobs"
                    " WHERE (?1 = '' OR imei = ?1) AND (?2 = '' OR started_at >= ?2)"
                    " ORDER BY started_at DESC, id DESC");
        if (!s.Ok()) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        s.Bind(1, query.imei);
        s.Bind(2, query.since);
        int rc = SQLITE_ROW;
        while ((rc = s.Step()) == SQLITE_ROW) {
            JobRecord j;
            int c = 0;
            j.id = s.Int(c++);
            j.startedAt = s.Text(c++);
            j.endedAt = s.Text(c++);
            j.line = static_cast<int>(s.Int(c++));
            j.location = s.Text(c++);
            j.port = s.Text(c++);
            j.jobKind = static_cast<int>(s.Int(c++));
            j.esn = s.Text(c++);
            j.imei = s.Text(c++);
            j.versionBefore = s.Text(c++);
            j.versionAfter = s.Text(c++);
            j.firmwareDigest = s.Text(c++);
            j.resultText = s.Text(c++);
            j.resultCode = static_cast<int>(s.Int(c++));
            j.passed = s.Int(c++) != 0;
            j.durationMs = s.Int(c++);
            j.blocksRewritten = s.Int(c++);
            j.retries = static_cast<int>(s.Int(c++));
            out.push_back(std::move(j));
        }
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        return true;
    }

    bool Backups(const std::string& imei, std::vector<BackupRecord>& out,
                 std::string& error) override {
        out.clear();
        Statement s(m_db,
                    "SELECT id, taken_at, line, imei, esn, file_name, archive_name, size, digest"
                    " FROM nv_backups WHERE (?1 = '' OR imei = ?1)"
                    " ORDER BY taken_at DESC, id DESC");
        if (!s.Ok()) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        s.Bind(1, imei);
        int rc = SQLITE_ROW;
        while ((rc = s.Step()) == SQLITE_ROW) {
            BackupRecord b;
            b.id = s.Int(0);
            b.takenAt = s.Text(1);
            b.line = static_cast<int>(s.Int(2));
            b.imei = s.Text(3);
            b.esn = s.Text(4);
            b.fileName = s.Text(5);
            b.archiveName = s.Text(6);
            b.size = s.Int(7);
            b.digest = s.Text(8);
            out.push_back(std::move(b));
        }
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        return true;
    }

  private:
    bool Exec(const char* sql) {
        return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // BEGIN IMMEDIATE takes the write lock first, so a busy store makes the writer wait (up to
    // the busy time-out) instead of failing half way.
    bool InTransaction(std::string& error, const std::function<bool()>& body) {
        if (!Exec("BEGIN IMMEDIATE")) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        if (!body() || !Exec("COMMIT")) {
            error = sqlite3_errmsg(m_db);
            Exec("ROLLBACK");
            return false;
        }
        return true;
    }

    sqlite3* m_db;
};

bool SqliteStore::Open(std::string& error) {
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // The first statement reads the file's header: here a file that is no database shows.
    int version = 0;
    {
        Statement s(m_db, "PRAGMA user_version");
        if (!s.Ok() || s.Step() != SQLITE_ROW) {
            error = sqlite3_errmsg(m_db);
            return false;
        }
        version = static_cast<int>(s.Int(0));
    }
    if (version > kSchemaVersion) {
        error = "its schema version " + std::to_string(version) + " is newer than this program's " +
                std::to_string(kSchemaVersion);
        return false;
    }
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL")) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    for (int from = version; from < kSchemaVersion; ++from) {
        const std::string bump = "PRAGMA user_version=" + std::to_string(from + 1);
        const bool migrated = InTransaction(error, [&] {
            // Another process may have migrated meanwhile; the write lock is ours now.
            Statement s(m_db, "PRAGMA user_version");
            if (s.Ok() && s.Step() == SQLITE_ROW && s.Int(0) > from) {
                return true;
            }
            return Exec(kMigrations[from]) && Exec(bump.c_str());
        });
        if (!migrated) {
            return false;
        }
    }
    // A store whose tables were lost or damaged is found now, not at the end of the next job.
    Statement check(m_db, "SELECT count(*) FROM jobs, nv_backups WHERE 0");
    if (!check.Ok() || check.Step() != SQLITE_ROW) {
        error = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<HistoryStore> OpenSqliteStore(const std::filesystem::path& file,
                                              std::string& error) {
    std::error_code ec;
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), ec);
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(
        file.string().c_str(), &db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    auto store = std::make_unique<SqliteStore>(db);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        return nullptr;
    }
    if (!store->Open(error)) {
        return nullptr;
    }
    return store;
}

}  // namespace pellan::history
