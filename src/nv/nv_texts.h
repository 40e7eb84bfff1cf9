#pragma once

#include <cstdio>
#include <string>

namespace pellan {

// Texts that both NV jobs use, and those that only this system's safer file handling adds.
inline constexpr const char* kNoNvFolderEn = "Line%d No NV directory!";
inline constexpr const char* kNoNvFolderZh = "线路%d上没有指定好NV区备份的目录名";
inline constexpr const char* kNvFolderJobFailedZh = "不能建立NV区目录，请检查备份路径设置是否正确!";
inline constexpr const char* kNvFileWriteFailed = "Cannot write the NV backup file %s, Since %s";
inline constexpr const char* kEarlierBackupKeptEn = "The earlier NV backup was kept as %s";
inline constexpr const char* kEarlierBackupKeptZh = "原NV备份已保存为%s";
inline constexpr const char* kBadNvmFileEn =
    "Line %d failed: NVM file for backup NV doesn't exist or destroyed";
inline constexpr const char* kBadNvmFileZh =
    "在线路%d上被选择用来还原NV区的NVM文件不存在或文件尺寸不对";

// printf-style formatting of a message pattern into a string.
template <typename... Args>
std::string FormatText(const char* pattern, Args... args) {
    const int n = std::snprintf(nullptr, 0, pattern, args...);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, pattern, args...);
    return out;
}

}  // namespace pellan
