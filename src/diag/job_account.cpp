#include "diag/job_account.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace pellan {
namespace {

struct PhaseText {
    const char* name;
    const char* key;
};

constexpr std::array<PhaseText, 17> kPhaseTexts = {{
    {"identity check", "identity-check"},
    {"connection manager stop", "connection-manager-stop"},
    {"mode switch", "mode-switch"},
    {"wait for the stick", "wait-for-stick"},
    {"download check", "download-check"},
    {"NV backup", "nv-backup"},
    {"security mode", "security-mode"},
    {"boot downloader and RAM programmer", "programmer"},
    {"partition table", "partition-table"},
    {"boot loader", "boot-loader"},
    {"application image", "application"},
    {"NAND programmer", "nand-programmer"},
    {"EFS image", "efs"},
    {"reset", "reset"},
    {"NV restore", "nv-restore"},
    {"return to normal mode", "return-to-normal"},
    {"connection manager start", "connection-manager-start"},
}};

constexpr std::array<const char*, 10> kKindKeys = {
    "job-begin", "stick",   "phase-begin", "phase-progress", "phase-end",
    "retry",     "rewrite", "backup-file", "status",         "result",
};

}  // namespace

const char* PhaseName(JobPhase phase) {
    return kPhaseTexts.at(static_cast<size_t>(phase)).name;
}

const char* PhaseKey(JobPhase phase) {
    return kPhaseTexts.at(static_cast<size_t>(phase)).key;
}

const char* EventKindKey(JobEventKind kind) {
    return kKindKeys.at(static_cast<size_t>(kind));
}

std::string PhaseLabel(const JobEvent& event) {
    std::string label = PhaseName(event.phase);
    if (!event.part.empty()) {
        label += " " + event.part;
    }
    if (event.cycle > 0) {
        label += ", cycle " + std::to_string(event.cycle);
    }
    return label;
}

std::string DurationText(uint32_t ms) {
    char text[48];
    if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%u min %u s", ms / 60000, ms / 1000 % 60);
    }
    return text;
}

std::string CountText(uint64_t count, const char* unit) {
    char text[48];
    if (std::strcmp(unit, "bytes") == 0 && count >= 100000) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(count) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(count), unit);
    }
    return text;
}

std::string ProgressText(uint64_t done, uint64_t total, const char* unit) {
    char text[64];
    if (std::strcmp(unit, "bytes") == 0 && total >= 100000) {
        std::snprintf(text, sizeof text, "%.1f of %.1f MB", static_cast<double>(done) / 1e6,
                      static_cast<double>(total) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%llu of %llu %s", static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(total), unit);
    }
    return text;
}

std::string RateText(uint64_t done, uint32_t elapsedMs, const char* unit) {
    if (std::strcmp(unit, "bytes") != 0 || elapsedMs == 0) {
        return {};
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MB/s", static_cast<double>(done) / 1000.0 / elapsedMs);
    return text;
}

static std::string Counts(const JobEvent& event) {
    if (event.unit[0] == 0) {
        return {};
    }
    // Exact figures: the log and the plain output are read when something went wrong.
    return ": " + std::to_string(event.done) + " of " + std::to_string(event.total) + " " +
           event.unit;
}

std::string EventText(const JobEvent& event) {
    switch (event.kind) {
        case JobEventKind::JOB_BEGIN:
            return "job: " + event.detail;
        case JobEventKind::STICK:
            return "stick: port " + event.stick.port + ", location " +
                   (event.stick.location.empty() ? "-" : event.stick.location) + ", version " +
                   event.stick.currentVersion + " / " + event.stick.secondVersion + ", ESN " +
                   (event.stick.esn.empty() ? "-" : event.stick.esn) + ", IMEI " +
                   (event.stick.imei.empty() ? "-" : event.stick.imei);
        case JobEventKind::PHASE_BEGIN:
            return "begin: " + PhaseLabel(event) +
                   (event.total > 0 ? " (" + CountText(event.total, event.unit) + ")" : "");
        case JobEventKind::PHASE_PROGRESS:
            return {};  // the end of the phase gives its counts
        case JobEventKind::PHASE_END: {
            const std::string rate = RateText(event.done, event.elapsedMs, event.unit);
            return std::string() + (event.ok ? "end: " : "failed: ") + PhaseLabel(event) +
                   Counts(event) + " (" + DurationText(event.elapsedMs) +
                   (rate.empty() ? "" : ", " + rate) + ")";
        }
        case JobEventKind::RETRY:
            return "retry in " + PhaseLabel(event) + ": " +
                   (event.detail.empty() ? "no failure text" : event.detail);
        case JobEventKind::REWRITE:
            return "rewrite in " + PhaseLabel(event) + ": " + std::to_string(event.blocks) +
                   (event.blocks == 1 ? " block (" : " blocks (") + event.detail + ")";
        case JobEventKind::BACKUP_FILE:
            return "NV backup: " + event.detail + ", MD5 " + event.digest;
        case JobEventKind::STATUS:
            return {};
        case JobEventKind::RESULT:
            return std::string() + "result: " + (event.ok ? "success" : "failure") + ", code " +
                   std::to_string(event.code) + ", after " + DurationText(event.elapsedMs) + ": " +
                   event.detail;
    }
    return {};
}

int JobAccount::AddListener(Listener listener) {
    std::lock_guard lock(m_mutex);
    m_listeners.emplace_back(m_nextListener, std::move(listener));
    return m_nextListener++;
}

void JobAccount::RemoveListener(int id) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_listeners, [id](const auto& entry) { return entry.first == id; });
}

