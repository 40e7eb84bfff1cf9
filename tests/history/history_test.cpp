// The station's history end to end: whole update jobs on the job bench (simulated stick, virtual
// clock) record into a real SQLite file, read back through a second connection.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "firmware/firmware_set.h"
#include "history/history_recorder.h"
#include "job_bench.h"
#include "line/job_history.h"
#include "line/station_firmware.h"
#include "nv/nv_archive.h"
#include "nv/nvm_store.h"

namespace pellan::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kImei = "358812045678903";

struct HistoryBench : JobBench {
    HistoryBench() {
        recorder = std::make_shared<history::HistoryRecorder>(store.string());
        SetLineHistory(*view, recorder);
    }
    std::vector<history::JobRecord> Jobs() {
        std::string error;
        auto reader = history::OpenSqliteStore(store, error);
        EXPECT_TRUE(reader) << error;
        std::vector<history::JobRecord> jobs;
        if (reader) {
            EXPECT_TRUE(reader->Jobs({}, jobs, error)) << error;
        }
        return jobs;
    }
    std::vector<fs::path> Archived() {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& e :
             fs::recursive_directory_iterator(fs::path(NvFolder()) / "nv-archive", ec)) {
            if (e.is_regular_file()) {
                files.push_back(e.path());
            }
        }
        return files;
    }
    fs::path store = dir.Path() / "station" / "history.sqlite";
    std::shared_ptr<history::HistoryRecorder> recorder;
};

// A stopped job and a success that rewrote the blocks whose acknowledgements were lost; a plain
// success and an IMEI-zero refusal are recorded as cli_history.sh checks end to end.
TEST(History, OneRowPerJobAndTheBackupArchivedByItsImei) {
    for (const bool passed : {false, true}) {
        SCOPED_TRACE(passed ? "lost acknowledgements" : "stopped");
        HistoryBench bench;
        sim::StickOptions options;
        if (passed) {
            options.faults.dropAckAddresses = {0x400, 0xC00};
        } else {
            bench.sink.onProgress = [&bench](int p) {
                if (p == 21) {
                    bench.view->StopLine(0);
                }
            };
        }
        bench.Plug(options);
        ASSERT_TRUE(bench.RunUpdate());

        const std::vector<history::JobRecord> jobs = bench.Jobs();
        ASSERT_EQ(jobs.size(), 1u);
        const history::JobRecord& job = jobs[0];
        EXPECT_EQ(job.resultText.rfind(passed ? "Update success!  It costs" : "Action stop!", 0),
                  0u)
            << job.resultText;
        EXPECT_EQ(bench.LastMessage(), job.resultText);
        EXPECT_EQ(job.resultCode, passed ? 0 : 2);
        EXPECT_EQ(job.passed, passed);
        EXPECT_EQ(job.imei, kImei);
        EXPECT_EQ(job.esn, "8034A1B2");
        EXPECT_EQ(job.line, 1);
        EXPECT_EQ(job.jobKind, JOB_UPDATE);
        EXPECT_EQ(job.port, "COM5");
        EXPECT_EQ(job.versionBefore, "HX402A_V1.0.3_B05");
        EXPECT_EQ(job.versionAfter, passed ? "HX402A_V1.0.3_B05" : "");
        EXPECT_EQ(job.firmwareDigest.size(), 32u);
        EXPECT_LE(job.startedAt, job.endedAt);
        EXPECT_EQ(job.blocksRewritten > 0, passed) << job.blocksRewritten;
        EXPECT_EQ(job.retries, 0);

        const std::vector<fs::path> archived = bench.Archived();
        ASSERT_EQ(archived.size(), 1u);
        EXPECT_EQ(archived[0].parent_path().filename(), kImei);
        std::ifstream a(archived[0], std::ios::binary),
            b(fs::path(bench.NvFolder()) / "Channel1.nvm", std::ios::binary);
        EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), {},
                               std::istreambuf_iterator<char>(b), {}))
            << "the archive is not the line's backup";
        std::string error;
        std::vector<history::BackupRecord> backups;
        ASSERT_TRUE(history::OpenSqliteStore(bench.store, error)->Backups(kImei, backups, error));
        ASSERT_EQ(backups.size(), 1u);
        EXPECT_EQ(backups[0].archiveName, archived[0].string());
        EXPECT_EQ(backups[0].size, 115600);
        EXPECT_EQ(backups[0].digest.size(), 32u);
    }
}

TEST(History, CorruptStoreIsReportedOnceAndNeverStopsAnUpdate) {
    HistoryBench bench;
    fs::create_directories(bench.store.parent_path());
    const std::string garbage(8192, 'x');
    std::ofstream(bench.store, std::ios::binary) << garbage;
    bench.Plug();
    ASSERT_TRUE(bench.RunUpdate());
    // A second job of the same process: a successful update leaves its line marked running and
    // its firmware set deleted, as the program ends after it.
    bench.doc->Runtime(0).running = 0;
    ASSERT_TRUE(InstallFirmwareSet(*bench.view));
    ASSERT_TRUE(bench.RunUpdate());

    int reports = 0;
    int successes = 0;
    for (const std::string& m : bench.sink.Messages()) {
        reports += m.find("History store " + bench.store.string() +
                          " cannot be used: file is "
                          "not a database") == 0;
        successes += m.rfind("Update success!", 0) == 0;
    }
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(successes, 2);
    EXPECT_EQ(bench.sink.EndRequests(), 2);
    std::ifstream in(bench.store, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage) << "the file changed";
    EXPECT_EQ(bench.Archived().size(), 2u) << "the archive does not depend on the store";
}

