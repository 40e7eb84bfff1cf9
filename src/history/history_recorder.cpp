#include "history/history_recorder.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace pellan::history {

bool LoadHistorySettings(const std::filesystem::path& file, HistorySettings& out,
                         std::string& error) {
    out = {};
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file.string() + " cannot be read";
        return false;
    }
    const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        error = file.string() + " is not a JSON object";
        return false;
    }
    for (const auto& [key, value] : json.items()) {
        if (key != "sqlite" && key != "postgresql") {
            error = file.string() + ": unknown field \"" + key + "\"";
            return false;
        }
        if (!value.is_string()) {
            error = file.string() + ": \"" + key + "\" must be a text";
            return false;
        }
        (key == "sqlite" ? out.sqlite : out.postgresql) = value.get<std::string>();
    }
    if (!out.postgresql.empty() && !IsPostgresAddress(out.postgresql)) {
        error = file.string() + ": \"postgresql\" must start with postgresql://";
        return false;
    }
    return true;
}

std::string ChooseHistoryAddress(const std::string& given, const HistorySettings& settings,
                                 const std::filesystem::path& defaultFile) {
    if (!given.empty()) {
        return given;
    }
    if (!settings.postgresql.empty()) {
        return settings.postgresql;
    }
    if (!settings.sqlite.empty()) {
        return settings.sqlite;
    }
    return defaultFile.string();
}

std::shared_ptr<HistoryRecorder> MakeStationHistory(const std::string& given,
                                                    const std::filesystem::path& configFolder,
                                                    const std::filesystem::path& nvFolder) {
    HistorySettings settings;
    std::string problem;
    LoadHistorySettings(configFolder / kHistorySettingsName, settings, problem);
    const std::string address = ChooseHistoryAddress(given, settings, nvFolder / kDefaultStoreName);
    return std::make_shared<HistoryRecorder>(address, problem);
}

HistoryRecorder::HistoryRecorder(std::string address, std::string problem)
    : m_address(std::move(address)), m_problem(std::move(problem)) {}

bool HistoryRecorder::OpenLocked(std::string& error) {
    if (m_store) {
        return true;
    }
    if (!m_problem.empty()) {
        error = m_problem;
        return false;
    }
    m_store = OpenHistoryStore(m_address, error);
    return m_store != nullptr;
}

void HistoryRecorder::ReportLocked(const std::string& error, const Report& report) {
    if (m_reported) {
        return;
    }
    m_reported = true;
    if (report) {
        report("History store " + m_address + " cannot be used: " + error +
               ". The jobs go on without it.");
    }
}

bool HistoryRecorder::Ready(const Report& report) {
    std::lock_guard lock(m_mutex);
    std::string error;
    if (!OpenLocked(error)) {
        ReportLocked(error, report);
        return false;
    }
    return true;
}

bool HistoryRecorder::RecordJob(const JobRecord& job, const Report& report) {
    std::lock_guard lock(m_mutex);
    std::string error;
    if (!OpenLocked(error) || !m_store->AddJob(job, error)) {
        ReportLocked(error, report);
        return false;
    }
    return true;
}

bool HistoryRecorder::RecordBackup(const BackupRecord& backup, const Report& report) {
    std::lock_guard lock(m_mutex);
    std::string error;
    if (!OpenLocked(error) || !m_store->AddBackup(backup, error)) {
        ReportLocked(error, report);
        return false;
    }
    return true;
}

bool HistoryRecorder::Jobs(const JobQuery& query, std::vector<JobRecord>& out, std::string& error) {
    std::lock_guard lock(m_mutex);
    return OpenLocked(error) && m_store->Jobs(query, out, error);
}

bool HistoryRecorder::Backups(const std::string& imei, std::vector<BackupRecord>& out,
                              std::string& error) {
    std::lock_guard lock(m_mutex);
    return OpenLocked(error) && m_store->Backups(imei, out, error);
}

}  // namespace pellan::history
