#include "line/job_history.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "history/history_recorder.h"
#include "line/job_log.h"
#include "line/line_station.h"
#include "line/standard_jobs.h"
#include "nv/nv_archive.h"
#include "nv/nv_restore.h"
#include "nv/nvm_store.h"
#include "platform/md5.h"

namespace pellan {
namespace {

namespace fs = std::filesystem;

bool ReadBytes(const fs::path& file, std::vector<uint8_t>& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string Md5Hex(const std::vector<uint8_t>& bytes) {
    const auto digest = platform::Md5(bytes);
    return digest ? platform::DigestHex(*digest) : std::string();
}

std::string EsnText(uint32_t esn) {
    if (esn == CPhoneLink::kNoEsn) {
        return {};
    }
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(esn));
    return text;
}

// The stamp of an archived backup: UTC, so that names sort by time across clock changes.
std::string ArchiveStamp(const std::string& utc) {
    std::string stamp;
    for (char c : utc) {
        if (c != '-' && c != ':') {
            stamp += c;
        }
    }
    return stamp;  // "20261207T014910Z"
}

history::Report StatusReport(LineStation& station, int line) {
    return [&station, line](const std::string& text) {
        station.Context(line).report.ShowMessage(text, 1);
    };
}

history::Report BoxReport(LineStation& station) {
    return [&station](const std::string& text) { station.MessageBox(text); };
}

// The IMEI item of an NVM file, empty when the file or the item gives none.
std::string FileImei(const std::string& path) {
    NvmTable table;
    return !path.empty() && LoadNvmFile(path, table) == NvmLoad::OK ? BackupImei(table)
                                                                    : std::string();
}

}  // namespace

void SetLineHistory(LineStation& station, std::shared_ptr<history::HistoryRecorder> recorder) {
    LineController& controller = LineControllerOf(station);
    std::lock_guard lock(controller.mutex);
    controller.history = std::move(recorder);
}

std::shared_ptr<history::HistoryRecorder> LineHistory(LineStation& station) {
    LineController& controller = LineControllerOf(station);
    std::lock_guard lock(controller.mutex);
    return controller.history;
}

JobFacts& LineJobFacts(LineStation& station, int line) {
    return LineControllerOf(station).facts.at(static_cast<size_t>(line));
}

std::string FolderDigest(const std::string& folder) {
    const std::vector<ImageDigest> images = FolderImages(folder);
    if (images.empty()) {
        return {};
    }
    std::vector<uint8_t> summary;
    for (const ImageDigest& image : images) {
        if (image.md5.empty()) {
            return {};
        }
        const std::string name = image.name + "=" + image.md5 + "\n";
        summary.insert(summary.end(), name.begin(), name.end());
    }
    return Md5Hex(summary);
}

void BeginJobHistory(LineStation& station, int line, JobKind kind) {
    LineContext& context = station.Context(line);
    JobFacts& facts = LineJobFacts(station, line);
    facts = {};
    facts.started = std::chrono::steady_clock::now();
    facts.startedUtc = history::UtcNow();
    facts.port = "COM" + std::to_string(context.ports.DiagPort());
    facts.location = station.Bindings().Location(line);
    facts.versionBefore = GetField(context.runtime.currentVersion);
    facts.blocksRewrittenAtStart = context.Link().m_blocksRewritten.load();
    if (kind == JOB_UPDATE || kind == JOB_REPAIR) {
        facts.firmwareDigest = FolderDigest(GetField(context.firstRecord.firmwareFolder));
    } else {
        facts.versionAfter = facts.versionBefore;
    }
    if (kind == JOB_NV_RESTORE) {
        facts.imei = FileImei(NvRestoreSource(context));
    }
    if (const auto recorder = LineHistory(station)) {
        recorder->Ready(StatusReport(station, line));
    }
}

void RecordJobHistory(LineStation& station, int line, JobKind kind,
                      const std::string& successText) {
    const auto recorder = LineHistory(station);
    if (!recorder) {
        return;
    }
    LineContext& context = station.Context(line);
    const JobFacts& facts = LineJobFacts(station, line);
    history::JobRecord row;
    row.startedAt = facts.startedUtc;
    row.endedAt = history::UtcNow();
    row.line = line + 1;
    row.port = facts.port;
    row.location = facts.location;
    row.jobKind = kind;
    row.esn = EsnText(context.Link().m_lastEsn.load());
    row.imei = facts.imei;
    row.versionBefore = facts.versionBefore;
    row.versionAfter = facts.versionAfter;
    row.firmwareDigest = facts.firmwareDigest;
    if (successText.empty()) {
        const JobEnd end = station.LastJobEnd(line);
        row.resultText = end.text;
        row.resultCode = end.code;
        row.passed = end.code == 0 || end.code == 1;
    } else {
        row.resultText = successText;
        row.resultCode = 0;
        row.passed = true;
    }
    row.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - facts.started)
                         .count();
    row.blocksRewritten = context.Link().m_blocksRewritten.load() - facts.blocksRewrittenAtStart;
    row.retries = facts.retries;
    recorder->RecordJob(row, BoxReport(station));
}

void ArchiveLineBackup(LineStation& station, int line, const std::string& nvmPath,
                       bool afterResult) {
    LineContext& context = station.Context(line);
    const history::Report report = afterResult ? BoxReport(station) : StatusReport(station, line);
    std::vector<uint8_t> bytes;
    NvmTable table;
    if (!ReadBytes(nvmPath, bytes) || DecodeNvmFile(bytes, table) != NvmFileCheck::OK) {
        report("The NV backup " + nvmPath + " cannot be read back; it was not archived.");
        return;
    }
    const uint32_t esn = context.Link().m_lastEsn.load();
    const std::string folder = ArchiveFolderName(table, esn, CPhoneLink::kNoEsn);
    const std::string takenAt = history::UtcNow();
    const fs::path nvFolder = fs::path(nvmPath).parent_path();
    fs::path archived;
    std::string error;
    if (!ArchiveNvmFile(nvFolder / kNvArchiveFolder, folder, bytes, ArchiveStamp(takenAt), archived,
                        error)) {
        report("The NV backup was not archived: " + error);
        return;
    }
    history::BackupRecord row;
    row.takenAt = takenAt;
    row.line = line + 1;
    row.imei = BackupImei(table);
    row.esn = EsnText(esn);
    row.fileName = nvmPath;
    row.archiveName = archived.string();
    row.size = static_cast<int64_t>(bytes.size());
    row.digest = Md5Hex(bytes);
    JobFacts& facts = LineJobFacts(station, line);
    if (facts.imei.empty()) {
        facts.imei = row.imei;
    }
    if (const auto recorder = LineHistory(station)) {
        recorder->RecordBackup(row, report);
    }
}

}  // namespace pellan
