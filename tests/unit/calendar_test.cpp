// Day keys: the first second of a local date, from any time of it or from a request's date text.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "Trendkeep.h"
#include "test_support.h"

namespace {

// The local date of t as yyyymmdd, and the time of day in seconds.
int Date(int64_t t, int *second = nullptr) {
    time_t tt = (time_t)t;
    struct tm tm = {};
    localtime_r(&tt, &tm);
    if (second) *second = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// The key of a request's date text, the field alone in its heap block: a read past it is caught.
int64_t KeyOf(const std::string &text) {
    std::vector<char> field(TK_DATE_TEXT_SIZE);
    memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
    return DateTextToDayStart(field.data());
}

TEST(Calendar, EveryTimeOfADateAndEveryTextNamingItGiveItsFirstSecond) {
    const char *berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
    // Springs forward at 00:00 on 29 March 2026, falls back from 01:00 to 00:00 on 25 October.
    const char *jump = "XST-2XDT,M3.5.0/0,M10.5.0/1";
    // Falls back at 00:00 on 15 February 2026 (to 23:00 of the 14th), skips 00:00 on 4 October.
    const char *fall = "AST3ADT,M10.1.0/0,M2.3.0/0";
    const std::string unterminated(TK_DATE_TEXT_SIZE, '7');
    const struct {
        std::string Text;
        const char *Zone;
        int Date, Hour = 0, Hours = 24;  // the date named, its first hour and its length
    } cases[] = {{"2026-12-04T13:45:10", "UTC0", 20261204},
                 {"2026-12-04T00:00:00", "CST-8", 20261204},
                 {" 2026-12-4T99:99:99", "EST5", 20261204},
                 {"2026-13-00", berlin, 20261231},
                 {"2026-03-29T23:00:00", berlin, 20260329, 0, 23},
                 {"2026-03-29T15:00:00", jump, 20260329, 1, 23},
                 {"2026-10-25", jump, 20261025, 0, 25},
                 {"2026-02-14", fall, 20260214, 0, 25},
                 {"2026-10-04", fall, 20261004, 1, 23},
                 {"2038-01-19", "CST-8", 20380119},  // the last date of 32-bit time: its noon lies beyond
                 {"2026-12-04T" + unterminated, "UTC0", 20261204}};  // the field holds no NUL
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Text.substr(0, 24));
        ScopedTimeZone tz(c.Zone);
        int64_t key = KeyOf(c.Text);
        int64_t end = key + c.Hours * 3600;  // the next date's first second
        int second = -1;
        EXPECT_EQ(Date(key, &second), c.Date);
        EXPECT_TRUE(second == c.Hour * 3600 && Date(key - 1) != c.Date);
        EXPECT_TRUE(end > INT32_MAX || (Date(end - 1) == c.Date && Date(end) != c.Date));
        // Seconds of the date (within 32-bit time) with another key.
        int elsewhere = DayStartTime((time_t)std::min<int64_t>(end - 1, INT32_MAX)) != key;
        for (int64_t t = key; t < end && t <= INT32_MAX; t += 599) elsewhere += DayStartTime((time_t)t) != key;
        EXPECT_EQ(elsewhere, 0);
    }
    for (std::string text : {std::string("2026-12-"), std::string("2026/12/04"), std::string("2200-01-01"),
                             std::string("1800-01-01"), std::string("99999999999999999999-1-1"), unterminated})
        EXPECT_EQ(KeyOf(text), TK_NO_DAY_KEY) << text;
    EXPECT_EQ(DateTextToDayStart(nullptr), TK_NO_DAY_KEY);
}

}  // namespace
