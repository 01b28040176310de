// Day keys: local midnight of a time's date, and of a request's date text.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include "Trendkeep.h"
#include "test_support.h"

// Where time_t has 64 bits, mktime here can be made to answer as it does
// with the BMC's 32-bit time_t: a time beyond 32 bits cannot be represented.
// Elsewhere the system's own mktime does so already.
bool g_mktime32 = false;
#if defined(__TIMESIZE) && __TIMESIZE == 64
extern "C" time_t mktime(struct tm *tm) {
    static auto real = reinterpret_cast<time_t (*)(struct tm *)>(dlsym(RTLD_NEXT, "mktime"));
    time_t t = real(tm);
    if (g_mktime32 && (t < INT32_MIN || t > INT32_MAX)) {
        errno = EOVERFLOW;
        return (time_t)-1;
    }
    return t;
}
#endif

namespace {

const char *kUtc = "UTC0";
const char *kUtcPlus8 = "CST-8";
// Central Europe: summer time from the last Sunday of March 02:00 to the
// last Sunday of October 03:00.
const char *kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
// Springs forward at midnight (00:00 -> 01:00) on the last Sunday of March
// and falls back at 01:00 -> 00:00 on the last Sunday of October.
const char *kMidnightChange = "XST-2XDT,M3.5.0/0,M10.5.0/1";
// Falls back at midnight: 00:00 summer time becomes 23:00 of the day before.
const char *kMidnightFallBack = "AST3ADT,M10.1.0/0,M2.3.0/0";

struct tm Local(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return tm;
}

TEST(DayStartTime, GivesLocalMidnightForEveryTimeOfTheDay) {
    for (const char *zone : {kUtc, kUtcPlus8, kBerlin, "EST5", "IST-5:30"}) {
        ScopedTimeZone tz(zone);
        time_t midnight = LocalTime(2026, 12, 4);
        EXPECT_EQ(DayStartTime(LocalTime(2026, 12, 4, 13, 45, 10)), midnight) << zone;
        EXPECT_EQ(DayStartTime(midnight), midnight) << zone;
        EXPECT_EQ(DayStartTime(LocalTime(2026, 12, 4, 23, 59, 59)), midnight) << zone;
        EXPECT_EQ(DayStartTime(midnight - 1), LocalTime(2026, 12, 3)) << zone;
    }
}

TEST(DayStartTime, EastOfUtcTheKeyIsNotAMultipleOfADay) {
    ScopedTimeZone tz(kUtcPlus8);
    // 4 December 2026 00:00 at UTC+8 is 3 December 16:00 UTC.
    time_t key = DayStartTime(LocalTime(2026, 12, 4, 9));
    EXPECT_EQ(key, 1796342400 - 8 * 3600);  // 2026-12-04T00:00Z is 1796342400
    EXPECT_NE(key % 86400, 0);
}

// Every second of a day that daylight saving makes 23 or 25 hours long
// belongs to one day key, the day's real first second.
void ExpectWholeDayMapsToOneKey(int year, int mon, int mday, long expected_length) {
    time_t start = DayStartTime(LocalTime(year, mon, mday, 12));
    struct tm first = Local(start);
    EXPECT_EQ(first.tm_mday, mday);
    EXPECT_EQ(Local(start - 1).tm_mday == mday, false);
    time_t next = DayStartTime(start + 30 * 3600);
    ASSERT_EQ(next - start, expected_length);
    for (time_t t = start; t < next; ++t) {
        if (DayStartTime(t) != start) {
            ADD_FAILURE() << "second " << (t - start) << " of the day maps elsewhere";
            return;
        }
    }
}

TEST(DayStartTime, DaysOf23And25HoursMapToOneKey) {
    ScopedTimeZone tz(kBerlin);
    ExpectWholeDayMapsToOneKey(2026, 3, 29, 23 * 3600);
    ExpectWholeDayMapsToOneKey(2026, 10, 25, 25 * 3600);
    EXPECT_EQ(Local(DayStartTime(LocalTime(2026, 3, 29, 12))).tm_hour, 0);
}

TEST(DayStartTime, DateWithoutMidnightStartsAtItsFirstExistingSecond) {
    ScopedTimeZone tz(kMidnightChange);
    // 29 March 2026: the clock jumps from 23:59:59 to 01:00:00.
    time_t key = DayStartTime(LocalTime(2026, 3, 29, 15));
    struct tm tm = Local(key);
    EXPECT_EQ(tm.tm_mday, 29);
    EXPECT_EQ(tm.tm_hour, 1);
    EXPECT_EQ(tm.tm_min, 0);
    EXPECT_EQ(Local(key - 1).tm_mday, 28);
    ExpectWholeDayMapsToOneKey(2026, 3, 29, 23 * 3600);
    // The fall-back day of the same zone has two 00:xx hours.
    ExpectWholeDayMapsToOneKey(2026, 10, 25, 25 * 3600);
    // The day before the jump is a normal day that ends one second before it.
    ExpectWholeDayMapsToOneKey(2026, 3, 28, 24 * 3600);
}

TEST(DayStartTime, MidnightFallBackKeepsTheDayWhole) {
    ScopedTimeZone tz(kMidnightFallBack);
    // 15 February 2026 (third Sunday): 00:00 summer time becomes 23:00 of
    // the 14th, so the 14th lasts 25 hours.
    ExpectWholeDayMapsToOneKey(2026, 2, 14, 25 * 3600);
    ExpectWholeDayMapsToOneKey(2026, 2, 15, 24 * 3600);
    // 4 October 2026 (first Sunday): 00:00 is skipped.
    ExpectWholeDayMapsToOneKey(2026, 10, 4, 23 * 3600);
}

// Regression: the last date of 32-bit time got no key, as its noon (used
// to find the date) lies past the end of 32-bit time.
TEST(DayStartTime, TheLastDateOf32BitTimeHasItsMidnightAsKey) {
    g_mktime32 = true;
    for (const char *zone : {kUtc, kUtcPlus8}) {
        ScopedTimeZone tz(zone);
        time_t midnight = LocalTime(2038, 1, 19);
        EXPECT_EQ(DateTextToDayStart("2038-01-19T03:14:07"), midnight) << zone;
        EXPECT_EQ(DayStartTime(INT32_MAX), midnight) << zone;
        EXPECT_EQ(DayStartTime(midnight), midnight) << zone;
    }
    g_mktime32 = false;
}

TEST(DateTextToDayStart, TimeOfDayIsIgnored) {
    for (const char *zone : {kUtc, kUtcPlus8, kBerlin}) {
        ScopedTimeZone tz(zone);
        time_t key = DayStartTime(LocalTime(2026, 12, 4, 8));
        EXPECT_EQ(DateTextToDayStart("2026-12-04T13:45:10"), key) << zone;
        EXPECT_EQ(DateTextToDayStart("2026-12-04T00:00:00"), key) << zone;
        EXPECT_EQ(DateTextToDayStart("2026-12-04T17:42:10"), key) << zone;
        EXPECT_EQ(DateTextToDayStart("2026-12-04"), key) << zone;
        EXPECT_EQ(DateTextToDayStart(" 2026-12-4T99:99:99"), key) << zone;
    }
}

TEST(DateTextToDayStart, OutOfRangeFieldsAreNormalised) {
    ScopedTimeZone tz(kBerlin);
    EXPECT_EQ(DateTextToDayStart("2026-13-01T00:00:00"), LocalTime(2027, 1, 1));
    EXPECT_EQ(DateTextToDayStart("2026-12-00T00:00:00"), LocalTime(2026, 11, 30));
    EXPECT_EQ(DateTextToDayStart("2026-12-32T00:00:00"), LocalTime(2027, 1, 1));
    // Summer and winter dates both give true midnight.
    EXPECT_EQ(Local(DateTextToDayStart("2026-07-01T12:00:00")).tm_hour, 0);
    EXPECT_EQ(DateTextToDayStart("2026-03-29T23:00:00"), DayStartTime(LocalTime(2026, 3, 29, 20)));
}

TEST(DateTextToDayStart, TextsThatNameNoDateSelectNoDay) {
    ScopedTimeZone tz(kUtc);
    for (const char *text : {"", "2026", "2026-12", "2026-12-", "2026/12/04", "today", "-", "2026 -12-04",
                             "99999999999999999999-1-1", "2026-99999999999-1", "1000000000-01-01"}) {
        time_t key = DateTextToDayStart(text);
        EXPECT_EQ(key, TK_NO_DAY_KEY) << text;
    }
    EXPECT_EQ(DateTextToDayStart(nullptr), TK_NO_DAY_KEY);
    // Dates that 32-bit day keys cannot carry select no day either.
    EXPECT_EQ(DateTextToDayStart("2200-01-01"), TK_NO_DAY_KEY);
    EXPECT_EQ(DateTextToDayStart("1800-01-01"), TK_NO_DAY_KEY);
}

TEST(DateTextToDayStart, NeverReadsPastTheRequestField) {
    ScopedTimeZone tz(kUtc);
    // A field of exactly 128 bytes with no terminator: a heap block of that
    // size, so a read past it is caught by the address sanitizer.
    char *field = new char[TK_DATE_TEXT_SIZE];
    memset(field, '7', TK_DATE_TEXT_SIZE);
    EXPECT_EQ(DateTextToDayStart(field), TK_NO_DAY_KEY);
    memcpy(field, "2026-12-04T", 11);
    EXPECT_EQ(DateTextToDayStart(field), LocalTime(2026, 12, 4));
    delete[] field;
}

}  // namespace
