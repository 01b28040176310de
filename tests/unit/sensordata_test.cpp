// The sensor data list on the fake platform: its build, refreshes, sampling and deadline.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <sstream>

#include "SensorData.h"
#include "Trendkeep.h"
#include "fake_platform.h"

namespace {

const uint32_t kT0 = 1796342460;  // the start of a minute: 2026-12-04 00:01 UTC
const std::string kUtilEntries = "65535:CPU_Utilization:3 65534:MEM_Utilization:3 65533:IO_Utilization:3";

LocalSensorData At(uint32_t i) { return g_localdatahdr.SensorData[i]; }  // a copy: the list is packed

std::string Joined(const std::vector<std::string> &parts) {
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : " ") + p;
    return out;
}

// The IPMI calls and pauses, then the store's (how the two interleave is free).
std::string CallsText() {
    std::vector<std::string> calls = g_fake.Calls;
    std::stable_partition(calls.begin(), calls.end(), [](auto &s) { return s.rfind("devid", 0) != 0; });
    return Joined(calls);
}

std::string ListText() {  // "num:name:class" of every entry
    std::vector<std::string> parts;
    for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) {
        LocalSensorData e = At(i);  // a name of 20 characters has no room for its terminator
        std::string name(e.SensorName, strnlen(e.SensorName, 20));
        parts.push_back(std::to_string(e.SensorNum) + ":" + name + ":" + std::to_string(e.SensorClass));
    }
    return Joined(parts);
}

// "D130 function: text" of a failure report "[SensorData.cpp:L][function][L]text\n"; any other as it is.
std::string MessagesText() {
    const std::string head = "[SensorData.cpp:";
    std::vector<std::string> parts;
    for (const LoggedMessage &m : g_fake.Messages) {
        std::string text = m.Text;
        size_t line_end = text.find(']');
        size_t func_end = text.find(']', line_end + 1);
        if (text.rfind(head, 0) == 0 && func_end != std::string::npos && text.back() == '\n') {
            std::string line_tag = "[" + text.substr(head.size(), line_end - head.size()) + "]";
            size_t rest = func_end + 1 + line_tag.size();
            if (text.compare(func_end + 1, line_tag.size(), line_tag) == 0) {
                std::string function = text.substr(line_end + 2, func_end - line_end - 2);
                text = function + ": " + text.substr(rest, text.size() - 1 - rest);
            }
        }
        parts.push_back(m.Kind + std::to_string(m.Level) + " " + text);
    }
    return Joined(parts);
}

class SensorDataTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        Reset();  // the list goes with the test
        g_sleepms = saved_sleep_;
    }
    static void Reset() {
        ResetFakePlatform();
        free(g_localdatahdr.SensorData);
        g_localdatahdr = {};
        g_sensorcount = 0;
        g_sleepms = [](unsigned ms) { g_fake.Calls.push_back("pause" + std::to_string(ms)); };  // one more call
    }
    SleepFn saved_sleep_ = g_sleepms;
};

// Sensors "num:name[:devid[:type[:skip]]]", hex, by default 8000:1:0; "-": no device id, no info record.
void Inventory(const std::string &text) {
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        std::vector<std::string> f;
        std::istringstream fields(word);
        for (std::string field; std::getline(fields, field, ':');) f.push_back(field);
        const char *defaults[] = {"", "", "8000", "1", "0"};
        for (size_t i = f.size(); i < 5; ++i) f.push_back(defaults[i]);
        // The reading, 0.1, leaves no zero byte after a name of 30 characters.
        FakeSensor s{(uint8_t)std::stoi(f[0]), f[1], 0.1, (uint8_t)std::stoi(f[4]), f[3] != "-"};
        s.RecordType = (uint8_t)std::stoi(f[3] == "-" ? "0" : f[3], nullptr, 16);
        if (f[2] != "-") g_fake.DevIds[s.Num] = (uint16_t)std::stoi(f[2], nullptr, 16);
        g_fake.Sensors.push_back(s);
    }
    g_fake.SensorCount = (uint32_t)g_fake.Sensors.size();
}