TEST(History, StoreOfANewerSchemaIsRefused) {
    TempDir dir;
    const fs::path file = dir.Path() / "h.sqlite";
    std::string error;
    ASSERT_TRUE(history::OpenSqliteStore(file, error)) << error;
    ASSERT_TRUE(history::OpenSqliteStore(file, error)) << "reopening a current store: " << error;
    {
        // Raise the version behind the program's back.
        std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(60);  // the header's user_version, big-endian
        const char v[4] = {0, 0, 0, 9};
        f.write(v, 4);
    }
    EXPECT_FALSE(history::OpenSqliteStore(file, error));
    EXPECT_NE(error.find("schema version 9 is newer"), std::string::npos) << error;
}

// The history's own settings file: a wrong one names the file and its fault, and the station's
// store then reports that fault instead of writing somewhere else; the --history address wins,
// then the file's PostgreSQL address, its SQLite file, the default file.
TEST(History, SettingsFileChoosesTheStoreOrNamesItsFault) {
    TempDir dir;
    const fs::path file = dir.Path() / history::kHistorySettingsName;
    const fs::path fallback = dir.Path() / "history.sqlite";
    const struct {
        const char* text;
        const char* result;  // the store chosen, or the fault after the file's name
        bool accepted;
    } rows[] = {
        {R"({"sqlite": "/data/h.sqlite"})", "/data/h.sqlite", true},
        {R"({"postgresql": "postgresql://db/station", "sqlite": "x"})", "postgresql://db/station",
         true},
        {"[1, 2]", " is not a JSON object", false},
        {"{\"sqlite\": ", " is not a JSON object", false},
        {R"({"mysql": "x"})", ": unknown field \"mysql\"", false},
        {R"({"sqlite": 7})", ": \"sqlite\" must be a text", false},
        {R"({"postgresql": "db.local"})", ": \"postgresql\" must start with postgresql://", false},
    };
    for (const auto& row : rows) {
        std::ofstream(file, std::ios::trunc) << row.text;
        history::HistorySettings settings;
        std::string error;
        ASSERT_EQ(history::LoadHistorySettings(file, settings, error), row.accepted) << row.text;
        if (row.accepted) {
            EXPECT_EQ(history::ChooseHistoryAddress({}, settings, fallback), row.result);
            EXPECT_EQ(history::ChooseHistoryAddress("given.sqlite", settings, fallback),
                      "given.sqlite");
            continue;
        }
        EXPECT_EQ(error, file.string() + row.result) << row.text;
        std::vector<history::JobRecord> jobs;
        std::string used;
        auto station = history::MakeStationHistory({}, dir.Path(), dir.Path() / "nv");
        EXPECT_FALSE(station->Jobs({}, jobs, used));
        EXPECT_EQ(used, error);
    }
    EXPECT_EQ(history::ChooseHistoryAddress({}, {}, fallback), fallback.string());
}

TEST(History, ArchiveNeverReplacesAnEarlierCopyAndRestoreSkipsCopiesWithoutImei) {
    TempDir dir;
    NvmTable table = BuildBackupTable();
    NvItemRecord* imei = nullptr;
    for (NvItemRecord& r : table) {
        imei = r.itemId == kNvImeiItem ? &r : imei;
    }
    ASSERT_NE(imei, nullptr);
    const uint8_t packed[9] = {0x08, 0x3A, 0x85, 0x18, 0x02, 0x54, 0x76, 0x98, 0x30};
    std::copy(std::begin(packed), std::end(packed), imei->data.begin());
    ASSERT_EQ(BackupImei(table), kImei);
    const std::vector<uint8_t> first = EncodeNvmFile(table);
    imei->status = kNvStatusNoAnswer;  // a later copy in the IMEI's folder whose item was unread
    EXPECT_EQ(ArchiveFolderName(table, 0x8034A1B2, 0xFFFFFFFF), "ESN-8034A1B2");
    const std::vector<uint8_t> unread = EncodeNvmFile(table);

    fs::path a, b, c;
    std::string error;
    ASSERT_TRUE(ArchiveNvmFile(dir.Path(), kImei, first, "20261207T010000Z", a, error)) << error;
    ASSERT_TRUE(ArchiveNvmFile(dir.Path(), kImei, first, "20261207T010000Z", b, error)) << error;
    ASSERT_TRUE(ArchiveNvmFile(dir.Path(), kImei, unread, "20261207T020000Z", c, error)) << error;
    EXPECT_NE(a, b);
    EXPECT_EQ(b.filename(), "20261207T010000Z-2.nvm");
    NvmTable back;
    ASSERT_EQ(LoadNvmFile(a, back), NvmLoad::OK);
    EXPECT_EQ(BackupImei(back), kImei);
    EXPECT_EQ(UsableArchivedBackups(dir.Path(), kImei), (std::vector<fs::path>{b, a}));
}

}  // namespace
}  // namespace pellan::test
