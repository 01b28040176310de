// Helpers shared by the unit tests: time zones, temporary directories and
// local times.
#ifndef TRENDKEEP_TESTS_TEST_SUPPORT_H
#define TRENDKEEP_TESTS_TEST_SUPPORT_H

#include <time.h>

#include <string>

// Sets the process's time zone (a POSIX TZ string, so no zone database is
// needed) for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *tz);
    ~ScopedTimeZone();

private:
    std::string old_;
    bool had_old_;
};

// Epoch time of a local date and time in the current zone (isdst decided
// by mktime).
time_t LocalTime(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0);

// A fresh directory under /tmp, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

#endif
