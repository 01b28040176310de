// Helpers of the unit tests and the fuzzers: time zones, local times, temporary directories.
#ifndef TRENDKEEP_TESTS_TEST_SUPPORT_H
#define TRENDKEEP_TESTS_TEST_SUPPORT_H

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <string>

// Sets the time zone (a POSIX TZ string: no zone database); null: the system's.
inline void SetTimeZone(const char *tz) {
    if (tz != nullptr) setenv("TZ", tz, 1);
    if (tz == nullptr) unsetenv("TZ");
    tzset();
}

// A time zone for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *tz) : had_old_(getenv("TZ") != nullptr), old_(had_old_ ? getenv("TZ") : "") {
        SetTimeZone(tz);
    }
    ~ScopedTimeZone() { SetTimeZone(had_old_ ? old_.c_str() : nullptr); }

private:
    bool had_old_;
    std::string old_;
};

// Epoch time of a local date and time in the current zone.
inline time_t LocalTime(int year, int mon, int mday, int hour = 0, int min = 0) {
    struct tm tm = {0, min, hour, mday, mon - 1, year - 1900, 0, 0, -1, 0, nullptr};
    return mktime(&tm);
}

// A fresh directory under base, removed with its contents at the end.
class TempDir {
public:
    explicit TempDir(const char *base = "/tmp") : path_(std::string(base) + "/trendkeep-test-XXXXXX") {
        if (mkdtemp(path_.data()) == nullptr) path_.clear();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

#endif
