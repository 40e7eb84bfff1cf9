#include "ui/log_stamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace pellan {

LocalTime NowLocal() {
    // std::localtime hands out one shared buffer; several lines stamp their logs at once.
    static std::mutex mutex;
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::lock_guard lock(mutex);
    const std::tm* tm = std::localtime(&now);
    if (tm == nullptr) {
        return {};
    }
    return {tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec};
}

std::string FormatLogStamp(const LocalTime& time) {
    char text[96];
    std::snprintf(text, sizeof text, "%d.%d.%d %d:%d:%d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    return std::string(text) + kLogSeparator;
}

}  // namespace pellan
