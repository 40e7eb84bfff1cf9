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
    // Copy under the lock and format outside it: folding tens of thousands of commands and hashing
    // 48 MB of images takes long enough that holding the lock would delay the stick's own restart
    // and its answers to the host.
    std::unique_lock lock(m_mutex);
    Update();
    nlohmann::json r;
    r["mode"] = ModeName(m_mode);
    r["present"] = m_present;
    r["plugged"] = m_plugged;
    r["location"] = m_options.location;
    r["identity"] = {{"imei", m_options.imei},
                     {"esn", m_options.esn},
                     {"serial", m_options.serial},
                     {"version", m_options.firmwareVersion},
                     {"model", m_options.modelText}};
    // The store as it was when the stick was made and as it is now: equal digests after an
    // update mean the stick got its own calibration back, item for item.
    r["nv"] = {{"startDigest", m_nvStartDigest}, {"digest", m_nv.Digest()}};
    r["ports"] = {{"diag", m_diagPort}, {"at", m_atPort}, {"diagHidden", m_diagHidden}};
    r["enumerations"] = m_enumerations;
    r["vendorMode"] = m_vendorMode;
    r["autorun"] = m_autorun;
    r["downloadState"] = m_downloadState;
    r["updateFinished"] = m_updateFinished;
    r["crcErrors"] = m_crcErrors;
    r["commandCounts"] = m_counts;
    r["at"] = m_at;
    if (auto imei = m_nv.Read(kImeiItem)) {
        r["imei"] = UnpackImei(*imei);
    }
    r["nvItems"] = m_nv.Size();
    r["partitionTable"] = {{"override", m_partitionOverride},
                           {"size", m_partitionTable.size()},
                           {"data", Hex(m_partitionTable.data(), m_partitionTable.size())}};
    r["challenge"] = Hex(m_challenge.data(), m_challenge.size());
    const auto commands = m_commands;
    const auto nvWrites = m_nvWrites;
    // Images whose digest is kept are reported at once; only the others are copied out to be
    // hashed (a station's report is written at every restart of any of its sticks, and hashing
    // eight sticks' 48 MB again each time would starve the sticks' answers).
    std::vector<nlohmann::json> sessionJson(m_sessions.size());
    std::vector<std::pair<size_t, ImageAssembly>> toHash;
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (m_sessions[i].image.DigestKept()) {
            sessionJson[i] = ImageJson(m_sessions[i].image);
        } else {
            toHash.emplace_back(i, m_sessions[i].image);
        }
        sessionJson[i]["type"] = m_sessions[i].type;
        sessionJson[i]["closed"] = m_sessions[i].closed;
    }
    const ImageAssembly ram = m_ram;
    lock.unlock();
    for (auto& [index, image] : toHash) {
        nlohmann::json j = ImageJson(image);
        j["type"] = sessionJson[index]["type"];
        j["closed"] = sessionJson[index]["closed"];
        sessionJson[index] = j;
    }
    r["ram"] = ImageJson(ram);
    lock.lock();
    for (auto& [index, image] : toHash) {
        if (index < m_sessions.size()) {
            m_sessions[index].image.KeepDigestOf(image);
        }
    }
    m_ram.KeepDigestOf(ram);
    lock.unlock();

    // Every command in order; runs of the same command in the same mode are folded into one entry
    // with a count, so that thirty thousand stream writes stay readable.
    nlohmann::json sequence = nlohmann::json::array();
    for (const CommandRecord& c : commands) {
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

    nlohmann::json nv = nlohmann::json::array();
    for (const NvWriteRecord& w : nvWrites) {
        nv.push_back(
            {{"id", w.id}, {"status", w.status}, {"data", Hex(w.data.data(), w.data.size())}});
    }
    r["nvWrites"] = nv;

    r["images"] = sessionJson;
    return r.dump(2);
}

}  // namespace pellan::sim
