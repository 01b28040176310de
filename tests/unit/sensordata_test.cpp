// The sensor data list on the fake platform: how it is built from the IPMI
// inventory and the device ids of the information store, how each minute's
// IPMI readings and utilisation figures are folded into its entries, when
// the sampling step refreshes it, and how the sampling thread shares it with
// the store thread.
#include <gtest/gtest.h>
#include <math.h>
#include <pthread.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SensorData.h"
#include "Trendkeep.h"
#include "fake_platform.h"

namespace {

// Sample times: the starts of six successive minutes.
const uint32_t kT0 = 1700000040;
const uint32_t kT1 = kT0 + 60;
const uint32_t kT2 = kT0 + 120;
const uint32_t kT3 = kT0 + 180;
const uint32_t kT4 = kT0 + 240;
const uint32_t kT5 = kT0 + 300;

const std::vector<std::string> kUtilNames = {"CPU_Utilization", "MEM_Utilization", "IO_Utilization"};

// ---------------------------------------------------------------------------
// Seams: the module's pauses and clock.

// Every pause the module takes: its length and how many IPMI calls had been
// made before it, which places it among those calls.
std::mutex g_pausemutex;
std::vector<std::pair<unsigned, size_t>> g_pauses;
// Run after each recorded pause (a test's way out of an endless loop).
std::function<void()> g_afterpause;

void RecordPause(unsigned ms) {
    size_t calls;
    {
        std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
        calls = g_fake.IpmiCalls.size();
    }
    {
        std::lock_guard<std::mutex> lock(g_pausemutex);
        g_pauses.push_back({ms, calls});
    }
    if (g_afterpause) g_afterpause();
    std::this_thread::yield();
}

std::vector<std::pair<unsigned, size_t>> PauseLog() {
    std::lock_guard<std::mutex> lock(g_pausemutex);
    return g_pauses;
}

// Successive answers of the clock; the last one repeats.
std::vector<time_t> g_clocktimes;
size_t g_clockreads = 0;

time_t FakeClock(time_t *out) {
    time_t now = 0;
    if (!g_clocktimes.empty()) now = g_clocktimes[std::min(g_clockreads, g_clocktimes.size() - 1)];
    ++g_clockreads;
    if (out != nullptr) *out = now;
    return now;
}

// ---------------------------------------------------------------------------
// Unpacked views of the list.  The list's structures are packed, so tests
// compare these copies instead of binding references to packed fields.

struct Header {
    uint32_t UpdateTime;
    unsigned DataReady;
    unsigned ListReady;
    uint32_t SensorCount;
    const LocalSensorData *SensorData;
};

Header HeaderNow() {
    LocalDataHdr h = g_localdatahdr;
    return {h.UpdateTime, h.DataReady, h.ListReady, h.SensorCount, h.SensorData};
}

struct Entry {
    unsigned InUse, Valid;
    std::string Name;
    bool NameTerminated;
    unsigned Num, Class;
    uint32_t MaxTime, MinTime;
    double Reading, Max, Min, Avg;
};

Entry At(uint32_t i) {
    LocalSensorData raw = g_localdatahdr.SensorData[i];
    Entry e;
    e.InUse = raw.InUse;
    e.Valid = raw.Valid;
    size_t len = strnlen(raw.SensorName, SENSOR_NAME_SIZE);
    e.Name.assign(raw.SensorName, len);
    e.NameTerminated = len < SENSOR_NAME_SIZE;
    e.Num = raw.SensorNum;
    e.Class = raw.SensorClass;
    e.MaxTime = raw.MaxTime;
    e.MinTime = raw.MinTime;
    e.Reading = raw.Reading;
    e.Max = raw.MaxReading;
    e.Min = raw.MinReading;
    e.Avg = raw.AvgReading;
    return e;
}

std::vector<Entry> Entries() {
    std::vector<Entry> out;
    for (uint32_t i = 0; i < HeaderNow().SensorCount; ++i) out.push_back(At(i));
    return out;
}

// One field of every entry in use, in list order.
template <typename F>
auto Column(F f) {
    std::vector<decltype(f(std::declval<const Entry &>()))> out;
    for (const Entry &e : Entries()) out.push_back(f(e));
    return out;
}

std::vector<std::string> Names() {
    return Column([](const Entry &e) { return e.Name; });
}

// The raw bytes of one entry, and of the header with all entries in use:
// what a test compares to show that nothing changed (NaN included).
std::vector<uint8_t> EntryBytes(uint32_t i) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(g_localdatahdr.SensorData + i);
    return std::vector<uint8_t>(p, p + sizeof(LocalSensorData));
}

std::vector<uint8_t> ListBytes() {
    LocalDataHdr h = g_localdatahdr;
    size_t entries = h.SensorData != nullptr ? (size_t)h.SensorCount * sizeof(LocalSensorData) : 0;
    std::vector<uint8_t> out(sizeof h + entries);
    memcpy(out.data(), &h, sizeof h);
    if (entries != 0) memcpy(out.data() + sizeof h, h.SensorData, entries);
    return out;
}

// Every entry a fresh list holds: in use, never refreshed, all figures 0.
void ExpectFreshEntry(const Entry &e) {
    EXPECT_EQ(e.InUse, 1u);
    EXPECT_EQ(e.Valid, 0u);
    EXPECT_TRUE(e.NameTerminated);
    EXPECT_EQ(e.MaxTime, 0u);
    EXPECT_EQ(e.MinTime, 0u);
    EXPECT_EQ(e.Reading, 0.0);
    EXPECT_EQ(e.Max, 0.0);
    EXPECT_EQ(e.Min, 0.0);
    EXPECT_EQ(e.Avg, 0.0);
}

// An entry whose period was just started by reading v at time t.
void ExpectSeeded(const Entry &e, double v, uint32_t t) {
    EXPECT_EQ(e.Valid, 1u);
    EXPECT_EQ(e.InUse, 1u);
    EXPECT_DOUBLE_EQ(e.Reading, v);
    EXPECT_DOUBLE_EQ(e.Max, v);
    EXPECT_DOUBLE_EQ(e.Min, v);
    EXPECT_DOUBLE_EQ(e.Avg, v);
    EXPECT_EQ(e.MaxTime, t);
    EXPECT_EQ(e.MinTime, t);
}

// ---------------------------------------------------------------------------
// Messages.

std::vector<LoggedMessage> MessagesWith(const std::string &text) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    std::vector<LoggedMessage> out;
    for (const LoggedMessage &m : g_fake.Messages) {
        if (m.Text.find(text) != std::string::npos) out.push_back(m);
    }
    return out;
}

// Matches text as a whole against a POSIX extended regular expression and
// returns its groups (group 0 is the whole text); empty when it does not
// match.
std::vector<std::string> Match(const std::string &text, const char *pattern) {
    regex_t re;
    if (regcomp(&re, pattern, REG_EXTENDED) != 0) {
        ADD_FAILURE() << "bad pattern " << pattern;
        return {};
    }
    std::vector<regmatch_t> found(re.re_nsub + 1);
    std::vector<std::string> groups;
    if (regexec(&re, text.c_str(), found.size(), found.data(), 0) == 0 && found[0].rm_so == 0 &&
        (size_t)found[0].rm_eo == text.size()) {
        for (const regmatch_t &g : found) {
            groups.push_back(g.rm_so < 0 ? std::string() : text.substr(g.rm_so, g.rm_eo - g.rm_so));
        }
    }
    regfree(&re);
    return groups;
}

