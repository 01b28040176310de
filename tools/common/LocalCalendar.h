// Local calendar for the tools, in the same terms as the daemon's day keys:
// a day key is the first second of a local date (local midnight, or the
// first second that exists when a daylight-saving change skips midnight).
// Everything works in the process's local time zone (TZ).
#ifndef TRENDKEEP_TOOLS_LOCALCALENDAR_H
#define TRENDKEEP_TOOLS_LOCALCALENDAR_H

#include <stdint.h>

#include <string>

namespace tk {

struct CivilDate {
    int Year;
    int Month;  // 1..12
    int Day;    // 1..31
};

// Parses "YYYY-MM-DD" (a real calendar date).  Returns false otherwise.
bool ParseDate(const std::string &text, CivilDate *date);

// Local date of t.
CivilDate DateOf(int64_t t);
// Today's local date.
CivilDate Today();
// The date days after (or before, when negative) date.
CivilDate AddDays(CivilDate date, int days);

// Day key of a date; -1 when the system cannot represent it.
int64_t DayKeyOf(CivilDate date);
// Day key of the date of t.
int64_t DayStartOf(int64_t t);
// Day key of the date after the one that starts at day_key.
int64_t NextDayKey(int64_t day_key);
// True when t is the day key of its date.
bool IsDayKey(int64_t t);

std::string DateText(CivilDate date);         // YYYY-MM-DD
std::string DateText(int64_t t);              // local date of t
std::string ClockText(int64_t t);             // HH:MM
std::string DateTimeText(int64_t t);          // YYYY-MM-DD HH:MM:SS
std::string IsoLocalText(int64_t t);          // YYYY-MM-DDTHH:MM:SS

}  // namespace tk

#endif
