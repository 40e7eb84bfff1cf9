#pragma once

#include <chrono>
#include <string>

namespace pellan {

// A moment of the local wall clock, as the line log shows it.
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The separator between a line log stamp and its text.
constexpr const char* kLogSeparator = "\u2014\u2014";

// The local time of `at`; safe to call from any thread.
LocalTime LocalTimeAt(std::chrono::system_clock::time_point at);

// The local time now.
LocalTime NowLocal();

// "2012.3.5 9:7:3——": every number plain, without leading zeros, then the separator.
std::string FormatLogStamp(const LocalTime& time);

}  // namespace pellan