// A failure report: "[file:line][function][line]text\n"; groups 2 and 4
// are the lines, 3 the function and 5 the text.
const char *const kFailureForm = R"(\[SensorData(\.cpp)?:([0-9]+)\]\[([A-Za-z]+)\]\[([0-9]+)\](.*))";

// Checks that m is a failure report of func: level 130 through the debug
// output, in the form above with this module as the file.  Returns the
// first line value ("" when the form is wrong).
std::string ExpectFailureForm(const LoggedMessage &m, const std::string &func, const std::string &text) {
    EXPECT_EQ(m.Kind, 'D') << m.Text;
    EXPECT_EQ(m.Level, 130) << m.Text;
    std::vector<std::string> g = Match(m.Text, kFailureForm);
    if (g.empty()) {
        ADD_FAILURE() << "not a failure report of this module: " << m.Text;
        return "";
    }
    EXPECT_EQ(g[3], func);
    EXPECT_EQ(g[5], text + "\n");
    return g[2];
}

// Exactly one message carries text, and it is func's failure report.
void ExpectOneFailure(const std::string &func, const std::string &text) {
    std::vector<LoggedMessage> found = MessagesWith(text);
    ASSERT_EQ(found.size(), 1u) << text;
    ExpectFailureForm(found[0], func, text);
}

// ---------------------------------------------------------------------------

class SensorDataFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        ResetList();
        {
            std::lock_guard<std::mutex> lock(g_pausemutex);
            g_pauses.clear();
        }
        g_afterpause = nullptr;
        g_clocktimes.clear();
        g_clockreads = 0;
        saved_sleep_ = g_sleepms;
        saved_clock_ = g_clock;
        g_sleepms = RecordPause;
        g_clock = FakeClock;
    }
    void TearDown() override {
        ResetList();
        g_sleepms = saved_sleep_;
        g_clock = saved_clock_;
        g_afterpause = nullptr;
    }

    // The module's process-wide state back to before a build.
    static void ResetList() {
        pthread_mutex_lock(&g_sensordatamutex);
        free(g_localdatahdr.SensorData);
        memset(&g_localdatahdr, 0, sizeof g_localdatahdr);
        g_sensorcount = 0;
        pthread_mutex_unlock(&g_sensordatamutex);
    }

    // Adds a sensor to the fake inventory (reading record and sensor-info
    // record of type 1) with its device id in the store.
    static FakeSensor &AddSensor(uint8_t num, const std::string &name, double reading = 0.0,
                                 uint16_t devid = 0x8000) {
        FakeSensor s;
        s.Num = num;
        s.Name = name;
        s.Reading = reading;
        g_fake.Sensors.push_back(s);
        g_fake.DevIds[num] = devid;
        return g_fake.Sensors.back();
    }

    // Builds the list; unless the test set one, the library reports one
    // sensor per reading record.
    static int Build() {
        if (g_fake.SensorCount == 0) g_fake.SensorCount = (uint32_t)g_fake.Sensors.size();
        return InitSensorDataList(&g_localdatahdr);
    }

    // Forgets the calls and messages so far.
    static void ClearLog() {
        std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
        g_fake.IpmiCalls.clear();
        g_fake.Messages.clear();
        g_fake.StoreCalls.clear();
        g_fake.StoreBuffersZeroed.clear();
    }

    // The library reports v for every reading record of sensor num.
    static void Report(uint8_t num, double v) {
        for (FakeSensor &s : g_fake.Sensors) {
            if (s.Num == num) s.Reading = v;
        }
    }

    // The refreshes, called as the sampling thread calls them.
    static int RefreshIpmi(uint32_t t) {
        pthread_mutex_lock(&g_sensordatamutex);
        int rc = UpdateSensorReadingToLocalStruct(&g_localdatahdr, t);
        pthread_mutex_unlock(&g_sensordatamutex);
        return rc;
    }
    static void RefreshUtil(uint32_t t) {
        pthread_mutex_lock(&g_sensordatamutex);
        UpdateCUPSToLocalStruct(&g_localdatahdr, t);
        pthread_mutex_unlock(&g_sensordatamutex);
    }

    // What the recorder does once it has stored the entries: the next
    // reading of each entry starts a new period.
    static void Record() {
        pthread_mutex_lock(&g_sensordatamutex);
        for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) g_localdatahdr.SensorData[i].Valid = 0;
        g_localdatahdr.DataReady = 0;
        pthread_mutex_unlock(&g_sensordatamutex);
    }

private:
    SleepFn saved_sleep_ = nullptr;
    ClockFn saved_clock_ = nullptr;
};

// ===========================================================================
// Building the list

class SensorDataListTest : public SensorDataFixture {
protected:
    // A header that an earlier state left dirty: a build must clear it.
    static void DirtyHeader() {
        g_localdatahdr.UpdateTime = 1234;
        g_localdatahdr.DataReady = 1;
        g_localdatahdr.ListReady = 1;
        g_localdatahdr.SensorCount = 7;
    }
    static void ExpectEmptyHeader() {
        Header h = HeaderNow();
        EXPECT_EQ(h.UpdateTime, 0u);
        EXPECT_EQ(h.DataReady, 0u);
        EXPECT_EQ(h.ListReady, 0u);
        EXPECT_EQ(h.SensorCount, 0u);
        EXPECT_EQ(h.SensorData, nullptr);
    }
};

TEST_F(SensorDataListTest, KeepsSensorsInReadingOrderFollowedByTheUtilisationEntries) {
    AddSensor(10, "CPU0_Temp", 55.0, 0x8000);
    AddSensor(3, "Fan1", 7200.0, 0x5000);
    AddSensor(200, "PSU_Input", 230.0, 0x3000);
    ASSERT_EQ(Build(), 0);

    Header h = HeaderNow();
    EXPECT_EQ(h.SensorCount, 6u);
    EXPECT_EQ(h.ListReady, 1u);
    EXPECT_EQ(h.DataReady, 0u);
    EXPECT_EQ(h.UpdateTime, 0u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"CPU0_Temp", "Fan1", "PSU_Input", "CPU_Utilization",
                                                 "MEM_Utilization", "IO_Utilization"}));
    EXPECT_EQ(Column([](const Entry &e) { return e.Num; }),
              (std::vector<unsigned>{10, 3, 200, 0xFFFF, 0xFFFE, 0xFFFD}));
    EXPECT_EQ(Column([](const Entry &e) { return e.Class; }), (std::vector<unsigned>{2, 1, 0, 3, 3, 3}));
    // The library's current readings are not taken over: the first refresh
    // brings them.
    for (const Entry &e : Entries()) {
        SCOPED_TRACE(e.Name);
        ExpectFreshEntry(e);
    }
}

