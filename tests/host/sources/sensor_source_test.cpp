// The sensor source itself: the built-in table and how moving readings
// follow the local clock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <set>

#include "sensor_source.h"

namespace tk::host {
namespace {

void SetZone(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
}

TEST(BuiltinTable, LooksLikeAServer) {
    auto table = BuiltinSensorTable();
    EXPECT_GE(table->sensors.size(), 35u);
    EXPECT_LE(table->sensors.size(), 45u);
    std::set<unsigned> nums;
    int event_only = 0, skipped = 0;
    for (const HostSensor &s : table->sensors) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(nums.insert(s.num).second) << "number used twice";
        EXPECT_LE(s.name.size(), 19u);
        ASSERT_TRUE(s.devid);
        const unsigned d = *s.devid;
        EXPECT_TRUE((d >= 0x3000 && d <= 0x3255) || (d >= 0x5000 && d <= 0x50C0) ||
                    (d >= 0x7000 && d <= 0x703E) || (d >= 0x8000 && d <= 0x8028));
        event_only += s.type == 3;
        skipped += s.skip != 0;
    }
    EXPECT_EQ(event_only, 1);
    EXPECT_EQ(skipped, 1);
}

TEST(BuiltinTable, ReadingsMoveSmoothlyThroughTheDay) {
    SetZone("UTC");
    auto table = BuiltinSensorTable();
    const time_t midnight = 1700006400;
    for (const HostSensor &s : table->sensors) {
        if (s.skip != 0 || s.type == 3) continue;  // nothing to chart
        SCOPED_TRACE(s.name);
        double low = ReadingAt(s, midnight), high = low, prev = low, biggest_step = 0;
        for (time_t t = midnight + 60; t <= midnight + 2 * 86400; t += 60) {
            double v = ReadingAt(s, t);
            biggest_step = std::max(biggest_step, std::fabs(v - prev));
            low = std::min(low, v);
            high = std::max(high, v);
            prev = v;
        }
        EXPECT_GT(high - low, 0.001 * std::fabs(high)) << "does not move";
        EXPECT_LT(biggest_step, 0.06 * (high - low)) << "jumps";
    }
    const HostSensor &cpu = table->sensors.front();  // warmer in the afternoon
    EXPECT_GT(ReadingAt(cpu, midnight + 15 * 3600), ReadingAt(cpu, midnight + 3 * 3600) + 10);
}

TEST(MovingReading, FollowsTheLocalClock) {
    HostSensor s;
    s.moving = true;
    s.wave = {.base = 20, .swing = 10, .period = 86400, .phase = 15 * 3600};  // peaks at 15:00
    const time_t midnight_utc = 1700006400;
    SetZone("UTC");
    EXPECT_NEAR(ReadingAt(s, midnight_utc + 15 * 3600), 30, 1e-9);
    EXPECT_NEAR(ReadingAt(s, midnight_utc + 3 * 3600), 10, 1e-9);
    SetZone("EST5");  // 15:00 local is 20:00 UTC
    EXPECT_NEAR(ReadingAt(s, midnight_utc + 20 * 3600), 30, 1e-9);
    // The wobble is a second cycle of its own period and size.
    s.wave.swing = 0;
    s.wave.wobble = 2;
    s.wave.wobble_period = 600;
    EXPECT_NEAR(ReadingAt(s, midnight_utc + 150), 22, 1e-9);
    EXPECT_NEAR(ReadingAt(s, midnight_utc + 750), 22, 1e-9);
    SetZone("UTC");
}

}  // namespace
}  // namespace tk::host
