#include "LocalCalendar.h"

#include <stdio.h>
#include <time.h>

#include "Trendkeep.h"

namespace tk {

namespace {

std::string Format(int64_t t, const char *fmt) {
    time_t tt = (time_t)t;
    struct tm tm;
    if (localtime_r(&tt, &tm) == nullptr) return "?";
    char buf[64];
    strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

// The daemon's day key of a date text, or -1 where it has none.
int64_t KeyOfText(const char *text) {
    time_t key = DateTextToDayStart(text);
    return key == TK_NO_DAY_KEY || key == (time_t)-1 ? -1 : (int64_t)key;
}

}  // namespace

bool IsDateText(const std::string &text) {
    int y, m, d, n = 0;
    if (text.size() != 10 || sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &n) != 3 || n != 10) return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1]) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m != 2 || d != 29 || leap;
}

int64_t DayKeyOf(const std::string &date_text) { return KeyOfText(date_text.c_str()); }

int64_t DayKeyAfter(int64_t day_key, int days) {
    time_t t = (time_t)day_key;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return -1;
    // The daemon counts a day of the month beyond the month's end on into
    // the months that follow, as mktime does.  A date that the zone skips
    // altogether has no key: the one beyond it is taken.
    int64_t key = -1;
    for (int step = 0; step < 2 && key == -1; ++step) {
        char text[64];
        snprintf(text, sizeof text, "%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday + days + (days < 0 ? -step : step));
        key = KeyOfText(text);
    }
    return key;
}

bool IsDayKey(int64_t t) { return (int64_t)DayStartTime((time_t)t) == t; }

std::string DateText(int64_t t) { return Format(t, "%Y-%m-%d"); }
std::string ClockText(int64_t t) { return Format(t, "%H:%M"); }
std::string DateTimeText(int64_t t) { return Format(t, "%Y-%m-%d %H:%M:%S"); }
std::string IsoLocalText(int64_t t) { return Format(t, "%Y-%m-%dT%H:%M:%S"); }

std::string IsoZonedText(int64_t t) {
    // strftime writes the offset as +HHMM; ISO 8601's extended form, which
    // Redfish and JSON Schema's date-time want, has a colon in it.
    const std::string text = Format(t, "%Y-%m-%dT%H:%M:%S%z");
    const size_t cut = text.size() - 2;
    return text == "?" ? text : text.substr(0, cut) + ":" + text.substr(cut);
}

}  // namespace tk