TEST_F(SensorDataListTest, LeavesOutReadingsWithoutInfoOfUnusedRecordTypesOrSkipped) {
    AddSensor(1, "Type1");
    AddSensor(2, "NoInfo").HasInfo = false;
    AddSensor(3, "Type0").RecordType = 0;
    AddSensor(4, "EventOnly").RecordType = 3;
    AddSensor(5, "Skipped").Skip = 1;
    AddSensor(6, "Type2").RecordType = 2;
    AddSensor(7, "OemC0").RecordType = 0xC0;
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Type1", "Type2", "OemC0", "CPU_Utilization", "MEM_Utilization",
                                                 "IO_Utilization"}));
}

TEST_F(SensorDataListTest, DuplicateNumbersAreBothListedAndJudgedByTheFirstInfoRecord) {
    AddSensor(5, "PSU1_Temp", 0.0, 0x5000);     // first info record of 5: type 1
    AddSensor(9, "Event_A").RecordType = 3;     // first info record of 9: type 3
    AddSensor(5, "PSU2_Temp", 0.0, 0x8000).RecordType = 3;
    AddSensor(9, "Event_B").RecordType = 1;
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"PSU1_Temp", "PSU2_Temp", "CPU_Utilization", "MEM_Utilization",
                                                 "IO_Utilization"}));
    EXPECT_EQ(Column([](const Entry &e) { return e.Num; }),
              (std::vector<unsigned>{5, 5, 0xFFFF, 0xFFFE, 0xFFFD}));
}

TEST_F(SensorDataListTest, WithNoSensorKeptHoldsExactlyTheThreeUtilisationEntries) {
    AddSensor(1, "Skipped").Skip = 1;
    AddSensor(2, "EventOnly").RecordType = 3;
    ASSERT_EQ(Build(), 0);
    Header h = HeaderNow();
    EXPECT_EQ(h.SensorCount, 3u);
    EXPECT_EQ(h.ListReady, 1u);
    EXPECT_EQ(Names(), kUtilNames);
    EXPECT_EQ(Column([](const Entry &e) { return e.Num; }), (std::vector<unsigned>{0xFFFF, 0xFFFE, 0xFFFD}));
    EXPECT_EQ(Column([](const Entry &e) { return e.Class; }), (std::vector<unsigned>{3, 3, 3}));
    for (const Entry &e : Entries()) {
        SCOPED_TRACE(e.Name);
        ExpectFreshEntry(e);
    }
}

TEST_F(SensorDataListTest, DeviceIdRangesGiveTheClass) {
    const struct {
        uint16_t DevId;
        unsigned Class;
    } cases[] = {{0x2FFF, 0}, {0x3000, 0}, {0x3255, 0}, {0x5000, 1}, {0x50C0, 1}, {0x50C1, 0},
                 {0x7000, 1}, {0x703E, 1}, {0x703F, 0}, {0x8000, 2}, {0x8028, 2}, {0x8029, 0}};
    uint8_t num = 1;
    for (const auto &c : cases) {
        AddSensor(num, "Sensor" + std::to_string(num), 0.0, c.DevId);
        ++num;
    }
    ASSERT_EQ(Build(), 0);
    for (uint32_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EQ(At(i).Class, cases[i].Class) << "device id 0x" << std::hex << cases[i].DevId;
    }
}

TEST_F(SensorDataListTest, AsksTheStoreForTheDeviceIdOfEachKeptSensor) {
    AddSensor(7, "A", 0.0, 0x5001);
    AddSensor(9, "B").Skip = 1;
    AddSensor(250, "C", 0.0, 0x7001);
    ASSERT_EQ(Build(), 0);
    // The fake records the arguments without the buffer: 1, 0, number, 0, 0,
    // size 42, 1; each buffer must come zero-filled.
    EXPECT_EQ(g_fake.StoreCalls, (std::vector<std::vector<int>>{{1, 0, 7, 0, 0, 42, 1}, {1, 0, 250, 0, 0, 42, 1}}));
    EXPECT_EQ(g_fake.StoreBuffersZeroed, (std::vector<bool>{true, true}));
}

TEST_F(SensorDataListTest, FailedDeviceIdQueryListsTheSensorWithClassZeroAndPrintsOnStandardOutput) {
    AddSensor(5, "Inlet_Temp", 0.0, 0x8000);
    FakeSensor lost;  // no device id in the store: its query fails
    lost.Num = 200;
    lost.Name = "NoDevId";
    g_fake.Sensors.push_back(lost);

    testing::internal::CaptureStdout();
    int rc = Build();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    EXPECT_FALSE(
        Match(out, "\\[InitSensorDataList\\]\\[[0-9]+\\]Get sensor devid from redis failed,sensor num:200\n").empty())
        << out;
    EXPECT_EQ(g_fake.Count("devid"), 0);  // not through the debug output
    EXPECT_EQ(Names(), (std::vector<std::string>{"Inlet_Temp", "NoDevId", "CPU_Utilization", "MEM_Utilization",
                                                 "IO_Utilization"}));
    Entry e = At(1);
    EXPECT_EQ(e.Num, 200u);
    EXPECT_EQ(e.Class, 0u);
    EXPECT_EQ(e.InUse, 1u);
}

TEST_F(SensorDataListTest, FailedDeviceIdQueryKeepsWhatTheStoreLeftInTheBuffer) {
    AddSensor(7, "Half_Answered", 0.0, 0x8000);
    g_fake.FailDevIds = {7};
    testing::internal::CaptureStdout();
    int rc = Build();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    EXPECT_NE(out.find("sensor num:7"), std::string::npos) << out;
    EXPECT_EQ(At(0).Class, 2u);
}

TEST_F(SensorDataListTest, OpensAsksTheCountReadsAndClosesInOrder) {
    AddSensor(1, "A");
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "count", "readings", "info", "close"}));
    EXPECT_EQ(g_fake.SessionsOpen, 0);
    EXPECT_EQ(g_sensorcount, 1u);
}

TEST_F(SensorDataListTest, AKnownSensorCountIsNotAskedAgain) {
    AddSensor(1, "A");
    g_sensorcount = 4;
    g_fake.SensorCount = 9;
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "readings", "info", "close"}));
    EXPECT_TRUE(PauseLog().empty());
    EXPECT_EQ(g_sensorcount, 4u);
}

