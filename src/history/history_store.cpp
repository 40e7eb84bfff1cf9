#include "history/history_store.h"

#include <chrono>
#include <cstdio>

namespace pellan::history {

bool IsPostgresAddress(const std::string& address) {
    return address.rfind("postgresql://", 0) == 0 || address.rfind("postgres://", 0) == 0;
}

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& address, std::string& error) {
    if (address.empty()) {
        error = "no history store was given";
        return nullptr;
    }
    if (IsPostgresAddress(address)) {
        return OpenPostgresStore(address, error);
    }
    return OpenSqliteStore(address, error);
}

std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

bool ValidSince(const std::string& since) {
    // Digits where the pattern has 9, the separators as they stand; 'T' may be a blank.
    static const char* const kPatterns[] = {"9999-99-99", "9999-99-99T99:99",
                                            "9999-99-99T99:99:99"};
    for (const char* pattern : kPatterns) {
        const std::string p = pattern;
        if (since.size() != p.size()) {
            continue;
        }
        bool ok = true;
        for (size_t i = 0; i < p.size() && ok; ++i) {
            const char c = since[i];
            if (p[i] == '9') {
                ok = c >= '0' && c <= '9';
            } else if (p[i] == 'T') {
                ok = c == 'T' || c == ' ';
            } else {
                ok = c == p[i];
            }
        }
        if (ok) {
            return true;
        }
    }
    return false;
}

}  // namespace pellan::history
