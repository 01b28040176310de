// Local calendar for the tools.  Day keys are the daemon's own
// (DayStartTime and DateTextToDayStart, linked in from src/Trendkeep.cpp),
// so a tool names a day exactly as the store keys it: the first second of
// a local date.  Everything works in the process's local time zone (TZ).
#ifndef TRENDKEEP_TOOLS_LOCALCALENDAR_H
#define TRENDKEEP_TOOLS_LOCALCALENDAR_H

#include <stdint.h>

#include <string>

namespace tk {

// True when text is a real calendar date written YYYY-MM-DD.
bool IsDateText(const std::string &text);
// Day key of the date that a YYYY-MM-DD text names; -1 when the zone has
// none for it.
int64_t DayKeyOf(const std::string &date_text);
// Day key of the date days after (or before, when negative) the date that
// starts at day_key; -1 when there is none.
int64_t DayKeyAfter(int64_t day_key, int days);
inline int64_t NextDayKey(int64_t day_key) { return DayKeyAfter(day_key, 1); }
// True when t is the day key of its date.
bool IsDayKey(int64_t t);

std::string DateText(int64_t t);      // YYYY-MM-DD, the local date of t
std::string ClockText(int64_t t);     // HH:MM
std::string DateTimeText(int64_t t);  // YYYY-MM-DD HH:MM:SS
std::string IsoLocalText(int64_t t);  // YYYY-MM-DDTHH:MM:SS
std::string IsoZonedText(int64_t t);  // YYYY-MM-DDTHH:MM:SS+HH:MM, the zone's offset then

}  // namespace tk

#endif
