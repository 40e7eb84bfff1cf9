#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace pellan::history {
namespace {

// The same two tables as the SQLite store. Migrations run under a transaction-wide advisory lock,
// so stations that start together migrate once.
const char* const kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE jobs ("
    " id BIGSERIAL PRIMARY KEY, started_at TEXT NOT NULL, ended_at TEXT NOT NULL,"
    " line INTEGER NOT NULL, location TEXT NOT NULL, port TEXT NOT NULL,"
    " job_kind INTEGER NOT NULL, esn TEXT NOT NULL, imei TEXT NOT NULL,"
    " version_before TEXT NOT NULL, version_after TEXT NOT NULL,"
    " firmware_digest TEXT NOT NULL, result_text TEXT NOT NULL, result_code INTEGER NOT NULL,"
    " passed BOOLEAN NOT NULL, duration_ms BIGINT NOT NULL,"
    " blocks_rewritten BIGINT NOT NULL, retries INTEGER NOT NULL);"
    "CREATE INDEX jobs_by_imei ON jobs (imei, started_at);"
    "CREATE TABLE nv_backups ("
    " id BIGSERIAL PRIMARY KEY, taken_at TEXT NOT NULL, line INTEGER NOT NULL,"
    " imei TEXT NOT NULL, esn TEXT NOT NULL, file_name TEXT NOT NULL,"
    " archive_name TEXT NOT NULL, size BIGINT NOT NULL, digest TEXT NOT NULL);"
    "CREATE INDEX nv_backups_by_imei ON nv_backups (imei, taken_at);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// libpq's messages run over several lines; the line status shows one.
std::string OneLine(const char* message) {
    std::string text;
    bool blank = false;
    for (const char* c = message; *c != 0; ++c) {
        const bool space = *c == '\n' || *c == '\t' || *c == ' ';
        if (space) {
            blank = !text.empty();
            continue;
        }
        if (blank) {
            text += ' ';
            blank = false;
        }
        text += *c;
    }
    return text;
}

constexpr const char* kAdvisoryLock = "SELECT pg_advisory_xact_lock(240402)";

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

class PostgresStore final : public HistoryStore {
  public:
    explicit PostgresStore(PGconn* conn) : m_conn(conn) {}
    ~PostgresStore() override { PQfinish(m_conn); }

    bool Open(std::string& error) {
        if (!Command("BEGIN", error) || !Query(kAdvisoryLock, {}, error) ||
            !Command("CREATE TABLE IF NOT EXISTS pellan_schema (version INTEGER NOT NULL)",
                     error)) {
            Rollback();
            return false;
        }
        Result r = Query("SELECT max(version) FROM pellan_schema", {}, error);
        if (!r) {
            Rollback();
            return false;
        }
        const int version = PQgetisnull(r.get(), 0, 0) ? 0 : std::atoi(PQgetvalue(r.get(), 0, 0));
        if (version > kSchemaVersion) {
            Rollback();
            error = "its schema version " + std::to_string(version) +
                    " is newer than this program's " + std::to_string(kSchemaVersion);
            return false;
        }
        for (int from = version; from < kSchemaVersion; ++from) {
            if (!Command(kMigrations[from], error) ||
                !Command(("DELETE FROM pellan_schema; INSERT INTO pellan_schema VALUES (" +
                          std::to_string(from + 1) + ")")
                             .c_str(),
                         error)) {
                Rollback();
                return false;
            }
        }
        return Command("COMMIT", error);
    }

    bool AddJob(const JobRecord& j, std::string& error) override {
        const std::vector<std::string> values = {j.startedAt,
                                                 j.endedAt,
                                                 std::to_string(j.line),
                                                 j.location,
                                                 j.port,
                                                 std::to_string(j.jobKind),
                                                 j.esn,
                                                 j.imei,
                                                 j.versionBefore,
                                                 j.versionAfter,
                                                 j.firmwareDigest,
                                                 j.resultText,
                                                 std::to_string(j.resultCode),
                                                 j.passed ? "true" : "false",
                                                 std::to_string(j.durationMs),
                                                 std::to_string(j.blocksRewritten),
                                                 std::to_string(j.retries)};
        // One statement is one transaction.
        return Query(
                   "INSERT INTO jobs (started_at, ended_at, line, location, port, job_kind, esn,"
                   " imei, version_before, version_after, firmware_digest, result_text,"
                   " result_code, passed, duration_ms, blocks_rewritten, retries) VALUES ($1,"
                   " $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17)",
                   values, error) != nullptr;
    }

    bool AddBackup(const BackupRecord& b, std::string& error) override {
        return Query(
                   "INSERT INTO nv_backups (taken_at, line, imei, esn, file_name, archive_name,"
                   " size, digest) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
                   {b.takenAt, std::to_string(b.line), b.imei, b.esn, b.fileName, b.archiveName,
                    std::to_string(b.size), b.digest},
                   error) != nullptr;
    }

    bool Jobs(const JobQuery& query, std::vector<JobRecord>& out, std::string& error) override {
        out.clear();
        Result r = Query(
            "SELECT id, started_at, ended_at, line, location, port, job_kind, esn, imei,"
            " version_before, version_after, firmware_digest, result_text, result_code,"
            " passed, duration_ms, blocks_rewritten, retries FROM jobs"
            " WHERE ($1 = '' OR imei = $1) AND ($2 = '' OR started_at >= $2)"
            " ORDER BY started_at DESC, id DESC",
            {query.imei, query.since}, error);
        if (!r) {
            return false;
        }
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            auto text = [&](int c) { return std::string(PQgetvalue(r.get(), row, c)); };
            auto number = [&](int c) {
                return std::strtoll(PQgetvalue(r.get(), row, c), nullptr, 10);
            };
            JobRecord j;
            j.id = number(0);
            j.startedAt = text(1);
            j.endedAt = text(2);
            j.line = static_cast<int>(number(3));
            j.location = text(4);
            j.port = text(5);
            j.jobKind = static_cast<int>(number(6));
            j.esn = text(7);
            j.imei = text(8);
            j.versionBefore = text(9);
            j.versionAfter = text(10);
            j.firmwareDigest = text(11);
            j.resultText = text(12);
            j.resultCode = static_cast<int>(number(13));
            j.passed = text(14) == "t";
            j.durationMs = number(15);
            j.blocksRewritten = number(16);
            j.retries = static_cast<int>(number(17));
            out.push_back(std::move(j));
        }
        return true;
    }

    bool Backups(const std::string& imei, std::vector<BackupRecord>& out,
                 std::string& error) override {
        out.clear();
        Result r = Query(
            "SELECT id, taken_at, line, imei, esn, file_name, archive_name, size, digest"
            " FROM nv_backups WHERE ($1 = '' OR imei = $1) ORDER BY taken_at DESC, id DESC",
            {imei}, error);
        if (!r) {
            return false;
        }
        for (int row = 0; row < PQntuples(r.get()); ++row) {
            auto text = [&](int c) { return std::string(PQgetvalue(r.get(), row, c)); };
            BackupRecord b;
            b.id = std::strtoll(text(0).c_str(), nullptr, 10);
            b.takenAt = text(1);
            b.line = std::atoi(text(2).c_str());
            b.imei = text(3);
            b.esn = text(4);
            b.fileName = text(5);
            b.archiveName = text(6);
            b.size = std::strtoll(text(7).c_str(), nullptr, 10);
            b.digest = text(8);
            out.push_back(std::move(b));
        }
        return true;
    }

  private:
    // A connection that broke since the last job (server restart, network) is made once more.
    void Reconnect() {
        if (PQstatus(m_conn) != CONNECTION_OK) {
            PQreset(m_conn);
        }
    }

    Result Query(const char* sql, const std::vector<std::string>& values, std::string& error) {
        Reconnect();
        std::vector<const char*> params;
        for (const std::string& v : values) {
            params.push_back(v.c_str());
        }
        Result r(PQexecParams(m_conn, sql, static_cast<int>(params.size()), nullptr, params.data(),
                              nullptr, nullptr, 0));
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error = OneLine(PQerrorMessage(m_conn));
            return nullptr;
        }
        return r;
    }

    bool Command(const char* sql, std::string& error) {
        Result r(PQexec(m_conn, sql));
        if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            error = OneLine(PQerrorMessage(m_conn));
            return false;
        }
        return true;
    }

    void Rollback() {
        std::string ignored;
        Command("ROLLBACK", ignored);
    }

    PGconn* m_conn;
};

}  // namespace

std::unique_ptr<HistoryStore> OpenPostgresStore(const std::string& address, std::string& error) {
    // A server that cannot be reached must not hold up the job that opens the store: a few
    // seconds unless the address sets its own connect_timeout (later values win).
    const char* const keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* const values[] = {"5", address.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn != nullptr) {
        // The server's notices ("relation already exists, skipping") are no news to the user.
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
    }
    auto store = std::make_unique<PostgresStore>(conn);
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        error = conn ? OneLine(PQerrorMessage(conn)) : "out of memory";
        return nullptr;
    }
    if (!store->Open(error)) {
        return nullptr;
    }
    return store;
}

}  // namespace pellan::history