TEST_F(SensorDataListTest, NamesAreCutTo19Characters) {
    AddSensor(1, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    AddSensor(2, "Exactly19Characters");
    // Thirty characters fill the record's whole name room: no terminator
    // before the reading, whose first byte (of 0.1) is not zero.
    AddSensor(3, "FillsTheWholeThirtyByteNameRoo", 0.1);
    ASSERT_EQ(std::string("FillsTheWholeThirtyByteNameRoo").size(), 30u);
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(At(0).Name, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(At(1).Name, "Exactly19Characters");
    EXPECT_EQ(At(2).Name, "FillsTheWholeThirty");
    EXPECT_TRUE(At(0).NameTerminated);
    EXPECT_TRUE(At(2).NameTerminated);
}

TEST_F(SensorDataListTest, LibraryCountsAboveTheBufferAreLowered) {
    AddSensor(1, "A");
    AddSensor(2, "B");
    AddSensor(3, "NoInfo").HasInfo = false;  // its search runs through every info record
    g_fake.ReadingCountOverride = 1000;
    g_fake.InfoCountOverride = 1000;
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(Names(), (std::vector<std::string>{"A", "B", "CPU_Utilization", "MEM_Utilization", "IO_Utilization"}));
}

TEST_F(SensorDataListTest, ZeroSensorCountIsAskedAgainAfterEachTenSecondPause) {
    AddSensor(1, "A");
    g_fake.CountAnswers = {0, 0, 1};
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(g_fake.IpmiCalls,
              (std::vector<std::string>{"open", "count", "count", "count", "readings", "info", "close"}));
    // One 10-second pause after each of the three counts (calls 2, 3, 4).
    EXPECT_EQ(PauseLog(), (std::vector<std::pair<unsigned, size_t>>{{10000, 2}, {10000, 3}, {10000, 4}}));
    EXPECT_EQ(g_fake.Count("Get sensor count failed"), 0);
    EXPECT_EQ(g_sensorcount, 1u);
    EXPECT_EQ(HeaderNow().SensorCount, 4u);
}

TEST_F(SensorDataListTest, FailedCountQueriesAreLoggedAndRetried) {
    AddSensor(1, "A");
    g_fake.CountAnswers = {-1, 0, -1, 1};
    ASSERT_EQ(Build(), 0);
    std::vector<LoggedMessage> failures = MessagesWith("Get sensor count failed");
    ASSERT_EQ(failures.size(), 2u);
    for (const LoggedMessage &m : failures) ExpectFailureForm(m, "InitSensorDataList", "Get sensor count failed");
    EXPECT_EQ(PauseLog(),
              (std::vector<std::pair<unsigned, size_t>>{{10000, 2}, {10000, 3}, {10000, 4}, {10000, 5}}));
    EXPECT_EQ(HeaderNow().ListReady, 1u);
}

TEST_F(SensorDataListTest, ACountReportedAtTheFirstAttemptStillCostsOnePause) {
    AddSensor(1, "A");
    ASSERT_EQ(Build(), 0);
    // After open and count, before the readings.
    EXPECT_EQ(PauseLog(), (std::vector<std::pair<unsigned, size_t>>{{10000, 2}}));
}

TEST_F(SensorDataListTest, FailedSessionFailsTheBuildWithNothingToClose) {
    AddSensor(1, "A");
    g_fake.FailSession = true;
    DirtyHeader();
    EXPECT_EQ(Build(), -1);
    ExpectEmptyHeader();
    ExpectOneFailure("InitSensorDataList", "Create local ipmi session failed!");
    EXPECT_EQ(g_fake.Messages.size(), 1u);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open"}));
    EXPECT_TRUE(g_fake.StoreCalls.empty());
}

TEST_F(SensorDataListTest, FailedReadingsFailTheBuildAndCloseTheSession) {
    AddSensor(1, "A");
    g_fake.FailReadings = true;
    DirtyHeader();
    EXPECT_EQ(Build(), -1);
    ExpectEmptyHeader();
    ExpectOneFailure("InitSensorDataList", "Get all sensor detal failed");
    EXPECT_EQ(g_fake.Messages.size(), 1u);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "count", "readings", "close"}));
    EXPECT_EQ(g_fake.SessionsOpen, 0);
    EXPECT_TRUE(g_fake.StoreCalls.empty());
}

TEST_F(SensorDataListTest, FailedInfoFailsTheBuildAndClosesTheSession) {
    AddSensor(1, "A");
    g_fake.FailInfo = true;
    DirtyHeader();
    EXPECT_EQ(Build(), -1);
    ExpectEmptyHeader();
    ExpectOneFailure("InitSensorDataList", "Get all sensor detal failed");
    EXPECT_EQ(g_fake.Messages.size(), 1u);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "count", "readings", "info", "close"}));
    EXPECT_EQ(g_fake.SessionsOpen, 0);
    EXPECT_TRUE(g_fake.StoreCalls.empty());
}

// ===========================================================================
// IPMI reading refresh

class SensorReadingRefreshTest : public SensorDataFixture {
protected:
    void SetUp() override {
        SensorDataFixture::SetUp();
        AddSensor(1, "Inlet_Temp", 20.0);
        AddSensor(2, "CPU0_Temp", 40.0);
        ASSERT_EQ(Build(), 0);
        ClearLog();
    }
    // Sensor 1 reads v at the refresh of time t; returns its entry.
    static Entry Step(double v, uint32_t t) {
        Report(1, v);
        EXPECT_EQ(RefreshIpmi(t), 0);
        return At(0);
    }
    // After a good refresh, one that fails through the fake's flag leaves
    // the list alone (new readings included), logs text once and closes the
    // session after the calls given.
    static void ExpectRefreshFails(bool FakePlatform::*flag, const std::string &text,
                                   const std::vector<std::string> &calls) {
        ASSERT_EQ(RefreshIpmi(kT0), 0);
        g_localdatahdr.DataReady = 0;
        g_fake.*flag = true;
        Report(1, 99.0);
        Report(2, 99.0);
        ClearLog();
        std::vector<uint8_t> before = ListBytes();
        EXPECT_EQ(RefreshIpmi(kT1), -1);
        EXPECT_EQ(ListBytes(), before);
        ExpectOneFailure("UpdateSensorReadingToLocalStruct", text);
        EXPECT_EQ(g_fake.Messages.size(), 1u);
        EXPECT_EQ(g_fake.IpmiCalls, calls);
    }
};

TEST_F(SensorReadingRefreshTest, FirstReadingOfAPeriodSeedsEveryFigure) {
    Report(1, 25.0);
    Report(2, 41.5);
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    ExpectSeeded(At(0), 25.0, kT1);
    ExpectSeeded(At(1), 41.5, kT1);
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT1);
    EXPECT_EQ(h.DataReady, 1u);
    for (uint32_t i = 2; i < 5; ++i) EXPECT_EQ(At(i).Valid, 0u) << At(i).Name;  // utilisation: not here
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "readings", "info", "close"}));

    // Once the recorder has stored the entry, the next reading seeds again.
    Step(30.0, kT2);
    Record();
    ExpectSeeded(Step(5.0, kT3), 5.0, kT3);
}

TEST_F(SensorReadingRefreshTest, TiesKeepTheEarlierTime) {
    Step(10.0, kT1);
    Step(20.0, kT2);
    Entry e = Step(20.0, kT3);
    EXPECT_DOUBLE_EQ(e.Max, 20.0);
    EXPECT_EQ(e.MaxTime, kT2);
    Step(5.0, kT4);
    e = Step(5.0, kT5);
    EXPECT_DOUBLE_EQ(e.Min, 5.0);
    EXPECT_EQ(e.MinTime, kT4);
}

TEST_F(SensorReadingRefreshTest, AverageIsHalvedTowardsEachReading) {
    EXPECT_DOUBLE_EQ(Step(10.0, kT1).Avg, 10.0);
    EXPECT_DOUBLE_EQ(Step(20.0, kT2).Avg, 15.0);
    Entry e = Step(40.0, kT3);
    EXPECT_DOUBLE_EQ(e.Avg, 27.5);
    EXPECT_DOUBLE_EQ(e.Max, 40.0);
    EXPECT_EQ(e.MaxTime, kT3);
    EXPECT_DOUBLE_EQ(e.Min, 10.0);
    EXPECT_EQ(e.MinTime, kT1);
}