// Listed in reading order: sensors whose number's first info record is of a type but 0 or 3, without
// skip flag; names cut at 19; the class by device id, 0 when it is not read (said once each).
TEST_F(SensorDataTest, ListsTheReadableSensorsInReadingOrder) {
    Inventory(
        "10:CPU0_Temp 3:Fan1:5000 200:PSU:3000 2:NoInfo:1:- 4:T3:1:3 11:T0:1:0 12:Skip:1:1:1 6:T2:1:2 "
        "7:C0:1:C0 201:NoDevId:- 5:PSU1:5000 9:Event_A:5000:3 5:PSU2:5000:3 9:Event_B:5000 "
        "1:ABCDEFGHIJKLMNOPQRSTUVWXYZ 13:FillsTheWholeThirtyByteNameRoo");
    g_fake.Fail = {"devid:7"};                  // the device id is written all the same
    g_fake.ClaimedCount = 1000;                 // more records claimed than the buffers hold
    g_localdatahdr = {1234, 1, 1, 7, nullptr};  // left dirty: the build clears it
    testing::internal::CaptureStdout();
    EXPECT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    const std::string listed = "10:CPU0_Temp:2 3:Fan1:1 200:PSU:0 6:T2:0 7:C0:0 201:NoDevId:0 5:PSU1:1 5:PSU2:1 ";
    EXPECT_EQ(ListText(), listed + "1:ABCDEFGHIJKLMNOPQRS:2 13:FillsTheWholeThirty:2 " + kUtilEntries);
    EXPECT_TRUE(g_localdatahdr.UpdateTime == 0 && g_localdatahdr.DataReady == 0 && g_localdatahdr.ListReady == 1);
    const char *said = "\\[InitSensorDataList\\]\\[[0-9]+\\]Get sensor devid from redis failed,sensor num:";
    EXPECT_TRUE(testing::internal::RE::FullMatch(out, said + std::string("7\n") + said + "201\n")) << out;
}

TEST(DevIdToClass, RangesWithoutTheirUpperBound) {
    const int cases[][2] = {{0x2FFF, 0}, {0x3000, 0}, {0x3255, 0}, {0x5000, 1}, {0x50C0, 1}, {0x50C1, 0},
                            {0x7000, 1}, {0x703E, 1}, {0x703F, 0}, {0x8000, 2}, {0x8028, 2}, {0x8029, 0},
                            {0x8FFF, 0}, {0x9000, 4}, {0x90FF, 4}, {0x9100, 0}};
    for (const auto &c : cases) EXPECT_EQ(DevIdToClass((uint16_t)c[0]), c[1]) << std::hex << c[0];
}

enum Action { kBuild, kRefresh, kUtil, kRefreshUnbuilt, kUtilUnbuilt };

// The calls of each step, and every failure with its one report.
TEST_F(SensorDataTest, ReportsEveryFailure) {
    const std::string build = "D130 InitSensorDataList: ";
    const std::string refresh = "D130 UpdateSensorReadingToLocalStruct: ";
    const std::string cups = "D130 UpdateCUPSToLocalStruct: Get Cpu cups failed";
    const struct {
        Action Do;
        std::set<std::string> Fail;
        int Result;
        const char *Calls;  // the IPMI calls and pauses, then the store's
        std::string Messages;
    } cases[] = {
        {kBuild, {"session"}, -1, "open", build + "Create local ipmi session failed!"},
        {kBuild, {"readings"}, -1, "open count pause10000 readings close", build + "Get all sensor detal failed"},
        {kRefreshUnbuilt, {}, 0, "", refresh + "Sensors is 0,return"},
        {kRefresh, {"session"}, -1, "open close", refresh + "Create local ipmi session failed!"},
        {kRefresh, {"readings"}, -1, "open readings close", refresh + "Get Sensor info failed"},
        {kRefresh, {"info"}, -1, "open readings info close", refresh + "Get Sensor info failed"},
        {kRefresh, {}, 0, "open readings info close", ""},
        {kUtil, {"cpu", "mem", "io"}, 0, "cpu mem io", cups + " " + cups + " " + cups},
        {kUtilUnbuilt, {}, 0, "cpu mem io", ""}};  // fetched and dropped
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.Do) + " " + c.Calls);
        Reset();
        Inventory("1:A");
        bool prebuilt = c.Do == kRefresh || c.Do == kUtil;
        ASSERT_TRUE(!prebuilt || InitSensorDataList(&g_localdatahdr) == 0);
        g_fake.Calls.clear();
        g_fake.Fail = c.Fail;
        int result = 0;
        if (c.Do == kBuild) result = InitSensorDataList(&g_localdatahdr);
        if (c.Do == kRefresh || c.Do == kRefreshUnbuilt)
            result = UpdateSensorReadingToLocalStruct(&g_localdatahdr, kT0);
        if (c.Do == kUtil || c.Do == kUtilUnbuilt) UpdateCUPSToLocalStruct(&g_localdatahdr, kT0);
        EXPECT_EQ(result, c.Result);
        EXPECT_EQ(CallsText(), c.Calls);
        EXPECT_EQ(MessagesText(), c.Messages);
        EXPECT_EQ(ListText(), prebuilt ? "1:A:2 " + kUtilEntries : "");
        EXPECT_EQ(g_localdatahdr.ListReady == 1 && g_localdatahdr.SensorData != nullptr, prebuilt);
        bool refreshed = c.Result == 0 && c.Do != kBuild && c.Do != kRefreshUnbuilt;
        EXPECT_EQ(g_localdatahdr.UpdateTime == kT0 && g_localdatahdr.DataReady == 1, refreshed);
    }
}

