#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellan {

constexpr int kLineCount = 8;
constexpr size_t kLineRecordSize = 5932;
constexpr size_t kSettingsFileSize = kLineCount * kLineRecordSize;  // 47,456 bytes

// The stored settings of one line. Texts are NUL-terminated and zero-padded in fixed fields, as
// in the settings file; on disk the record is (de)serialised field by field (see pellan_doc.cpp),
// never copied as it lies in memory. Paths are native paths of the platform.
struct LineRecord {
    std::array<char, 1792> partitionPath{};
    std::array<char, 256> amssPath{};
    std::array<char, 256> firmwareFolder{};
    std::array<char, 516> efsPath{};
    std::array<char, 256> nvFolder{};  // ends with the path separator
    std::array<char, 260> upgradeFile{};
    std::array<char, 260> bootFile{};
    std::array<char, 260> armprgPath{};
    std::array<char, 260> nvmFilePath{};
    int32_t diagPort = 0;  // N of COMN; 0 = none
    int32_t atPort = 0;
    int32_t baud = 0;
    std::array<char, 260> defaultNvFile{};
    std::array<char, 516> swFolder{};
    std::array<char, 260> nandprgPath{};
    std::array<char, 256> dblPath{};
    std::array<char, 256> fsblPath{};
    std::array<char, 256> osblPath{};
};

// Copies `text` into a fixed field, cut so that the terminating zero stays inside the field.
template <size_t N>
void SetField(std::array<char, N>& field, const std::string& text) {
    field.fill(0);
    const size_t n = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(field.data(), n);
}

// The text of a fixed field up to its first zero (or the whole field when it has none).
template <size_t N>
std::string GetField(const std::array<char, N>& field) {
    size_t n = 0;
    while (n < N && field[n] != 0) {
        ++n;
    }
    return std::string(field.data(), n);
}

}  // namespace pellan