TEST_F(SensorReadingRefreshTest, ZeroNeverLowersTheMinimumAndRestartsTheAverage) {
    Step(10.0, kT1);
    Step(20.0, kT2);
    Entry e = Step(0.0, kT3);
    EXPECT_EQ(e.Reading, 0.0);
    EXPECT_DOUBLE_EQ(e.Min, 10.0);
    EXPECT_EQ(e.MinTime, kT1);
    EXPECT_EQ(e.Avg, 0.0);
    EXPECT_DOUBLE_EQ(e.Max, 20.0);
    EXPECT_EQ(e.MaxTime, kT2);
    EXPECT_DOUBLE_EQ(Step(30.0, kT4).Avg, 15.0);  // halfway from 0
    // A negative zero is a zero.
    e = Step(-0.0, kT5);
    EXPECT_DOUBLE_EQ(e.Min, 10.0);
    EXPECT_EQ(e.MinTime, kT1);
    EXPECT_EQ(e.Avg, 0.0);
}

TEST_F(SensorReadingRefreshTest, ZeroAsTheFirstReadingOfAPeriodIsTheMinimum) {
    ExpectSeeded(Step(0.0, kT1), 0.0, kT1);
    Entry e = Step(8.0, kT2);
    EXPECT_EQ(e.Min, 0.0);
    EXPECT_EQ(e.MinTime, kT1);
    EXPECT_DOUBLE_EQ(e.Max, 8.0);
    EXPECT_DOUBLE_EQ(e.Avg, 4.0);
}

TEST_F(SensorReadingRefreshTest, NegativeReadingBelowTheMinimumBecomesTheMinimum) {
    Step(10.0, kT1);
    Entry e = Step(-5.0, kT2);
    EXPECT_DOUBLE_EQ(e.Min, -5.0);
    EXPECT_EQ(e.MinTime, kT2);
    EXPECT_DOUBLE_EQ(e.Max, 10.0);
    EXPECT_DOUBLE_EQ(e.Avg, 2.5);
}

TEST_F(SensorReadingRefreshTest, NaNLeavesTheExtremesAndCarriesThroughTheAverage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Step(10.0, kT1);
    Entry e = Step(nan, kT2);
    EXPECT_TRUE(isnan(e.Reading));
    EXPECT_DOUBLE_EQ(e.Max, 10.0);
    EXPECT_EQ(e.MaxTime, kT1);
    EXPECT_DOUBLE_EQ(e.Min, 10.0);
    EXPECT_EQ(e.MinTime, kT1);
    EXPECT_TRUE(isnan(e.Avg));
    // Halving keeps it NaN; the extremes move again.
    e = Step(20.0, kT3);
    EXPECT_DOUBLE_EQ(e.Max, 20.0);
    EXPECT_EQ(e.MaxTime, kT3);
    EXPECT_TRUE(isnan(e.Avg));
    // Only a zero restarts it.
    EXPECT_EQ(Step(0.0, kT4).Avg, 0.0);
}

TEST_F(SensorReadingRefreshTest, NaNAsTheFirstReadingOfAPeriodPinsTheExtremes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Entry e = Step(nan, kT1);
    EXPECT_TRUE(isnan(e.Max));
    EXPECT_TRUE(isnan(e.Min));
    EXPECT_TRUE(isnan(e.Avg));
    EXPECT_EQ(e.MaxTime, kT1);
    EXPECT_EQ(e.MinTime, kT1);
    EXPECT_EQ(e.Valid, 1u);
    // No comparison with NaN is true: the extremes stay until the period ends.
    e = Step(10.0, kT2);
    EXPECT_DOUBLE_EQ(e.Reading, 10.0);
    EXPECT_TRUE(isnan(e.Max));
    EXPECT_TRUE(isnan(e.Min));
    EXPECT_TRUE(isnan(e.Avg));
    EXPECT_EQ(e.MaxTime, kT1);
    EXPECT_EQ(e.MinTime, kT1);
}

TEST_F(SensorReadingRefreshTest, ReadingsThatNoLongerQualifyAreNotApplied) {
    g_fake.Sensors[0].Skip = 1;
    g_fake.Sensors[1].RecordType = 3;
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    g_fake.Sensors[0].Skip = 0;
    g_fake.Sensors[0].HasInfo = false;
    g_fake.Sensors[1].RecordType = 0;
    ASSERT_EQ(RefreshIpmi(kT2), 0);
    EXPECT_EQ(At(0).Valid, 0u);
    EXPECT_EQ(At(0).Reading, 0.0);
    EXPECT_EQ(At(1).Valid, 0u);
    EXPECT_EQ(At(1).Reading, 0.0);
    EXPECT_EQ(HeaderNow().UpdateTime, kT2);
}

TEST_F(SensorReadingRefreshTest, SensorMissingFromALaterSetIsLeftUntouched) {
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    Record();
    std::vector<uint8_t> before = EntryBytes(1);
    g_fake.Sensors.pop_back();  // sensor 2 no longer reported
    Report(1, 22.0);
    ASSERT_EQ(RefreshIpmi(kT2), 0);
    EXPECT_EQ(EntryBytes(1), before);
    EXPECT_EQ(At(1).Valid, 0u);
    ExpectSeeded(At(0), 22.0, kT2);
}

TEST_F(SensorReadingRefreshTest, AReadingOfASensorNotListedIsIgnored) {
    g_fake.Sensors[1].Num = 3;  // the library now reports sensor 3 instead of 2
    g_fake.Sensors[1].Reading = 77.0;
    std::vector<uint8_t> others;
    for (uint32_t i = 1; i < 5; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        others.insert(others.end(), b.begin(), b.end());
    }
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    std::vector<uint8_t> after;
    for (uint32_t i = 1; i < 5; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        after.insert(after.end(), b.begin(), b.end());
    }
    EXPECT_EQ(after, others);
    EXPECT_EQ(HeaderNow().SensorCount, 5u);
    ExpectSeeded(At(0), 20.0, kT1);
}

TEST_F(SensorReadingRefreshTest, DuplicatedNumbersUpdateOnlyTheFirstEntry) {
    ResetList();
    ResetFakePlatform();
    AddSensor(5, "PSU1_Temp", 10.0);
    AddSensor(5, "PSU2_Temp", 30.0);
    ASSERT_EQ(Build(), 0);
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    // Both readings go to the first entry, one after the other.
    Entry first = At(0);
    EXPECT_EQ(first.Name, "PSU1_Temp");
    EXPECT_DOUBLE_EQ(first.Reading, 30.0);
    EXPECT_DOUBLE_EQ(first.Max, 30.0);
    EXPECT_EQ(first.MaxTime, kT1);
    EXPECT_DOUBLE_EQ(first.Min, 10.0);
    EXPECT_EQ(first.MinTime, kT1);
    EXPECT_DOUBLE_EQ(first.Avg, 20.0);
    Entry second = At(1);
    EXPECT_EQ(second.Name, "PSU2_Temp");
    ExpectFreshEntry(second);
}

