#include "test_support.h"

#include <stdlib.h>

#include <filesystem>

ScopedTimeZone::ScopedTimeZone(const char *tz) {
    const char *old = getenv("TZ");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (had_old_) {
        setenv("TZ", old_.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

time_t LocalTime(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/trendkeep-test-XXXXXX";
    path_ = mkdtemp(tmpl);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
