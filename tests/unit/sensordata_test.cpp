// The sensor data list on the fake platform: how it is built, what each
// refresh folds into it, when sampling refreshes, and two threads sharing it.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

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

// The calls made: the IPMI calls and pauses, then the store's (how the two
// interleave is free).
std::string CallsText() {
    std::vector<std::string> calls = g_fake.Calls;
    std::stable_partition(calls.begin(), calls.end(), [](auto &s) { return s.rfind("devid", 0) != 0; });
    return Joined(calls);
}

std::string ListText() {  // "num:name:class" of every entry
    std::vector<std::string> parts;
    for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) {
        LocalSensorData e = At(i);  // a name of 20 characters shows: it has no room for its terminator
        std::string name(e.SensorName, strnlen(e.SensorName, 20));
        parts.push_back(std::to_string(e.SensorNum) + ":" + name + ":" + std::to_string(e.SensorClass));
    }
    return Joined(parts);
}

// "D130 function: text" of a failure report whose prefix names this file
// and the same line twice; any other message as it is.
std::string MessagesText() {
    std::vector<std::string> parts;
    for (const LoggedMessage &m : g_fake.Messages) {
        char func[64];
        int line = 0, again = -1, n = 0;
        const std::string &t = m.Text;
        bool report = sscanf(t.c_str(), "[SensorData.cpp:%d][%63[A-Za-z]][%d]%n", &line, func, &again, &n) == 3 &&
                      line == again && t.back() == '\n';
        parts.push_back(m.Kind + std::to_string(m.Level) + " " +
                        (report ? func + (": " + t.substr(n, t.size() - n - 1)) : t));
    }
    return Joined(parts);
}

std::vector<uint8_t> ListBytes() {
    LocalDataHdr h = g_localdatahdr;
    std::vector<uint8_t> out(sizeof h + (h.SensorData ? h.SensorCount * sizeof(LocalSensorData) : 0));
    memcpy(out.data(), &h, sizeof h);
    if (h.SensorData) memcpy(out.data() + sizeof h, h.SensorData, out.size() - sizeof h);
    return out;
}

class SensorDataTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        Reset();
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

// A sensor of the inventory, with its device id (-1: the store has none)
// and record type (-1: no sensor-info record).
struct S {
    int Num;
    const char *Name;
    int DevId = 0x8000, Type = 1, Skip = 0;
};

void Inventory(const std::vector<S> &sensors) {
    for (const S &s : sensors) {
        // The reading, 0.1, leaves no zero byte after a name of 30 characters.
        g_fake.Sensors.push_back({(uint8_t)s.Num, s.Name, 0.1, (uint8_t)s.Skip, s.Type >= 0, (uint8_t)s.Type});
        if (s.DevId >= 0) g_fake.DevIds[s.Num] = (uint16_t)s.DevId;
    }
    g_fake.SensorCount = (uint32_t)sensors.size();
}