TEST_F(SensorReadingRefreshTest, WithNoReadingRecordsTheListIsStillMarkedRefreshed) {
    g_fake.Sensors.clear();
    std::vector<uint8_t> before = EntryBytes(0);
    for (uint32_t i = 1; i < 5; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        before.insert(before.end(), b.begin(), b.end());
    }
    EXPECT_EQ(RefreshIpmi(kT1), 0);
    std::vector<uint8_t> after = EntryBytes(0);
    for (uint32_t i = 1; i < 5; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        after.insert(after.end(), b.begin(), b.end());
    }
    EXPECT_EQ(after, before);
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT1);
    EXPECT_EQ(h.DataReady, 1u);
    EXPECT_TRUE(g_fake.Messages.empty());
}

TEST_F(SensorReadingRefreshTest, WithoutSensorsReturnsAtOnceWithoutASession) {
    ResetList();
    g_localdatahdr.UpdateTime = 99;
    std::vector<uint8_t> before = ListBytes();
    EXPECT_EQ(RefreshIpmi(kT1), 0);
    EXPECT_EQ(ListBytes(), before);
    ExpectOneFailure("UpdateSensorReadingToLocalStruct", "Sensors is 0,return");
    EXPECT_TRUE(g_fake.IpmiCalls.empty());
}

TEST_F(SensorReadingRefreshTest, FailedSessionLeavesTheListAndStillCloses) {
    ExpectRefreshFails(&FakePlatform::FailSession, "Create local ipmi session failed!",
                       {"open", "close"});
}

TEST_F(SensorReadingRefreshTest, FailedReadingsLeaveTheListAndCloseTheSession) {
    ExpectRefreshFails(&FakePlatform::FailReadings, "Get Sensor info failed", {"open", "readings", "close"});
    EXPECT_EQ(g_fake.SessionsOpen, 0);
}

TEST_F(SensorReadingRefreshTest, FailedInfoLeavesTheListAndClosesTheSession) {
    ExpectRefreshFails(&FakePlatform::FailInfo, "Get Sensor info failed", {"open", "readings", "info", "close"});
    EXPECT_EQ(g_fake.SessionsOpen, 0);
}

TEST_F(SensorReadingRefreshTest, LibraryCountsAboveTheBufferAreLowered) {
    g_fake.ReadingCountOverride = 1000;
    g_fake.InfoCountOverride = 1000;
    g_fake.Sensors[1].HasInfo = false;  // its search runs through every info record
    ASSERT_EQ(RefreshIpmi(kT1), 0);
    ExpectSeeded(At(0), 20.0, kT1);
    EXPECT_EQ(At(1).Valid, 0u);
    EXPECT_EQ(HeaderNow().SensorCount, 5u);
}

// ===========================================================================
// Utilisation figures

class UtilisationRefreshTest : public SensorDataFixture {
protected:
    // One IPMI sensor, then the CPU, memory and IO entries.
    static const uint32_t kCpu = 1, kMem = 2, kIo = 3;

    void SetUp() override {
        SensorDataFixture::SetUp();
        AddSensor(1, "Inlet_Temp", 20.0);
        ASSERT_EQ(Build(), 0);
        ClearLog();
    }
    // The CPU figure is b at the refresh of time t; returns its entry.
    static Entry Step(uint8_t b, uint32_t t) {
        g_fake.Cpu = b;
        RefreshUtil(t);
        return At(kCpu);
    }
    // A list of entries with the names given and nothing else set.
    static void MakeList(const std::vector<std::string> &names) {
        ResetList();
        g_localdatahdr.SensorData =
            static_cast<LocalSensorData *>(calloc(names.size() + 1, sizeof(LocalSensorData)));
        for (size_t i = 0; i < names.size(); ++i) {
            snprintf(g_localdatahdr.SensorData[i].SensorName, SENSOR_NAME_SIZE, "%s", names[i].c_str());
        }
        g_localdatahdr.SensorCount = (uint32_t)names.size();
        g_localdatahdr.ListReady = 1;
    }
};

TEST_F(UtilisationRefreshTest, FirstFetchSeedsEveryFigure) {
    g_fake.Cpu = 37;
    g_fake.Mem = 38;
    g_fake.Io = 39;
    std::vector<uint8_t> ipmi = EntryBytes(0);
    RefreshUtil(kT1);
    ExpectSeeded(At(kCpu), 37.0, kT1);
    ExpectSeeded(At(kMem), 38.0, kT1);
    ExpectSeeded(At(kIo), 39.0, kT1);
    EXPECT_EQ(EntryBytes(0), ipmi);
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT1);
    EXPECT_EQ(h.DataReady, 1u);
    // CPU, memory, IO in that order; the fake records 1, 9, 0, 0, id,
    // size 1, 1 (without the buffer).
    EXPECT_EQ(g_fake.StoreCalls,
              (std::vector<std::vector<int>>{{1, 9, 0, 0, 35, 1, 1}, {1, 9, 0, 0, 37, 1, 1}, {1, 9, 0, 0, 36, 1, 1}}));
    EXPECT_TRUE(g_fake.IpmiCalls.empty());
    EXPECT_TRUE(g_fake.Messages.empty());
}

TEST_F(UtilisationRefreshTest, AverageIsHalvedTowardsEachFigure) {
    EXPECT_DOUBLE_EQ(Step(10, kT1).Avg, 10.0);
    EXPECT_DOUBLE_EQ(Step(20, kT2).Avg, 15.0);
    Entry e = Step(40, kT3);
    EXPECT_DOUBLE_EQ(e.Avg, 27.5);
    EXPECT_DOUBLE_EQ(e.Max, 40.0);
    EXPECT_EQ(e.MaxTime, kT3);
    EXPECT_DOUBLE_EQ(e.Min, 10.0);
    EXPECT_EQ(e.MinTime, kT1);
}

TEST_F(UtilisationRefreshTest, TiesKeepTheEarlierTime) {
    Step(10, kT1);
    Step(20, kT2);
    Entry e = Step(20, kT3);
    EXPECT_DOUBLE_EQ(e.Max, 20.0);
    EXPECT_EQ(e.MaxTime, kT2);
    Step(5, kT4);
    e = Step(5, kT5);
    EXPECT_DOUBLE_EQ(e.Min, 5.0);
    EXPECT_EQ(e.MinTime, kT4);
}

TEST_F(UtilisationRefreshTest, ZeroTakesPartInTheMinimumAndTheAverage) {
    Step(10, kT1);
    Step(20, kT2);
    Entry e = Step(0, kT3);
    EXPECT_EQ(e.Reading, 0.0);
    EXPECT_EQ(e.Min, 0.0);
    EXPECT_EQ(e.MinTime, kT3);
    EXPECT_DOUBLE_EQ(e.Avg, 7.5);
    EXPECT_DOUBLE_EQ(e.Max, 20.0);
}

TEST_F(UtilisationRefreshTest, FullByteIsReadUnsigned) {
    ExpectSeeded(Step(255, kT1), 255.0, kT1);
}

