#include "platform/log_stamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace pellan {

LocalTime LocalTimeAt(std::chrono::system_clock::time_point at) {
    // std::localtime hands out one shared buffer, and the line logs, the job log files and the
    // NV backup names are stamped from several threads at once: every caller goes through here.
    static std::mutex mutex;
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::lock_guard lock(mutex);
    const std::tm* tm = std::localtime(&t);
    if (tm == nullptr) {
        return {};
    }
    return {tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec};
}

LocalTime NowLocal() {
    return LocalTimeAt(std::chrono::system_clock::now());
}

std::string FormatLogStamp(const LocalTime& time) {
    char text[96];
    std::snprintf(text, sizeof text, "%d.%d.%d %d:%d:%d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    return std::string(text) + kLogSeparator;
}

}  // namespace pellan