void JobAccount::EmitLocked(JobEvent& event) {
    const bool withinPhase = event.kind == JobEventKind::RETRY ||
                             event.kind == JobEventKind::REWRITE ||
                             event.kind == JobEventKind::BACKUP_FILE;
    if (withinPhase && m_phaseOpen) {
        event.phase = m_phase.phase;
        event.part = m_phase.part;
        event.cycle = m_phase.cycle;
    }
    for (const auto& entry : m_listeners) {
        entry.second(event);
    }
}

void JobAccount::BeginJob(const std::string& kind) {
    std::lock_guard lock(m_mutex);
    m_inJob = true;
    m_phaseOpen = false;
    m_cycle = 0;
    m_stick = {};
    m_jobStart = m_clock.TickMs();
    JobEvent event;
    event.kind = JobEventKind::JOB_BEGIN;
    event.detail = kind;
    EmitLocked(event);
}

void JobAccount::SetStick(const StickIdentity& stick) {
    std::lock_guard lock(m_mutex);
    m_stick = stick;
    JobEvent event;
    event.kind = JobEventKind::STICK;
    event.stick = stick;
    EmitLocked(event);
}

StickIdentity JobAccount::Stick() const {
    std::lock_guard lock(m_mutex);
    return m_stick;
}

void JobAccount::SetCycle(int cycle) {
    std::lock_guard lock(m_mutex);
    m_cycle = cycle;
}

void JobAccount::EndPhaseLocked(bool ok) {
    if (!m_phaseOpen) {
        return;
    }
    m_phaseOpen = false;
    JobEvent event = m_phase;
    event.kind = JobEventKind::PHASE_END;
    event.ok = ok;
    event.elapsedMs = m_clock.TickMs() - m_phaseStart;
    EmitLocked(event);
}

void JobAccount::BeginPhase(JobPhase phase, const std::string& part, uint64_t total,
                            const char* unit) {
    std::lock_guard lock(m_mutex);
    if (m_phaseOpen && m_phase.phase == phase && m_phase.part == part && m_phase.cycle == m_cycle) {
        m_phase.total = total;
        m_phase.unit = unit;
        m_phase.done = 0;
        m_lastReported = 0;
        return;
    }
    EndPhaseLocked(true);
    m_phase = {};
    m_phase.kind = JobEventKind::PHASE_BEGIN;
    m_phase.phase = phase;
    m_phase.cycle = m_cycle;
    m_phase.part = part;
    m_phase.total = total;
    m_phase.unit = unit;
    m_phaseStart = m_clock.TickMs();
    m_lastReported = 0;
    m_phaseOpen = true;
    JobEvent event = m_phase;
    EmitLocked(event);
}

void JobAccount::EndPhase(bool ok) {
    std::lock_guard lock(m_mutex);
    EndPhaseLocked(ok);
}

void JobAccount::Progress(uint64_t done) {
    std::lock_guard lock(m_mutex);
    if (!m_phaseOpen) {
        return;
    }
    m_phase.done = std::min(done, m_phase.total);
    const uint64_t step = std::max<uint64_t>(m_phase.total / 100, 1);
    if (m_phase.done < m_lastReported + step && m_phase.done != m_phase.total) {
        return;
    }
    if (m_phase.done == m_lastReported && m_lastReported != 0) {
        return;
    }
    m_lastReported = m_phase.done;
    JobEvent event = m_phase;
    event.kind = JobEventKind::PHASE_PROGRESS;
    event.elapsedMs = m_clock.TickMs() - m_phaseStart;
    EmitLocked(event);
}

void JobAccount::Retry(const std::string& why) {
    std::lock_guard lock(m_mutex);
    JobEvent event;
    event.kind = JobEventKind::RETRY;
    event.detail = why;
    EmitLocked(event);
}

void JobAccount::Rewrite(uint32_t blocks, const std::string& why) {
    std::lock_guard lock(m_mutex);
    JobEvent event;
    event.kind = JobEventKind::REWRITE;
    event.blocks = blocks;
    event.detail = why;
    EmitLocked(event);
}

void JobAccount::BackupFile(const std::string& path, const std::string& md5Hex) {
    std::lock_guard lock(m_mutex);
    JobEvent event;
    event.kind = JobEventKind::BACKUP_FILE;
    event.detail = path;
    event.digest = md5Hex;
    EmitLocked(event);
}

void JobAccount::Status(const std::string& entry) {
    std::lock_guard lock(m_mutex);
    JobEvent event;
    event.kind = JobEventKind::STATUS;
    event.detail = entry;
    EmitLocked(event);
}

void JobAccount::Result(bool ok, int code, const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (!m_inJob) {
        return;
    }
    EndPhaseLocked(ok);
    m_inJob = false;
    JobEvent event;
    event.kind = JobEventKind::RESULT;
    event.ok = ok;
    event.code = code;
    event.detail = text;
    event.elapsedMs = m_clock.TickMs() - m_jobStart;
    event.stick = m_stick;
    EmitLocked(event);
}

}  // namespace pellan
