#include "LocalCalendar.h"

#include <stdio.h>
#include <time.h>

namespace tk {

namespace {

bool LocalFields(int64_t t, struct tm *tm) {
    time_t tt = (time_t)t;
    return localtime_r(&tt, tm) != nullptr;
}

// Orders local dates: negative, 0 or positive.
int CompareDate(const struct tm &a, const CivilDate &b) {
    if (a.tm_year + 1900 != b.Year) return a.tm_year + 1900 < b.Year ? -1 : 1;
    if (a.tm_mon + 1 != b.Month) return a.tm_mon + 1 < b.Month ? -1 : 1;
    if (a.tm_mday != b.Day) return a.tm_mday < b.Day ? -1 : 1;
    return 0;
}

std::string Format(int64_t t, const char *fmt) {
    struct tm tm;
    if (!LocalFields(t, &tm)) return "?";
    char buf[64];
    strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

// Local noon of a date (which exists on every date), with out-of-range
// fields normalised.
int64_t NoonOf(CivilDate date) {
    struct tm tm = {};
    tm.tm_year = date.Year - 1900;
    tm.tm_mon = date.Month - 1;
    tm.tm_mday = date.Day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return (int64_t)mktime(&tm);
}

}  // namespace

bool ParseDate(const std::string &text, CivilDate *date) {
    int y, m, d, n = 0;
    if (text.size() != 10 || sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &n) != 3 || n != 10) return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m == 2 && d == 29 && !leap) return false;
    *date = {y, m, d};
    return true;
}

CivilDate DateOf(int64_t t) {
    struct tm tm;
    if (!LocalFields(t, &tm)) return {1970, 1, 1};
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

CivilDate Today() { return DateOf((int64_t)time(nullptr)); }

CivilDate AddDays(CivilDate date, int days) {
    date.Day += days;
    return DateOf(NoonOf(date));
}

int64_t DayKeyOf(CivilDate date) {
    int64_t noon = NoonOf(date);
    if (noon == -1) return -1;
    CivilDate want = DateOf(noon);
    // The first second of the date lies within a few hours of noon minus
    // twelve hours, whatever daylight-saving change the date has: search
    // for it rather than trusting mktime's choice around a change.
    int64_t lo = noon - 16 * 3600, hi = noon;
    while (lo < hi) {
        int64_t mid = lo + (hi - lo) / 2;
        struct tm tm;
        if (!LocalFields(mid, &tm)) return -1;
        if (CompareDate(tm, want) < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

int64_t DayStartOf(int64_t t) { return DayKeyOf(DateOf(t)); }

int64_t NextDayKey(int64_t day_key) { return DayKeyOf(AddDays(DateOf(day_key), 1)); }

bool IsDayKey(int64_t t) {
    struct tm a, b;
    if (!LocalFields(t, &a) || !LocalFields(t - 1, &b)) return false;
    return a.tm_mday != b.tm_mday || a.tm_mon != b.tm_mon || a.tm_year != b.tm_year;
}

std::string DateText(CivilDate date) {
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d", date.Year, date.Month, date.Day);
    return buf;
}

std::string DateText(int64_t t) { return Format(t, "%Y-%m-%d"); }
std::string ClockText(int64_t t) { return Format(t, "%H:%M"); }
std::string DateTimeText(int64_t t) { return Format(t, "%Y-%m-%d %H:%M:%S"); }
std::string IsoLocalText(int64_t t) { return Format(t, "%Y-%m-%dT%H:%M:%S"); }

}  // namespace tk