// The count: a zero or failed answer is asked again after each pause; a
// count beyond TK_MAX_SENSORS is cut to it, said once.
TEST_F(SensorDataTest, TheCountIsAskedUntilKnownAndBounded) {
    std::string many;
    for (int i = 0; i < TK_MAX_SENSORS + 6; ++i) many += std::to_string(i % 256) + ":Many ";
    Inventory(many);
    g_fake.SensorCount = 30000;
    g_fake.CountAnswers = {0, -1};
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    const char *calls = "open count pause10000 count pause10000 count pause10000 readings info close devid:0 ";
    EXPECT_EQ(CallsText().rfind(calls, 0), 0u);
    EXPECT_EQ(+g_localdatahdr.SensorCount, (uint32_t)TK_MAX_SENSORS + 3);
    const std::string said = "D130 InitSensorDataList: ";
    EXPECT_EQ(MessagesText(), said + "Get sensor count failed " + said +
                                  "Sensor count 30000 beyond the 1024 the list holds, the rest left out");
}

// "reading max@minute min@minute average" of entry k since kT0; "-": no reading.
std::string EntryText(uint32_t k) {
    LocalSensorData e = At(k);
    char text[96];
    snprintf(text, sizeof text, "%g %g@%u %g@%u %g", +e.Reading, +e.MaxReading, (e.MaxTime - kT0) / 60, +e.MinReading,
             (e.MinTime - kT0) / 60, +e.AvgReading);
    return e.Valid ? text : "-";
}

// A refresh folds in the greatest and least value with the minute each was
// first seen and an average halved with each reading.  An IPMI 0 never lowers
// the least value and restarts the average; a utilisation 0 is a value.
TEST_F(SensorDataTest, RefreshesFoldEachReadingByTheRules) {
    // The readings also hold a listed number under another name, and a sensor never listed.
    Inventory("1:Inlet 2:CPU0 8:MEM_Utilization0");
    g_fake.SensorCount = 5;  // room for the readings beyond the list
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    Inventory("2:Renumbered 9:Unlisted");
    g_fake.Sensors[3].Reading = 99;
    const uint32_t n = g_localdatahdr.SensorCount;
    const struct {
        double Inlet;
        uint8_t Mem;
        const char *Before;  // "recorded": every entry starts anew; else a call that fails
        const char *WantInlet, *WantMem;
    } cases[] = {{10, 30, "", "10 10@0 10@0 10", "30 30@0 30@0 30"},
                 {10, 0, "", "10 10@0 10@0 10", "0 30@0 0@1 15"},
                 {0, 60, "", "0 10@0 10@0 0", "60 60@2 0@1 37.5"},
                 {4, 60, "", "4 10@0 4@3 2", "60 60@2 0@1 48.75"},
                 {8, 1, "mem", "8 10@0 4@3 5", "60 60@2 0@1 48.75"},
                 {30, 20, "readings", "8 10@0 4@3 5", "20 60@2 0@1 34.375"},
                 {NAN, 20, "", "8 10@0 4@3 5", "20 60@2 0@1 27.1875"},
                 {-INFINITY, 20, "recorded", "-", "20 20@7 20@7 20"},
                 {0, 0, "", "0 0@8 0@8 0", "0 20@7 0@8 10"},
                 {20, 255, "", "20 20@9 0@8 10", "255 255@9 0@8 132.5"},
                 {-5, 10, "", "-5 20@9 -5@10 2.5", "10 255@9 0@8 71.25"}};
    for (uint32_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        g_fake.Sensors[0].Reading = c.Inlet;
        g_fake.Mem = c.Mem;
        g_fake.Fail = {c.Before};
        if (strcmp(c.Before, "recorded") == 0) {
            for (uint32_t k = 0; k < n; ++k) g_localdatahdr.SensorData[k].Valid = 0;
        }
        UpdateSensorReadingToLocalStruct(&g_localdatahdr, kT0 + 60 * i);
        UpdateCUPSToLocalStruct(&g_localdatahdr, kT0 + 60 * i);
        EXPECT_EQ(EntryText(0) + " | " + EntryText(n - 2), std::string(c.WantInlet) + " | " + c.WantMem);
        EXPECT_TRUE(At(1).Reading == 0.1 && At(2).Reading == 0.1);
    }
}