// Which sensors are listed, with what name and class, in reading order.
TEST_F(SensorDataTest, ListsTheReadableSensorsInReadingOrder) {
    const struct {
        const char *Name;
        std::vector<S> Sensors;
        const char *List;  // the entries before the utilisation entries
    } cases[] = {{"classes by device id",
                  {{10, "CPU0_Temp"}, {3, "Fan1", 0x5000}, {200, "PSU", 0x3000}},
                  "10:CPU0_Temp:2 3:Fan1:1 200:PSU:0"},
                 {"no info record, record type 0 or 3, skip flag: left out",
                  {{1, "T1"},
                   {2, "NoInfo", 1, -1},
                   {3, "T0", 1, 0},
                   {4, "T3", 1, 3},
                   {5, "Skip", 1, 1, 1},
                   {6, "T2", 1, 2},
                   {7, "C0", 1, 0xC0}},
                  "1:T1:2 6:T2:0 7:C0:0"},
                 {"one number twice: both listed, judged by its first info record",
                  {{5, "PSU1", 0x5000}, {9, "Event_A", 0x5000, 3}, {5, "PSU2", 0x5000, 3}, {9, "Event_B", 0x5000}},
                  "5:PSU1:1 5:PSU2:1"},
                 {"names cut at 19",
                  {{1, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}, {2, "FillsTheWholeThirtyByteNameRoo"}},
                  "1:ABCDEFGHIJKLMNOPQRS:2 2:FillsTheWholeThirty:2"},
                 {"a device id not read: class 0", {{7, "Half"}, {200, "NoDevId", -1}}, "7:Half:2 200:NoDevId:0"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        Inventory(c.Sensors);
        g_fake.Fail = {"devid:7"};                  // the device id is written all the same
        g_fake.ClaimedCount = 1000;                 // more records claimed than the buffers hold
        g_localdatahdr = {1234, 1, 1, 7, nullptr};  // left dirty: the build clears it
        testing::internal::CaptureStdout();
        EXPECT_EQ(InitSensorDataList(&g_localdatahdr), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ListText(), c.List + (" " + kUtilEntries));
        LocalDataHdr h = g_localdatahdr;
        EXPECT_TRUE(h.UpdateTime == 0 && h.DataReady == 0 && h.ListReady == 1);
        for (uint32_t i = 0; i < h.SensorCount; ++i) {  // nothing but the name, number and class
            LocalSensorData e = At(i);
            EXPECT_TRUE(e.InUse && !e.Valid && !e.MaxTime && !e.MinTime && !e.Reading && !e.MaxReading &&
                        !e.MinReading && !e.AvgReading);
        }
        std::string want;  // each device id not read is said on standard output
        for (const S &s : c.Sensors) {
            if (s.Num != 7 && s.DevId >= 0) continue;
            want += "\\[InitSensorDataList\\]\\[[0-9]+\\]Get sensor devid from redis failed,sensor num:";
            want += std::to_string(s.Num) + "\n";
        }
        EXPECT_TRUE(testing::internal::RE::FullMatch(out, want)) << out;
    }
}

// Device id ranges are [Low, High).
TEST(DevIdToClass, RangesWithoutTheirUpperBound) {
    const int cases[][2] = {{0x2FFF, 0}, {0x3000, 0}, {0x3255, 0}, {0x5000, 1}, {0x50C0, 1}, {0x50C1, 0},
                            {0x7000, 1}, {0x703E, 1}, {0x703F, 0}, {0x8000, 2}, {0x8028, 2}, {0x8029, 0},
                            {0x8FFF, 0}, {0x9000, 4}, {0x90FF, 4}, {0x9100, 0}};
    for (const auto &c : cases) EXPECT_EQ(DevIdToClass((uint16_t)c[0]), c[1]) << std::hex << c[0];
}

enum Action { kBuild, kRefresh, kUtil, kRefreshUnbuilt, kUtilUnbuilt };

// The calls each step makes, and every failure with its one report; a
// refresh that fails leaves the list as it was.
TEST_F(SensorDataTest, ReportsEveryFailure) {
    const struct {
        Action Do;
        std::set<std::string> Fail;
        int Result;
        const char *Calls;  // the IPMI calls and pauses, then the store's
        const char *Messages;
    } cases[] = {{kBuild, {}, 0, "open count pause10000 readings info close devid:1", ""},
                 {kBuild, {"session"}, -1, "open", "D130 InitSensorDataList: Create local ipmi session failed!"},
                 {kBuild,
                  {"readings"},
                  -1,
                  "open count pause10000 readings close",
                  "D130 InitSensorDataList: Get all sensor detal failed"},
                 {kBuild,
                  {"info"},
                  -1,
                  "open count pause10000 readings info close",
                  "D130 InitSensorDataList: Get all sensor detal failed"},
                 {kRefreshUnbuilt, {}, 0, "", "D130 UpdateSensorReadingToLocalStruct: Sensors is 0,return"},
                 {kRefresh,
                  {"session"},
                  -1,
                  "open close",
                  "D130 UpdateSensorReadingToLocalStruct: Create local ipmi session failed!"},
                 {kRefresh,
                  {"readings"},
                  -1,
                  "open readings close",
                  "D130 UpdateSensorReadingToLocalStruct: Get Sensor info failed"},
                 {kRefresh,
                  {"info"},
                  -1,
                  "open readings info close",
                  "D130 UpdateSensorReadingToLocalStruct: Get Sensor info failed"},
                 {kRefresh, {}, 0, "open readings info close", ""},
                 {kUtil,
                  {"cpu", "mem", "io"},
                  0,
                  "cpu mem io",
                  "D130 UpdateCUPSToLocalStruct: Get Cpu cups failed D130 UpdateCUPSToLocalStruct: Get Cpu cups failed "
                  "D130 UpdateCUPSToLocalStruct: Get Cpu cups failed"},
                 {kUtilUnbuilt, {}, 0, "cpu mem io", ""}};  // fetched and dropped
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.Do) + " " + c.Calls);
        Reset();
        Inventory({{1, "A"}});
        bool prebuilt = c.Do == kRefresh || c.Do == kUtil;
        ASSERT_TRUE(!prebuilt || InitSensorDataList(&g_localdatahdr) == 0);
        g_fake.Calls.clear();
        g_fake.Fail = c.Fail;
        std::vector<uint8_t> before = ListBytes();
        int result = 0;
        if (c.Do == kBuild) result = InitSensorDataList(&g_localdatahdr);
        if (c.Do == kRefresh || c.Do == kRefreshUnbuilt)
            result = UpdateSensorReadingToLocalStruct(&g_localdatahdr, kT0);
        if (c.Do == kUtil || c.Do == kUtilUnbuilt) UpdateCUPSToLocalStruct(&g_localdatahdr, kT0);
        EXPECT_EQ(result, c.Result);
        EXPECT_EQ(CallsText(), c.Calls);
        EXPECT_EQ(MessagesText(), c.Messages);
        std::set<std::string> lines;  // the figures' reports tell them apart by the line alone
        for (const LoggedMessage &m : g_fake.Messages) lines.insert(m.Text.substr(0, m.Text.find(']')));
        EXPECT_EQ(lines.size(), g_fake.Messages.size());
        LocalDataHdr h = g_localdatahdr;
        bool built = c.Do == kRefresh || c.Do == kUtil || (c.Do == kBuild && c.Result == 0);
        EXPECT_EQ(ListText(), built ? "1:A:2 " + kUtilEntries : "");
        EXPECT_EQ(h.SensorData != nullptr, built);
        EXPECT_EQ(h.ListReady == 1, built);
        if (c.Do == kBuild) continue;
        bool refreshed = c.Result == 0 && c.Do != kRefreshUnbuilt;
        EXPECT_EQ(ListBytes() == before, !refreshed);
        EXPECT_TRUE(!refreshed || (h.UpdateTime == kT0 && h.DataReady == 1));
    }
}

