#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pellan::sim {

using NvData = std::array<uint8_t, 128>;

// The item ids a stick carries calibration in: the updater's backup list, in its order (530
// entries, 502 distinct ids), so that a simulated stick answers every item the host reads.
const std::vector<uint16_t>& CalibrationItemIds();

// The NV item store of the simulated stick. Items that were never written read as status 5.
class NvStore {
  public:
    std::optional<NvData> Read(uint16_t id) const;
    void Write(uint16_t id, const NvData& data) { m_items[id] = data; }
    void Erase(uint16_t id) { m_items.erase(id); }
    void Clear() { m_items.clear(); }
    size_t Size() const { return m_items.size(); }
    const std::map<uint16_t, NvData>& Items() const { return m_items; }

    // Every calibration item filled with a pattern derived from its id and the stick's `salt`,
    // item 22, and the IMEI.
    void FillFactoryDefaults(const std::string& imei, uint32_t salt = 0);
    // MD5 (hex) over every item's id and contents, in id order.
    std::string Digest() const;
    // Loads the records of an NVM file (850 records of 136 bytes) whose status is 0.
    bool LoadNvmFile(const std::string& path, std::string& error);

  private:
    std::map<uint16_t, NvData> m_items;
};

constexpr uint16_t kImeiItem = 550;
// Packs fifteen digits as item 550 holds them: 0x08, then digit 1 in the high nibble of byte 1
// (low nibble 0xA), then bytes 2..8 each with the next digit low and the one after it high.
NvData PackImei(const std::string& digits);
// The fifteen digits of an item 550 record as text.
std::string UnpackImei(const NvData& data);
// A pattern that is unique per item and per salt, so a restored item can be told from any other
// and from the same item of another stick.
NvData PatternFor(uint16_t id, uint32_t salt = 0);

}  // namespace pellan::sim
