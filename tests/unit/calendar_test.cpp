// Day keys: the first second of a local date, from any time of it or from a
// request's date text, across zones and daylight-saving days.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "Trendkeep.h"
#include "test_support.h"

// Where time_t has 64 bits, mktime can be made to fail beyond 32-bit time,
// as it does on the BMC.
bool g_mktime32 = false;
#if defined(__TIMESIZE) && __TIMESIZE == 64
extern "C" time_t mktime(struct tm *tm) {
    static auto real = reinterpret_cast<time_t (*)(struct tm *)>(dlsym(RTLD_NEXT, "mktime"));
    time_t t = real(tm);
    if (!g_mktime32 || (t >= INT32_MIN && t <= INT32_MAX)) return t;
    errno = EOVERFLOW;
    return -1;
}
#endif

namespace {

// The local date of t as year * 10000 + month * 100 + day, and the time of
// day in seconds.
int Date(int64_t t, int *second = nullptr) {
    time_t tt = (time_t)t;
    struct tm tm = {};
    localtime_r(&tt, &tm);
    if (second) *second = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

TEST(Calendar, EveryTimeOfADateAndEveryTextNamingItGiveItsFirstSecond) {
    const char *berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
    // Springs forward at 00:00 on 29 March 2026, falls back from 01:00 to 00:00 on 25 October.
    const char *jump = "XST-2XDT,M3.5.0/0,M10.5.0/1";
    // Falls back at 00:00 on 15 February 2026 (to 23:00 of the 14th), skips 00:00 on 4 October.
    const char *fall = "AST3ADT,M10.1.0/0,M2.3.0/0";
    const std::string unterminated(TK_DATE_TEXT_SIZE, '7');
    const struct {
        const char *Zone;
        std::string Text;
        int Date = 0, Hour = 0, Hours = 24;  // the date named, its first hour and its length; 0: no day
        bool Mktime32 = false;
    } cases[] = {
        {"UTC0", "2026-12-04T13:45:10", 20261204},
        {"CST-8", "2026-12-04T00:00:00", 20261204},
        {"IST-5:30", "2026-12-04", 20261204},
        {"EST5", " 2026-12-4T99:99:99", 20261204},
        {berlin, "2026-13-01T00:00:00", 20270101},
        {berlin, "2026-12-00", 20261130},
        {berlin, "2026-12-32", 20270101},
        {berlin, "2026-03-29T23:00:00", 20260329, 0, 23},
        {berlin, "2026-10-25T12:00:00", 20261025, 0, 25},
        {berlin, "2026-07-01T12:00:00", 20260701},
        {jump, "2026-03-28", 20260328},
        {jump, "2026-03-29T15:00:00", 20260329, 1, 23},
        {jump, "2026-10-25", 20261025, 0, 25},
        {fall, "2026-02-14", 20260214, 0, 25},
        {fall, "2026-02-15", 20260215},
        {fall, "2026-10-04", 20261004, 1, 23},
        // Regression: the last date of 32-bit time had no key, its noon lying beyond.
        {"UTC0", "2038-01-19T03:14:07", 20380119, 0, 24, true},
        {"CST-8", "2038-01-19", 20380119, 0, 24, true},
        {"UTC0", "2026-12-04T" + unterminated, 20261204},  // the field holds no NUL
        {"UTC0", ""},
        {"UTC0", "2026"},
        {"UTC0", "2026-12"},
        {"UTC0", "2026-12-"},
        {"UTC0", "2026/12/04"},
        {"UTC0", "today"},
        {"UTC0", "-"},
        {"UTC0", "2026 -12-04"},
        {"UTC0", "99999999999999999999-1-1"},
        {"UTC0", "2026-99999999999-1"},
        {"UTC0", "1000000000-01-01"},
        {"UTC0", "2200-01-01"},
        {"UTC0", "1800-01-01"},
        {"UTC0", unterminated},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.Zone) + " " + c.Text.substr(0, 24));
        ScopedTimeZone tz(c.Zone);
        g_mktime32 = c.Mktime32;
        // The request's field alone in its heap block: a read past it is caught.
        std::unique_ptr<char[]> field(new char[TK_DATE_TEXT_SIZE]());
        memcpy(field.get(), c.Text.data(), std::min(c.Text.size(), (size_t)TK_DATE_TEXT_SIZE));
        int64_t key = DateTextToDayStart(field.get());
        int64_t end = key + c.Hours * 3600;  // the next date's first second
        int second = -1;
        EXPECT_EQ(c.Date ? Date(key, &second) : key, c.Date ? c.Date : TK_NO_DAY_KEY);
        EXPECT_TRUE(!c.Date || (second == c.Hour * 3600 && Date(key - 1) != c.Date));
        EXPECT_TRUE(!c.Date || end > INT32_MAX || (Date(end - 1) == c.Date && Date(end) != c.Date));
        // Every second of the date (within 32-bit time) has the same key.
        int elsewhere = c.Date && DayStartTime((time_t)std::min<int64_t>(end - 1, INT32_MAX)) != key;
        for (int64_t t = key; c.Date && t < end && t <= INT32_MAX; t += 599)
            elsewhere += DayStartTime((time_t)t) != key;
        EXPECT_EQ(elsewhere, 0);
    }
    g_mktime32 = false;
    EXPECT_EQ(DateTextToDayStart(nullptr), TK_NO_DAY_KEY);
}

}  // namespace