// The count: a zero or failed answer is asked again after each pause; a
// known count is not asked again.
TEST_F(SensorDataTest, TheCountIsAskedUntilItIsKnown) {
    Inventory({{1, "A"}});
    g_fake.CountAnswers = {0, -1, 1};
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    EXPECT_EQ(CallsText(), "open count pause10000 count pause10000 count pause10000 readings info close devid:1");
    EXPECT_EQ(MessagesText(), "D130 InitSensorDataList: Get sensor count failed");
    free(g_localdatahdr.SensorData);
    g_localdatahdr = {};
    g_fake.Calls.clear();
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    EXPECT_EQ(CallsText(), "open readings info close devid:1");
}

// What one entry should hold by the rules: an IPMI reading of zero never
// lowers the least value and restarts the average; a utilisation figure
// counts its zeros as any value.
struct Model {
    bool Valid = false;
    double Reading = 0, Max = 0, Min = 0, Avg = 0;
    uint32_t MaxTime = 0, MinTime = 0;
    void Fold(double v, uint32_t t, bool ipmi) {
        if (!Valid) Max = Min = v, MaxTime = MinTime = t;
        if (Max < v) Max = v, MaxTime = t;
        if (Min > v && (v != 0.0 || !ipmi)) Min = v, MinTime = t;
        Avg = !Valid || (ipmi && v == 0.0) ? v : (Avg + v) * 0.5;
        Reading = v, Valid = true;
    }
};