TEST_F(UtilisationRefreshTest, OneFigureFailingAloneLeavesOnlyItsEntryAlone) {
    const struct {
        int Id;
        uint32_t Index;
        const char *Figure;
    } figures[] = {{35, kCpu, "CPU"}, {37, kMem, "memory"}, {36, kIo, "IO"}};
    g_fake.Cpu = 10;
    g_fake.Mem = 20;
    g_fake.Io = 30;
    RefreshUtil(kT0);
    uint32_t t = kT1;
    for (const auto &f : figures) {
        SCOPED_TRACE(f.Figure);
        ClearLog();
        g_fake.FailUtil = {f.Id};
        ++g_fake.Cpu;
        ++g_fake.Mem;
        ++g_fake.Io;
        Record();
        std::vector<uint8_t> before = EntryBytes(f.Index);
        RefreshUtil(t);
        EXPECT_EQ(EntryBytes(f.Index), before);
        for (const auto &other : figures) {
            if (other.Id == f.Id) continue;
            double expected = other.Index == kCpu ? g_fake.Cpu : other.Index == kMem ? g_fake.Mem : g_fake.Io;
            ExpectSeeded(At(other.Index), expected, t);
        }
        ExpectOneFailure("UpdateCUPSToLocalStruct", "Get Cpu cups failed");
        EXPECT_EQ(g_fake.Messages.size(), 1u);
        EXPECT_EQ(g_fake.StoreCalls.size(), 3u);
        Header h = HeaderNow();
        EXPECT_EQ(h.UpdateTime, t);
        EXPECT_EQ(h.DataReady, 1u);
        t += 60;
    }
}

TEST_F(UtilisationRefreshTest, AllThreeFailingStillMarksTheListRefreshed) {
    g_fake.Cpu = 10;
    RefreshUtil(kT0);
    Record();
    g_fake.FailUtil = {35, 36, 37};
    g_fake.Cpu = 50;
    ClearLog();
    std::vector<uint8_t> entries;
    for (uint32_t i = 0; i < 4; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        entries.insert(entries.end(), b.begin(), b.end());
    }
    RefreshUtil(kT1);
    std::vector<uint8_t> after;
    for (uint32_t i = 0; i < 4; ++i) {
        std::vector<uint8_t> b = EntryBytes(i);
        after.insert(after.end(), b.begin(), b.end());
    }
    EXPECT_EQ(after, entries);
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT1);
    EXPECT_EQ(h.DataReady, 1u);
    EXPECT_EQ(g_fake.StoreCalls.size(), 3u);
    std::vector<LoggedMessage> failures = MessagesWith("Get Cpu cups failed");
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(g_fake.Messages.size(), 3u);
    // The same words for all three: only the line tells the figures apart.
    std::set<std::string> lines;
    for (const LoggedMessage &m : failures) lines.insert(ExpectFailureForm(m, "UpdateCUPSToLocalStruct", "Get Cpu cups failed"));
    EXPECT_EQ(lines.size(), 3u);
}

TEST_F(UtilisationRefreshTest, EmptyListStillFetchesAndIsMarkedRefreshed) {
    ResetList();
    RefreshUtil(kT1);
    EXPECT_EQ(g_fake.StoreCalls,
              (std::vector<std::vector<int>>{{1, 9, 0, 0, 35, 1, 1}, {1, 9, 0, 0, 37, 1, 1}, {1, 9, 0, 0, 36, 1, 1}}));
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT1);
    EXPECT_EQ(h.DataReady, 1u);
    EXPECT_EQ(h.SensorCount, 0u);
    EXPECT_EQ(h.SensorData, nullptr);
    EXPECT_TRUE(g_fake.Messages.empty());
}

TEST_F(UtilisationRefreshTest, OfTwoMatchingEntriesOnlyTheLaterIsUpdated) {
    MakeList({"CPU_Utilization", "Inlet_Temp", "CPU_Utilization_B"});
    g_fake.Cpu = 42;
    RefreshUtil(kT1);
    EXPECT_EQ(At(0).Valid, 0u);
    EXPECT_EQ(At(0).Reading, 0.0);
    EXPECT_EQ(At(1).Valid, 0u);
    ExpectSeeded(At(2), 42.0, kT1);
}

// ===========================================================================
// Failure reports

class SensorDataMessagesTest : public SensorDataFixture {};

// The prefix of a failure report gives the line of the report twice (after
// the file and after the function), and both must be the same line.
TEST_F(SensorDataMessagesTest, EveryFailureReportGivesTheSameLineTwice) {
    const struct {
        const char *Case;
        std::function<void()> Provoke;
    } cases[] = {
        {"build: session", [] { g_fake.FailSession = true; Build(); }},
        {"build: count", [] { g_fake.CountAnswers = {-1}; Build(); }},
        {"build: readings", [] { g_fake.FailReadings = true; Build(); }},
        {"build: info", [] { g_fake.FailInfo = true; Build(); }},
        {"refresh: no sensors", [] { RefreshIpmi(kT1); }},
        {"refresh: session", [] { Build(); g_fake.FailSession = true; RefreshIpmi(kT1); }},
        {"refresh: readings", [] { Build(); g_fake.FailReadings = true; RefreshIpmi(kT1); }},
        {"refresh: info", [] { Build(); g_fake.FailInfo = true; RefreshIpmi(kT1); }},
        {"utilisation", [] { Build(); g_fake.FailUtil = {35, 36, 37}; RefreshUtil(kT1); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Case);
        ResetList();
        ResetFakePlatform();
        AddSensor(1, "Inlet_Temp", 20.0);
        c.Provoke();
        ASSERT_FALSE(g_fake.Messages.empty());
        for (const LoggedMessage &m : g_fake.Messages) {
            std::vector<std::string> g = Match(m.Text, kFailureForm);
            ASSERT_FALSE(g.empty()) << m.Text;
            EXPECT_EQ(g[2], g[4]) << m.Text;
        }
    }
}

// ===========================================================================
// The sampling step

class SamplingTest : public SensorDataFixture {
protected:
    void SetUp() override {
        SensorDataFixture::SetUp();
        AddSensor(1, "Inlet_Temp", 20.0);
        g_fake.Cpu = 5;
        ASSERT_EQ(Build(), 0);
        ClearLog();
    }
    static int Sample(time_t now, uint32_t *last) { return SampleIfNewMinute(&g_localdatahdr, now, last); }
};

TEST_F(SamplingTest, FirstCallRefreshesAtOnceWithTheStartOfTheMinute) {
    uint32_t last = 0;
    EXPECT_EQ(Sample(kT0 + 25, &last), 1);
    EXPECT_EQ(last, kT0);
    Header h = HeaderNow();
    EXPECT_EQ(h.UpdateTime, kT0);
    EXPECT_EQ(h.DataReady, 1u);
    ExpectSeeded(At(0), 20.0, kT0);
    ExpectSeeded(At(1), 5.0, kT0);
    EXPECT_EQ(g_fake.IpmiCalls, (std::vector<std::string>{"open", "readings", "info", "close"}));
    EXPECT_EQ(g_fake.StoreCalls.size(), 3u);
}

TEST_F(SamplingTest, SameMinuteDoesNotRefreshAgain) {
    uint32_t last = 0;
    ASSERT_EQ(Sample(kT0 + 1, &last), 1);
    ClearLog();
    Record();
    std::vector<uint8_t> before = ListBytes();
    EXPECT_EQ(Sample(kT0 + 59, &last), 0);
    EXPECT_EQ(last, kT0);
    EXPECT_EQ(ListBytes(), before);
    EXPECT_TRUE(g_fake.IpmiCalls.empty());
    EXPECT_TRUE(g_fake.StoreCalls.empty());
}

TEST_F(SamplingTest, NextMinuteRefreshes) {
    uint32_t last = 0;
    ASSERT_EQ(Sample(kT0 + 59, &last), 1);
    Report(1, 21.0);
    EXPECT_EQ(Sample(kT1, &last), 1);
    EXPECT_EQ(last, kT1);
    EXPECT_EQ(HeaderNow().UpdateTime, kT1);
    EXPECT_EQ(At(0).MaxTime, kT1);
}

TEST_F(SamplingTest, ClockSetBackRefreshesAtOnceWithTheEarlierMinute) {
    uint32_t last = 0;
    ASSERT_EQ(Sample(kT5 + 10, &last), 1);
    Report(1, 30.0);
    EXPECT_EQ(Sample(kT2 + 30, &last), 1);
    EXPECT_EQ(last, kT2);
    EXPECT_EQ(HeaderNow().UpdateTime, kT2);
    EXPECT_EQ(At(0).MaxTime, kT2);
}

// Regression: a clock at or before the epoch refreshed with a time near
// 2^32, cast to unsigned before the minute was cut.
TEST_F(SamplingTest, AClockOutsideThe32BitTimesRefreshesNothing) {
    std::vector<time_t> clocks = {0, -1, -61, -86400L * 365};
    int64_t beyond = (int64_t)INT32_MAX + 61;
    if (sizeof(time_t) > 4) clocks.push_back((time_t)beyond);
    for (time_t now : clocks) {
        uint32_t last = kT0;
        EXPECT_EQ(Sample(now, &last), 0) << now;
        EXPECT_EQ(last, kT0) << now;
    }
    EXPECT_TRUE(g_fake.IpmiCalls.empty());
}

// ===========================================================================
// The sampling thread's body, which never returns: run in a child process.

class SensorDataTaskDeathTest : public SensorDataFixture {};

TEST_F(SensorDataTaskDeathTest, FailedBuildEndsTheProcessWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_fake.EchoMessages = true;
            g_fake.FailSession = true;
            SensorDataTask(nullptr);
        },
        testing::ExitedWithCode(1),
        "M 178 \\[SensorDataTask\\]\\[[0-9]+\\]Init sensor data list failed,program will exit and retry!");
}

