#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pellan::sim {

// One image as the stick received it: bytes placed by address, with every hole and every
// rewrite of already written bytes noted, so that tests can tell a clean transfer from one
// that only happened to end with the right bytes.
class ImageAssembly {
  public:
    struct Overlap {
        uint32_t address = 0;
        uint32_t length = 0;
        bool identical = true;  // the rewrite carried the bytes that were already there
    };
    struct Range {
        uint32_t begin = 0;
        uint32_t end = 0;  // one past the last byte
    };

    void Write(uint32_t address, const uint8_t* data, size_t len);
    // Bytes 0..Size()-1; holes read as 0xFF (erased flash).
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    size_t Size() const { return m_bytes.size(); }
    uint32_t BaseAddress() const { return m_base; }
    void SetBaseAddress(uint32_t base) { m_base = base; }
    // Holes between the base address and the highest byte written.
    std::vector<Range> Gaps() const;
    const std::vector<Overlap>& Overlaps() const { return m_overlaps; }
    size_t ConflictingOverlaps() const;
    size_t WriteCount() const { return m_writes; }
    bool Empty() const { return m_covered.empty(); }
    // True when the image is exactly `expected`: same size, no hole, same bytes.
    bool Equals(const std::vector<uint8_t>& expected) const;
    bool EqualsFile(const std::string& path) const;
    // The MD5 of Bytes(); kept until the next write, as are the copies made meanwhile.
    std::string Md5Hex() const;
    bool DigestKept() const { return m_md5Writes == m_writes && !m_md5.empty(); }
    // Takes the kept digest of `copy` when it is a copy of this image as it is now.
    void KeepDigestOf(const ImageAssembly& copy);

  private:
    uint32_t m_base = 0;  // address of byte 0 (RAM images start at the load address)
    std::vector<uint8_t> m_bytes;
    std::map<uint32_t, uint32_t> m_covered;  // begin -> end, merged, relative to m_base
    std::vector<Overlap> m_overlaps;
    size_t m_writes = 0;
    mutable std::string m_md5;
    mutable size_t m_md5Writes = 0;
};

std::string Md5Hex(const uint8_t* data, size_t len);
std::vector<uint8_t> Md5(const uint8_t* data, size_t len);
std::vector<uint8_t> ReadWholeFile(const std::string& path, bool* ok = nullptr);

}  // namespace pellan::sim