bool Same(double a, double b) { return a == b || (isnan(a) && isnan(b)); }

TEST_F(SensorDataTest, RefreshesAgreeWithAModelOfTheRules) {
    // One number twice, a name that starts as a utilisation entry's, and
    // (in the readings only) a sensor never listed and one that took a
    // listed sensor's number.
    Inventory({{1, "Inlet"}, {2, "CPU0"}, {5, "PSU1"}, {5, "PSU2"}, {8, "MEM_Utilization0"}, {7, "Late"}});
    g_fake.SensorCount = 8;
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    std::vector<FakeSensor> all = g_fake.Sensors;
    all.insert(all.begin() + 2, FakeSensor{9, "Unlisted"});
    all.insert(all.begin() + 1, FakeSensor{2, "Renumbered"});
    const uint32_t n = g_localdatahdr.SensorCount;
    std::vector<Model> model(n);
    const double values[] = {0.0, -0.0, 5.0, 10.0, 10.0, 20.0, -5.0, 12.5, NAN, INFINITY, -INFINITY};
    const uint8_t bytes[] = {0, 10, 20, 37, 255};
    std::mt19937 rng(20260329);
    uint32_t t = kT0, updated = 0;
    bool ready = false;
    for (int step = 0; step < 600; ++step, t += 60) {
        int op = (int)(rng() % 6);
        g_fake.Fail.clear();
        g_fake.ClaimedCount = rng() % 8 ? 0 : 1000;
        if (op <= 1) {  // IPMI readings, of some sensors absent, skipped, or of a changed record type
            g_fake.Sensors.clear();
            for (FakeSensor s : all) {
                int state = (int)(rng() % 24);
                s.Reading = values[rng() % 11], s.Skip = state == 1, s.HasInfo = state != 2;
                s.RecordType = state == 3 ? 3 : state == 4 ? 0 : 1;
                if (state) g_fake.Sensors.push_back(s);
            }
            if (rng() % 10 == 0) g_fake.Fail = {rng() % 2 ? "session" : rng() % 2 ? "readings" : "info"};
            int result = UpdateSensorReadingToLocalStruct(&g_localdatahdr, t);
            ASSERT_EQ(result, g_fake.Fail.empty() ? 0 : -1);
            for (size_t i = 0; result == 0 && i < g_fake.Sensors.size(); ++i) {
                const FakeSensor &s = g_fake.Sensors[i];
                auto info = std::find_if(g_fake.Sensors.begin(), g_fake.Sensors.end(),
                                         [&](auto &o) { return o.Num == s.Num && o.HasInfo; });
                if (info == g_fake.Sensors.end() || info->RecordType == 0 || info->RecordType == 3 || s.Skip) continue;
                if (!std::isfinite(s.Reading)) continue;  // not a reading
                for (uint32_t k = 0; k < n; ++k)
                    if (At(k).SensorNum == s.Num && s.Name == At(k).SensorName) {
                        model[k].Fold(s.Reading, t, true);
                        break;
                    }
            }
            if (result == 0) updated = t, ready = true;
        } else if (op <= 3) {  // the utilisation figures, of which any may fail
            const uint8_t got[] = {bytes[rng() % 5], bytes[rng() % 5], bytes[rng() % 5]};
            g_fake.Cpu = got[0], g_fake.Mem = got[1], g_fake.Io = got[2];
            const char *figures[] = {"cpu", "mem", "io"};
            for (int f = 0; f < 3; ++f)
                if (rng() % 6 == 0) g_fake.Fail.insert(figures[f]);
            UpdateCUPSToLocalStruct(&g_localdatahdr, t);
            for (int f = 0; f < 3; ++f)
                if (!g_fake.Fail.count(figures[f])) model[n - 3 + f].Fold(got[f], t, false);
            updated = t, ready = true;
        } else if (op == 4) {  // recorded: every entry starts a new period
            for (uint32_t k = 0; k < n; ++k) g_localdatahdr.SensorData[k].Valid = 0, model[k].Valid = false;
            g_localdatahdr.DataReady = 0, ready = false;
        }
        LocalDataHdr h = g_localdatahdr;
        ASSERT_TRUE(h.UpdateTime == updated && h.DataReady == ready && h.SensorCount == n) << "step " << step;
        for (uint32_t k = 0; k < n; ++k) {
            LocalSensorData e = At(k);
            const Model &m = model[k];
            ASSERT_TRUE(e.Valid == m.Valid && Same(e.Reading, m.Reading) && Same(e.MaxReading, m.Max) &&
                        Same(e.MinReading, m.Min) && Same(e.AvgReading, m.Avg) && e.MaxTime == m.MaxTime &&
                        e.MinTime == m.MinTime && e.InUse == 1)
                << "step " << step << ", entry " << k << ": " << e.Reading << " " << e.MaxReading << "@" << e.MaxTime
                << " " << e.MinReading << "@" << e.MinTime << " " << e.AvgReading;
        }
    }
}

