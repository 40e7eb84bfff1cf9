#include <nlohmann/json.hpp>

#include <cstdio>

#include "sim/stick_model.h"

namespace pellan::sim {
namespace {

std::string Hex(const uint8_t* data, size_t len) {
    std::string text;
    char hex[3];
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        text += hex;
    }
    return text;
}

nlohmann::json ImageJson(const ImageAssembly& image) {
    nlohmann::json j;
    j["base"] = image.BaseAddress();
    j["size"] = image.Size();
    j["writes"] = image.WriteCount();
    j["md5"] = image.Md5Hex();
    j["gaps"] = nlohmann::json::array();
    for (const auto& g : image.Gaps()) {
        j["gaps"].push_back({{"begin", g.begin}, {"end", g.end}});
    }
    j["overlaps"] = image.Overlaps().size();
    j["conflictingOverlaps"] = image.ConflictingOverlaps();
    return j;
}

}  // namespace

std::string StickModel::ReportJson() {
    std::lock_guard lock(m_mutex);
    Update();
    nlohmann::json r;
    r["mode"] = ModeName(m_mode);
    r["present"] = m_present;
    r["ports"] = {{"diag", m_diagPort}, {"at", m_atPort}, {"diagHidden", m_diagHidden}};
    r["enumerations"] = m_enumerations;
    r["vendorMode"] = m_vendorMode;
    r["autorun"] = m_autorun;
    r["downloadState"] = m_downloadState;
    r["updateFinished"] = m_updateFinished;
    r["crcErrors"] = m_crcErrors;

    // Every command in order; runs of the same command in the same mode are folded into one entry
    // with a count, so that thirty thousand stream writes stay readable.
    nlohmann::json sequence = nlohmann::json::array();
    for (const CommandRecord& c : m_commands) {
        if (!sequence.empty() && sequence.back()["name"] == c.name &&
            sequence.back()["mode"] == ModeName(c.mode)) {
            sequence.back()["count"] = sequence.back()["count"].get<int>() + 1;
            continue;
        }
        nlohmann::json entry = {{"mode", ModeName(c.mode)},
                                {"port", c.port == PortKind::kDiag ? "diag" : "at"},
                                {"name", c.name},
                                {"count", 1}};
        if (c.arg >= 0) {
            entry["arg"] = c.arg;
        }
        if (!c.answered) {
            entry["answered"] = false;
        }
        sequence.push_back(entry);
    }
    r["commands"] = sequence;
    r["commandCounts"] = m_counts;
    r["at"] = m_at;

    nlohmann::json nv = nlohmann::json::array();
    for (const NvWriteRecord& w : m_nvWrites) {
        nv.push_back(
            {{"id", w.id}, {"status", w.status}, {"data", Hex(w.data.data(), w.data.size())}});
    }
    r["nvWrites"] = nv;
    if (auto imei = m_nv.Read(kImeiItem)) {
        r["imei"] = UnpackImei(*imei);
    }
    r["nvItems"] = m_nv.Size();

    r["ram"] = ImageJson(m_ram);
    nlohmann::json sessions = nlohmann::json::array();
    for (const ImageSession& s : m_sessions) {
        nlohmann::json j = ImageJson(s.image);
        j["type"] = s.type;
        j["closed"] = s.closed;
        sessions.push_back(j);
    }
    r["images"] = sessions;
    r["partitionTable"] = {{"override", m_partitionOverride},
                           {"size", m_partitionTable.size()},
                           {"data", Hex(m_partitionTable.data(), m_partitionTable.size())}};
    r["challenge"] = Hex(m_challenge.data(), m_challenge.size());
    return r.dump(2);
}

}  // namespace pellan::sim