// Sampling refreshes once in each new minute of a set 32-bit clock (946685100
// is not set), never holding the list mutex over the platform calls.
TEST_F(SensorDataTest, SamplesOnceInEveryOtherMinuteOfThe32BitClock) {
    Inventory("1:Inlet");
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    const int64_t beyond = sizeof(time_t) > 4 ? (int64_t)INT32_MAX + 61 : 0;
    // Now, the last sample time before and after (the same: no refresh).
    const int64_t cases[][3] = {{kT0 + 25, 0, kT0},
                                {kT0 + 59, kT0, kT0},
                                {kT0 + 60, kT0, kT0 + 60},
                                {kT0 + 30, kT0 + 300, kT0},
                                {beyond, kT0, kT0},
                                {946685100, kT0, kT0},
                                {TK_CLOCK_FLOOR - 1, kT0, kT0},
                                {TK_CLOCK_FLOOR, kT0, TK_CLOCK_FLOOR}};
    for (const auto &c : cases) {
        g_fake.Calls.clear();
        g_localdatahdr.UpdateTime = 0;
        uint32_t last = (uint32_t)c[1];
        bool refreshed = c[2] != c[1];
        EXPECT_EQ(SampleIfNewMinute(&g_localdatahdr, (time_t)c[0], &last), (int)refreshed) << c[0];
        EXPECT_EQ(last, c[2]) << c[0];
        EXPECT_EQ(+g_localdatahdr.UpdateTime, refreshed ? c[2] : 0) << c[0];
        EXPECT_EQ(Joined(g_fake.Calls), refreshed ? "open readings info close cpu mem io" : "") << c[0];
    }
    EXPECT_EQ(Joined(g_fake.CallsUnderListMutex), "");
}

// A refresh has 40 s: each IPMI call gets what is left (1 s at least), past it
// the rest is given up (said once per outage).  A build read gets 600 s.
int64_t g_mono = 0;
int g_readings_ms = 0;  // how long the calls take
int g_info_ms = 0;

TEST_F(SensorDataTest, ARefreshGivesUpWhatItsDeadlineLeavesUnread) {
    Inventory("1:Inlet 2:CPU0");
    MonotonicFn saved = g_monotonicms;
    g_monotonicms = [] { return g_mono; };
    g_fake.OnCall = [](const std::string &call) {
        if (call == "readings") g_mono += g_readings_ms;
        if (call == "info") g_mono += g_info_ms;
    };
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    EXPECT_EQ(g_fake.IpmiTimeouts, std::vector<int>({30, 600, 600}));
    const std::string past = "D130 SensorDataTask: Refresh past its deadline of 40 s, what was not read is given up";
    const struct {
        int ReadingsMs, InfoMs;
        std::vector<int> Timeouts;  // of the open, the readings and, unless given up, the info
        std::string Messages;
    } cases[] = {{1000, 1000, {40, 40, 39}, ""},
                 {25000, 0, {40, 40, 15}, ""},
                 {41000, 0, {40, 40}, past},
                 {39000, 5000, {40, 40, 1}, ""},  // late again: said once
                 {0, 0, {40, 40, 40}, "D134 SensorDataTask: Refresh within its deadline again"}};
    uint32_t last = 0;
    uint32_t t = kT0;
    for (const auto &c : cases) {
        g_fake.Calls.clear();
        g_fake.Messages.clear();
        g_fake.IpmiTimeouts.clear();
        g_fake.Sensors[0].Reading = t;
        g_readings_ms = c.ReadingsMs;
        g_info_ms = c.InfoMs;
        t += 60;
        EXPECT_EQ(SampleIfNewMinute(&g_localdatahdr, t, &last), 1);
        bool info = c.Timeouts.size() == 3;
        EXPECT_EQ(CallsText(), info ? "open readings info close cpu mem io" : "open readings close cpu mem io");
        EXPECT_EQ(g_fake.IpmiTimeouts, c.Timeouts);
        EXPECT_EQ(MessagesText(), c.Messages);
        EXPECT_EQ(+At(0).Reading, t - 60);  // copies: the list is packed
    }
    g_monotonicms = saved;
}

}  // namespace