TEST_F(SensorDataTest, SamplesOnceInEveryOtherMinuteOfThe32BitClock) {
    Inventory({{1, "Inlet"}});
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    const int64_t beyond = sizeof(time_t) > 4 ? (int64_t)INT32_MAX + 61 : 0;
    const struct {
        int64_t Now;
        uint32_t Last, Refreshed, LastAfter;
    } cases[] = {{kT0 + 25, 0, 1, kT0},
                 {kT0 + 59, kT0, 0, kT0},
                 {kT0 + 60, kT0, 1, kT0 + 60},
                 {kT0 + 30, kT0 + 300, 1, kT0},  // the clock set back
                 {0, kT0, 0, kT0},
                 {-1, kT0, 0, kT0},
                 {-61, kT0, 0, kT0},
                 {-86400L * 365, kT0, 0, kT0},
                 {beyond, kT0, 0, kT0},
                 {946685100, kT0, 0, kT0},  // a clock not yet set: 2000-01-01 00:05 UTC
                 {TK_CLOCK_FLOOR - 1, kT0, 0, kT0},
                 {TK_CLOCK_FLOOR, kT0, 1, TK_CLOCK_FLOOR}};
    for (const auto &c : cases) {
        g_fake.Calls.clear();
        g_localdatahdr.UpdateTime = 0;
        uint32_t last = c.Last;
        EXPECT_EQ(SampleIfNewMinute(&g_localdatahdr, (time_t)c.Now, &last), (int)c.Refreshed) << c.Now;
        EXPECT_EQ(last, c.LastAfter) << c.Now;
        EXPECT_EQ((uint32_t)g_localdatahdr.UpdateTime, c.Refreshed ? c.LastAfter : 0) << c.Now;
        EXPECT_EQ(Joined(g_fake.Calls), c.Refreshed ? "open readings info close cpu mem io" : "") << c.Now;
    }
    // The controller and the information store are read without the list mutex.
    EXPECT_EQ(Joined(g_fake.CallsUnderListMutex), "");
}

// A controller that answers slowly: each refresh has a deadline of 40 s on
// the monotonic clock.  Each IPMI call gets what is left of it (1 s at
// least); past it, the rest of the controller is given up (a
// sensor-info fetch then keeps the records of the last one) and said once
// per outage.  The utilisation figures are read whatever the controller did.
int64_t g_mono = 0;

