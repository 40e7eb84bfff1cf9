#include "sim/image_assembly.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>

#include "platform/md5.h"

namespace pellan::sim {

std::vector<uint8_t> Md5(const uint8_t* data, size_t len) {
    const auto digest = platform::Md5(std::span<const uint8_t>(data, len));
    if (!digest) {
        return {};
    }
    return std::vector<uint8_t>(digest->begin(), digest->end());
}

std::string Md5Hex(const uint8_t* data, size_t len) {
    std::string text;
    char hex[3];
    for (uint8_t b : Md5(data, len)) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    if (ok != nullptr) {
        *ok = static_cast<bool>(in);
    }
    if (!in) {
        return {};
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

void ImageAssembly::Write(uint32_t address, const uint8_t* data, size_t len) {
    ++m_writes;
    if (len == 0 || address < m_base) {
        return;
    }
    const uint32_t begin = address - m_base;
    const uint32_t end = begin + static_cast<uint32_t>(len);
    // Note every already covered stretch that this write lands on.
    auto it = m_covered.upper_bound(begin);
    if (it != m_covered.begin()) {
        --it;
    }
    for (; it != m_covered.end() && it->first < end; ++it) {
        const uint32_t lo = std::max(begin, it->first);
        const uint32_t hi = std::min(end, it->second);
        if (lo < hi) {
            const bool same =
                std::equal(data + (lo - begin), data + (hi - begin), m_bytes.begin() + lo);
            m_overlaps.push_back({lo + m_base, hi - lo, same});
        }
    }
    if (m_bytes.size() < end) {
        m_bytes.resize(end, 0xFF);
    }
    std::copy(data, data + len, m_bytes.begin() + begin);
    // Merge [begin, end) into the covered set.
    uint32_t newBegin = begin;
    uint32_t newEnd = end;
    auto first = m_covered.upper_bound(begin);
    if (first != m_covered.begin() && std::prev(first)->second >= begin) {
        --first;
    }
    auto last = first;
    while (last != m_covered.end() && last->first <= end) {
        newBegin = std::min(newBegin, last->first);
        newEnd = std::max(newEnd, last->second);
        ++last;
    }
    m_covered.erase(first, last);
    m_covered[newBegin] = newEnd;
}

std::vector<ImageAssembly::Range> ImageAssembly::Gaps() const {
    std::vector<Range> gaps;
    uint32_t at = 0;
    for (const auto& [begin, end] : m_covered) {
        if (begin > at) {
            gaps.push_back({at + m_base, begin + m_base});
        }
        at = end;
    }
    return gaps;
}

size_t ImageAssembly::ConflictingOverlaps() const {
    return static_cast<size_t>(std::count_if(m_overlaps.begin(), m_overlaps.end(),
                                             [](const Overlap& o) { return !o.identical; }));
}

bool ImageAssembly::Equals(const std::vector<uint8_t>& expected) const {
    return Gaps().empty() && m_bytes == expected && (!expected.empty() || Empty());
}

bool ImageAssembly::EqualsFile(const std::string& path) const {
    bool ok = false;
    const std::vector<uint8_t> bytes = ReadWholeFile(path, &ok);
    return ok && Equals(bytes);
}

std::string ImageAssembly::Md5Hex() const {
    if (!DigestKept()) {
        m_md5 = sim::Md5Hex(m_bytes.data(), m_bytes.size());
        m_md5Writes = m_writes;
    }
    return m_md5;
}

void ImageAssembly::KeepDigestOf(const ImageAssembly& copy) {
    if (copy.DigestKept() && copy.m_writes == m_writes && copy.m_bytes.size() == m_bytes.size()) {
        m_md5 = copy.m_md5;
        m_md5Writes = m_writes;
    }
}

}  // namespace pellan::sim