// Run after each pause of the task: after the count pause and three polls,
// report what the task did and end the child.
void ReportTaskAfterFourPauses() {
    std::vector<std::pair<unsigned, size_t>> pauses = PauseLog();
    if (pauses.size() < 4) return;
    std::string ms;
    for (const auto &p : pauses) ms += std::to_string(p.first) + ",";
    fprintf(stderr, "pauses=%s sessions=%d updated=%u clockreads=%zu\n", ms.c_str(), g_fake.SessionsOpened,
            (unsigned)g_localdatahdr.UpdateTime, g_clockreads);
    _exit(0);
}

TEST_F(SensorDataTaskDeathTest, BuildsThenRefreshesOncePerMinutePollingEverySecond) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AddSensor(1, "Inlet_Temp", 20.0);
    g_fake.SensorCount = 1;
    // The clock at three polls: first minute, same minute, next minute.
    g_clocktimes = {kT0 + 5, kT0 + 30, kT0 + 65};
    EXPECT_EXIT(
        {
            g_afterpause = ReportTaskAfterFourPauses;
            SensorDataTask(nullptr);
        },
        testing::ExitedWithCode(0), "pauses=10000,1000,1000,1000, sessions=3 updated=1700000100 clockreads=3");
}

// ===========================================================================
// The sampling thread and the store thread on the same list

class SensorDataThreadsTest : public SensorDataFixture {};

TEST_F(SensorDataThreadsTest, SamplingAndRecordingShareTheListUnderTheMutex) {
    AddSensor(1, "Inlet_Temp", 20.0);
    AddSensor(2, "CPU0_Temp", 40.0);
    g_fake.Cpu = 12;
    g_fake.Mem = 34;
    g_fake.Io = 56;
    ASSERT_EQ(Build(), 0);
    const uint32_t kMinutes = 300;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        uint32_t last = 0;
        for (uint32_t i = 0; i < kMinutes; ++i) {
            SampleIfNewMinute(&g_localdatahdr, kT0 + 60 * i + 7, &last);
            SampleIfNewMinute(&g_localdatahdr, kT0 + 60 * i + 30, &last);
        }
        done = true;
    });
    // Like the store thread: look at the list under the mutex, record it
    // and clear the flags.
    int inconsistent = 0;
    uint32_t last_update = 0;
    for (;;) {
        bool finished = done.load();
        pthread_mutex_lock(&g_sensordatamutex);
        LocalDataHdr h = g_localdatahdr;
        if (h.ListReady != 1 || h.SensorCount != 5) ++inconsistent;
        if (h.DataReady == 1) {
            if (h.UpdateTime < last_update) ++inconsistent;
            last_update = h.UpdateTime;
        }
        for (uint32_t i = 0; i < h.SensorCount; ++i) {
            LocalSensorData e = h.SensorData[i];
            double lo = e.MinReading, hi = e.MaxReading;
            if (e.Valid == 1 && (e.MaxTime > h.UpdateTime || lo > hi)) ++inconsistent;
            h.SensorData[i].Valid = 0;
        }
        g_localdatahdr.DataReady = 0;
        pthread_mutex_unlock(&g_sensordatamutex);
        if (finished) break;
        std::this_thread::yield();
    }
    sampler.join();
    EXPECT_EQ(inconsistent, 0);
    EXPECT_EQ(g_fake.SessionsOpened, (int)kMinutes + 1);  // the build and one refresh a minute
    EXPECT_EQ(HeaderNow().UpdateTime, kT0 + 60 * (kMinutes - 1));
}

TEST_F(SensorDataThreadsTest, StoreThreadWaitsForListReadyWhileTheListIsBuilt) {
    AddSensor(1, "Inlet_Temp", 20.0);
    AddSensor(2, "CPU0_Temp", 40.0);
    g_fake.CountAnswers = {0, 0, 0, 2};
    std::atomic<int> result{1};
    std::atomic<bool> finished{false};
    std::thread builder([&] {
        result = InitSensorDataList(&g_localdatahdr);
        finished = true;
    });
    bool ready = false;
    uint32_t count = 0;
    std::vector<std::string> names;
    for (;;) {
        bool was_finished = finished.load();
        pthread_mutex_lock(&g_sensordatamutex);
        ready = g_localdatahdr.ListReady == 1;
        if (ready) {
            count = g_localdatahdr.SensorCount;
            for (uint32_t i = 0; i < count; ++i) {
                LocalSensorData e = g_localdatahdr.SensorData[i];
                names.emplace_back(e.SensorName, strnlen(e.SensorName, SENSOR_NAME_SIZE));
            }
        }
        pthread_mutex_unlock(&g_sensordatamutex);
        if (ready || was_finished) break;
        std::this_thread::yield();
    }
    builder.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(ready);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(names, (std::vector<std::string>{"Inlet_Temp", "CPU0_Temp", "CPU_Utilization", "MEM_Utilization",
                                               "IO_Utilization"}));
}

}  // namespace