TEST_F(SensorDataTest, ARefreshGivesUpWhatItsDeadlineLeavesUnread) {
    Inventory({{1, "Inlet"}, {2, "CPU0"}});
    MonotonicFn saved = g_monotonicms;
    g_monotonicms = [] { return g_mono; };
    // The build may read every record for ten minutes: a list short of sensors would stay so.
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    std::vector<int> build_timeouts = g_fake.IpmiTimeouts;
    EXPECT_EQ(build_timeouts, std::vector<int>({30, 600, 600}));
    const struct {
        const char *Name;
        int ReadingsMs, InfoMs;  // how long each call takes
        const char *Calls, *Timeouts, *Messages;
        double Inlet;  // Inlet's reading after the refresh
    } cases[] = {
        {"in time", 1000, 1000, "open readings info close cpu mem io", "40 40 39", "", 1.0},
        {"readings take 25 s: the info fetch gets the 15 s left", 25000, 0, "open readings info close cpu mem io",
         "40 40 15", "", 2.0},
        {"past the deadline after the readings: the info of the last fetch kept", 41000, 0,
         "open readings close cpu mem io", "40 40",
         "D130 SensorDataTask: Refresh past its deadline of 40 s, what was not read is given up", 3.0},
        {"late again: said once", 39000, 5000, "open readings info close cpu mem io", "40 40 1", "", 4.0},
        {"back in time", 0, 0, "open readings info close cpu mem io", "40 40 40",
         "D134 SensorDataTask: Refresh within its deadline again", 5.0},
    };
    uint32_t last = 0;
    uint32_t t = kT0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        g_fake.Calls.clear();
        g_fake.Messages.clear();
        g_fake.IpmiTimeouts.clear();
        g_fake.Sensors[0].Reading = c.Inlet;
        const int readings_ms = c.ReadingsMs;
        const int info_ms = c.InfoMs;
        g_fake.OnCall = [readings_ms, info_ms](const std::string &call) {
            if (call == "readings") g_mono += readings_ms;
            if (call == "info") g_mono += info_ms;
        };
        t += 60;
        EXPECT_EQ(SampleIfNewMinute(&g_localdatahdr, t, &last), 1);
        EXPECT_EQ(CallsText(), c.Calls);
        std::vector<std::string> timeouts;
        for (int timeout : g_fake.IpmiTimeouts) timeouts.push_back(std::to_string(timeout));
        EXPECT_EQ(Joined(timeouts), c.Timeouts);
        EXPECT_EQ(MessagesText(), c.Messages);
        EXPECT_EQ(+At(0).Reading, c.Inlet);  // copies: the list is packed
        EXPECT_EQ(+g_localdatahdr.UpdateTime, t);
    }
    g_monotonicms = saved;
}

// A controller may claim any number of sensors: the list takes the first
// TK_MAX_SENSORS of them and says so once.
TEST_F(SensorDataTest, TheListHoldsAtMostItsBoundOfSensors) {
    std::vector<S> many;
    for (int i = 0; i < TK_MAX_SENSORS + 6; ++i) many.push_back({i % 256, "Many"});
    Inventory(many);
    g_fake.SensorCount = 30000;
    ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
    EXPECT_EQ(g_sensorcount, (uint32_t)TK_MAX_SENSORS);
    EXPECT_EQ(+g_localdatahdr.SensorCount, (uint32_t)TK_MAX_SENSORS + 3);
    EXPECT_EQ(MessagesText(),
              "D130 InitSensorDataList: Sensor count 30000 beyond the 1024 the list holds, the rest left out");
}

TEST_F(SensorDataTest, BuildingSamplingAndRecordingShareTheListUnderTheMutex) {
    Inventory({{1, "Inlet"}, {2, "CPU0"}});
    g_fake.CountAnswers = {0, 0, 2};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        EXPECT_EQ(InitSensorDataList(&g_localdatahdr), 0);
        for (uint32_t i = 0, last = 0; i < 300; ++i) SampleIfNewMinute(&g_localdatahdr, kT0 + 60 * i + 7, &last);
        done = true;
    });
    int bad = 0;  // as the store thread does: waits for the list, then records it
    for (bool finished = false; !finished; std::this_thread::yield()) {
        finished = done.load();
        pthread_mutex_lock(&g_sensordatamutex);
        LocalDataHdr h = g_localdatahdr;
        bad += h.ListReady && ListText() != "1:Inlet:2 2:CPU0:2 " + kUtilEntries;
        for (uint32_t i = 0; h.ListReady && i < h.SensorCount; ++i) {
            LocalSensorData e = h.SensorData[i];
            bad += e.Valid && (e.MaxTime > h.UpdateTime || e.MinReading > e.MaxReading);
            h.SensorData[i].Valid = 0;
        }
        g_localdatahdr.DataReady = 0;
        pthread_mutex_unlock(&g_sensordatamutex);
    }
    sampler.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ((uint32_t)g_localdatahdr.UpdateTime, kT0 + 60 * 299);
}

}  // namespace
