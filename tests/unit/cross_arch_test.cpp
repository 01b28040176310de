// The reference card: a card written by a fixed series of samples and store
// turns, the same on every build.  A card is carried between machines in a
// card reader, so the x86-64 build and the 32-bit ARM build must write it
// byte for byte the same and each must read the other's.
//
//   TK_CARD_OUT=DIR  WritesTheReferenceCard writes the card into DIR (its
//                    DataRecord directory is made afresh) instead of a
//                    temporary directory.
//   TK_CARD_IN=DIR   ReadsTheReferenceCard restarts the store on a copy of
//                    the card in DIR, as written by any build, instead of
//                    on one it writes itself.
//
// scripts/test-armhf.sh writes the card with both builds, compares the two
// trees with cmp, and has each build read the other's.  The expected
// figures come from a model of the sampling and recording rules kept in
// this file, independent of the card.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// The value of a packed field.  gtest's assertions take their operands by
// reference, and a reference bound to a packed field is an unaligned
// pointer that the compiler lets through without a word (a double read
// through it faults on ARM): hand them copies.
template <typename T>
T Val(T v) {
    return v;
}

// The controller's sensors, in its reading order; the list adds the CPU,
// memory and IO utilisation after them.
struct RefSensor {
    uint8_t Num;
    const char *Name;
    uint16_t DevId;
    uint8_t Class;
};
const RefSensor kIpmiSensors[] = {
    {1, "CPU0_Temp", 0x3001, 0},
    {2, "FAN1", 0x5001, 1},
    {3, "PSU_In_Power", 0x8001, 2},
    {9, "Inlet_Temperature_A", 0x7002, 1},  // 19 characters: the longest name
};
constexpr int kIpmiCount = 4;
constexpr int kEntryCount = kIpmiCount + UTIL_ENTRY_COUNT;
const char *const kUtilNames[UTIL_ENTRY_COUNT] = {CPU_UTIL_NAME, MEM_UTIL_NAME, IO_UTIL_NAME};
const uint16_t kUtilNums[UTIL_ENTRY_COUNT] = {CPU_UTIL_NUM, MEM_UTIL_NUM, IO_UTIL_NUM};

constexpr int kSamplesPerPeriod = 5;

// One recording period: five one-minute samples in slot Slot of day Day
// (counted from the first day), then the store turn that records them.
struct Period {
    int Day;
    int Slot;
};

// Nine days of a few periods each (the first two days drop out of the
// seven-day files), then the clock goes back to the seventh day (the two
// later days are emptied and the seventh starts afresh), then on into the
// eighth day again.
std::vector<Period> Schedule() {
    std::vector<Period> out;
    for (int d = 0; d < 9; ++d) {
        for (int s : {0, 1, 5 + d, 143, 287}) out.push_back({d, s});
    }
    out.push_back({6, 10});
    out.push_back({6, 11});
    out.push_back({7, 0});
    out.push_back({7, 2});
    return out;
}

// Readings of sample m of period p: IPMI sensor i, and the three
// utilisation bytes.  Sums of binary fractions, with zero readings now and
// then (a zero restarts an IPMI average and never counts as its minimum).
double IpmiReading(int i, int p, int m) {
    static const double kBase[kIpmiCount] = {40.0, 5400.0, 310.0, 22.0};
    static const double kStep[kIpmiCount] = {0.25, 15.0, 2.5, 0.125};
    static const double kShape[kSamplesPerPeriod] = {0.0, 1.5, -0.75, 2.25, 0.5};
    if (i == 2 && ((p % 4 == 1 && m == 2) || (p % 5 == 2 && m == 0))) return 0.0;
    if (i == 3 && p % 7 == 3 && m == 4) return 0.0;
    return kBase[i] + kStep[i] * (p % 13) + kShape[(m + p) % kSamplesPerPeriod] * (i + 1);
}
uint8_t UtilReading(int u, int p, int m) {
    switch (u) {
        case 0:
            return (uint8_t)((p * 7 + m * 13) % 101);
        case 1:
            return (uint8_t)((40 + p + 3 * m) % 101);
        default:
            return (uint8_t)((p * m) % 11);
    }
}

// The first day of the card, local midnight in UTC.
time_t FirstDay() { return LocalTime(2026, 11, 28); }
int32_t DayKey(int d) { return (int32_t)(FirstDay() + (time_t)d * DAY_SECONDS); }
uint32_t SampleTime(const Period &q, int m) {
    return (uint32_t)DayKey(q.Day) + (uint32_t)(SLOT_SECONDS * q.Slot + 60 * m + 13);
}
// The store turn of a period comes a second after its last sample.
int32_t TurnTime(const Period &q) { return (int32_t)SampleTime(q, kSamplesPerPeriod - 1) + 1; }

// ---------------------------------------------------------------------------
// The model: what the card holds after the schedule.

struct EntryModel {
    bool Valid = false;
    double Reading = 0, Max = 0, Min = 0, Avg = 0;
    uint32_t MaxTime = 0, MinTime = 0;
};
struct SlotModel {
    double Reading, Max, Min, Avg;
};
struct DayModel {
    bool StatsValid = false;
    double Max = 0, Min = 0;
    uint32_t MaxTime = 0, MinTime = 0;
    std::map<int, SlotModel> Slots;
};
struct CardModel {
    // day key -> one day model per entry
    std::map<int32_t, std::vector<DayModel>> Days;
    uint32_t RecordDay = 0;
    uint32_t RecordSlot = 0;
};

void ApplyIpmi(EntryModel &e, double v, uint32_t t) {
    e.Reading = v;
    if (!e.Valid) {
        e.Max = e.Min = e.Avg = v;
        e.MaxTime = e.MinTime = t;
    }
    if (e.Max < v) {
        e.Max = v;
        e.MaxTime = t;
    }
    if (e.Min > v && v != 0.0) {
        e.Min = v;
        e.MinTime = t;
    }
    e.Avg = (v == 0.0 || !e.Valid) ? v : (e.Avg + v) * 0.5;
    e.Valid = true;
}

void ApplyUtil(EntryModel &e, uint8_t b, uint32_t t) {
    double v = b;
    e.Reading = v;
    if (!e.Valid) {
        e.Max = e.Min = e.Avg = v;
        e.MaxTime = e.MinTime = t;
    } else {
        if (e.Max < v) {
            e.Max = v;
            e.MaxTime = t;
        }
        if (e.Min > v) {
            e.Min = v;
            e.MinTime = t;
        }
        e.Avg = (e.Avg + v) * 0.5;
    }
    e.Valid = true;
}

CardModel ModelCard() {
    CardModel card;
    std::vector<Period> schedule = Schedule();
    card.Days[DayKey(0)] = std::vector<DayModel>(kEntryCount);  // the block taken at start-up
    std::vector<EntryModel> entries(kEntryCount);
    for (size_t p = 0; p < schedule.size(); ++p) {
        const Period &q = schedule[p];
        for (int m = 0; m < kSamplesPerPeriod; ++m) {
            uint32_t t = SampleTime(q, m) / 60 * 60;
            for (int i = 0; i < kIpmiCount; ++i) ApplyIpmi(entries[i], IpmiReading(i, (int)p, m), t);
            for (int u = 0; u < UTIL_ENTRY_COUNT; ++u) {
                ApplyUtil(entries[kIpmiCount + u], UtilReading(u, (int)p, m), t);
            }
        }
        int32_t day = DayKey(q.Day);
        if ((int32_t)card.RecordDay != day) {
            bool went_back = (int32_t)card.RecordDay > day;
            if (card.Days.count(day) == 0 && card.Days.size() == DAYS_PER_FILE) card.Days.erase(card.Days.begin());
            card.Days[day] = std::vector<DayModel>(kEntryCount);
            if (went_back) card.Days.erase(card.Days.upper_bound(day), card.Days.end());
            card.RecordDay = (uint32_t)day;
        }
        uint32_t slot_start = (uint32_t)TurnTime(q) / SLOT_SECONDS * SLOT_SECONDS;
        for (int i = 0; i < kEntryCount; ++i) {
            EntryModel &e = entries[i];
            DayModel &dm = card.Days[day][i];
            int s = (int)((slot_start - (uint32_t)day) / SLOT_SECONDS);
            dm.Slots[s] = {e.Reading, e.Max, e.Min, e.Avg};
            if (!dm.StatsValid) {
                dm.Max = e.Max;
                dm.Min = e.Min;
                dm.MaxTime = dm.MinTime = slot_start;
            }
            if (dm.Max < e.Max) {
                dm.Max = e.Max;
                dm.MaxTime = e.MaxTime;
            }
            if (e.Min != 0.0 && dm.Min > e.Min) {
                dm.Min = e.Min;
                dm.MinTime = e.MinTime;
            }
            dm.StatsValid = true;
            e.Valid = false;
        }
        card.RecordSlot = slot_start;
    }
    return card;
}

// ---------------------------------------------------------------------------
// Running the store on a card directory.

time_t g_refnow = 0;
time_t RefClock(time_t *out) {
    if (out != nullptr) *out = g_refnow;
    return g_refnow;
}
void NoSleep(unsigned) {}

// The daemon's globals for one run of the store on a card, given back as
// they were at the end; the list comes from the fake controller.
class StoreRun {
public:
    explicit StoreRun(const std::string &card) : tz_("UTC0") {
        saved_store_ = RecordStore;
        saved_hdr_ = g_localdatahdr;
        saved_count_ = g_sensorcount;
        saved_clock_ = g_clock;
        saved_sleep_ = g_sleepms;
        memcpy(saved_mount_, g_tfmountpath, sizeof saved_mount_);
        saved_free_ = g_tffreesize;

        ResetFakePlatform();
        RecordStore = RecordStoreState{0, -1, nullptr, nullptr, -1};
        g_localdatahdr = LocalDataHdr{};
        g_sensorcount = 0;
        g_clock = RefClock;
        g_sleepms = NoSleep;
        snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", card.c_str());
        g_tffreesize = 1u << 30;
        g_fake.CardPath = card;
        for (const RefSensor &s : kIpmiSensors) {
            g_fake.Sensors.push_back(FakeSensor{s.Num, s.Name, 0.0});
            g_fake.DevIds[s.Num] = s.DevId;
        }
        g_fake.SensorCount = kIpmiCount;
    }

    ~StoreRun() {
        if (RecordStore.SensorArr != nullptr) {
            UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
            free(RecordStore.SensorArr);
        }
        if (RecordStore.RecordTimeMap != nullptr) munmap(RecordStore.RecordTimeMap, sizeof(RecordTimeFile));
        free(g_localdatahdr.SensorData);
        RecordStore = saved_store_;
        g_localdatahdr = saved_hdr_;
        g_sensorcount = saved_count_;
        g_clock = saved_clock_;
        g_sleepms = saved_sleep_;
        memcpy(g_tfmountpath, saved_mount_, sizeof saved_mount_);
        g_tffreesize = saved_free_;
        ResetFakePlatform();
    }

    // Builds the list and starts the store on the card at time now.
    void Start(time_t now) {
        g_refnow = now;
        ASSERT_EQ(InitSensorDataList(&g_localdatahdr), 0);
        ASSERT_EQ(Val(g_localdatahdr.SensorCount), (uint32_t)kEntryCount);
        ASSERT_EQ(InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr), 0);
        ASSERT_EQ(Val(RecordStore.RecordCount), (uint32_t)kEntryCount);
    }

    StoreRun(const StoreRun &) = delete;
    StoreRun &operator=(const StoreRun &) = delete;

private:
    ScopedTimeZone tz_;
    RecordStoreState saved_store_;
    LocalDataHdr saved_hdr_;
    uint32_t saved_count_;
    ClockFn saved_clock_;
    SleepFn saved_sleep_;
    char saved_mount_[TK_MOUNT_PATH_SIZE];
    uint64_t saved_free_;
};

// Runs the schedule through the sampling and the store loop on the card.
void WriteReferenceCard(const std::string &card) {
    fs::create_directories(card);
    fs::remove_all(card + "/DataRecord");
    StoreRun run(card);
    std::vector<Period> schedule = Schedule();
    ASSERT_NO_FATAL_FAILURE(run.Start(SampleTime(schedule[0], 0)));
    uint32_t last_sample = 0;
    for (size_t p = 0; p < schedule.size(); ++p) {
        const Period &q = schedule[p];
        for (int m = 0; m < kSamplesPerPeriod; ++m) {
            for (int i = 0; i < kIpmiCount; ++i) g_fake.Sensors[i].Reading = IpmiReading(i, (int)p, m);
            g_fake.Cpu = UtilReading(0, (int)p, m);
            g_fake.Mem = UtilReading(1, (int)p, m);
            g_fake.Io = UtilReading(2, (int)p, m);
            g_refnow = SampleTime(q, m);
            ASSERT_EQ(SampleIfNewMinute(&g_localdatahdr, (uint32_t)g_refnow, &last_sample), 1);
        }
        g_refnow = TurnTime(q);
        StoreLoopTurn(TurnTime(q), 0);
    }
}

std::vector<uint8_t> FileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every regular file under dir, by its path relative to dir.
std::map<std::string, std::vector<uint8_t>> TreeBytes(const std::string &dir) {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) out[fs::relative(entry.path(), dir).string()] = FileBytes(entry.path());
    }
    return out;
}

// Restarts the store on a copy of the card, checks the answer of every
// history query against the model, and checks that the restart changed
// no byte of the card.
void CheckReferenceCard(const std::string &card) {
    ASSERT_TRUE(fs::is_directory(card + "/" RECORD_DIR)) << "no card at " << card;
    TempDir copy;
    fs::copy(card + "/DataRecord", copy.path() + "/DataRecord", fs::copy_options::recursive);
    std::map<std::string, std::vector<uint8_t>> before = TreeBytes(copy.path());
    ASSERT_EQ(before.size(), (size_t)kEntryCount + 1);

    CardModel model = ModelCard();
    std::vector<Period> schedule = Schedule();
    {
        StoreRun run(copy.path());
        const time_t last = TurnTime(schedule.back());
        ASSERT_NO_FATAL_FAILURE(run.Start(last));
        EXPECT_EQ(Val(RecordStore.RecordTimeMap->RecordDay), model.RecordDay);
        EXPECT_EQ(Val(RecordStore.RecordTimeMap->RecordSlot), model.RecordSlot);

        for (int i = 0; i < kEntryCount; ++i) {
            const SensorDataFile *file = RecordStore.SensorArr[i].Map;
            const LocalSensorData &e = g_localdatahdr.SensorData[i];
            uint16_t num = i < kIpmiCount ? kIpmiSensors[i].Num : kUtilNums[i - kIpmiCount];
            const char *name = i < kIpmiCount ? kIpmiSensors[i].Name : kUtilNames[i - kIpmiCount];
            uint8_t cls = i < kIpmiCount ? kIpmiSensors[i].Class : UTIL_SENSOR_CLASS;
            EXPECT_EQ(Val(e.SensorNum), num);
            EXPECT_EQ(Val(file->Header.SensorNum), num);
            EXPECT_EQ(std::string(file->Header.SensorName, strnlen(file->Header.SensorName, SENSOR_NAME_SIZE)), name);
            EXPECT_EQ(Val(file->Header.SensorClass), cls);
        }

        SensorDataQuery query;
        for (int d = 0; d < 9; ++d) {
            const int32_t day = DayKey(d);
            auto held = model.Days.find(day);
            for (int i = 0; i < kEntryCount; ++i) {
                SCOPED_TRACE(testing::Message() << "day " << d << ", entry " << i);
                memset(&query, 0, sizeof query);
                query.SensorNum = g_localdatahdr.SensorData[i].SensorNum;
                SetQueryWindow(&query, day, (int32_t)last + DAY_SECONDS * 3);
                int rc = SearchSensorDataFromFile(RecordStore.SensorArr, &query, RecordStore.RecordCount);
                if (held == model.Days.end()) {
                    EXPECT_EQ(rc, 1);
                    continue;
                }
                ASSERT_EQ(rc, 0);
                const DayModel &dm = held->second[i];
                ASSERT_TRUE(dm.StatsValid);
                EXPECT_EQ(Val(query.MaxValue), dm.Max);
                EXPECT_EQ(Val(query.MinValue), dm.Min);
                EXPECT_EQ(Val(query.MaxTime), dm.MaxTime);
                EXPECT_EQ(Val(query.MinTime), dm.MinTime);
                for (int s = 0; s < SLOTS_PER_DAY; ++s) {
                    SCOPED_TRACE(testing::Message() << "slot " << s);
                    const SampleSlot slot = query.Slots[s];
                    EXPECT_EQ(Val(slot.SlotTime), (uint32_t)day + (uint32_t)(SLOT_SECONDS * s));
                    auto sm = dm.Slots.find(s);
                    if (sm == dm.Slots.end()) {
                        EXPECT_EQ(Val(slot.Recorded), 0);
                        EXPECT_EQ(Val(slot.Reading), 0.0);
                        EXPECT_EQ(Val(slot.MaxReading), 0.0);
                        EXPECT_EQ(Val(slot.MinReading), 0.0);
                        EXPECT_EQ(Val(slot.AvgReading), 0.0);
                    } else {
                        EXPECT_EQ(Val(slot.Recorded), 1);
                        EXPECT_EQ(Val(slot.Reading), sm->second.Reading);
                        EXPECT_EQ(Val(slot.MaxReading), sm->second.Max);
                        EXPECT_EQ(Val(slot.MinReading), sm->second.Min);
                        EXPECT_EQ(Val(slot.AvgReading), sm->second.Avg);
                    }
                }
            }
        }
        ASSERT_EQ(UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount), 0);
    }
    std::map<std::string, std::vector<uint8_t>> after = TreeBytes(copy.path());
    ASSERT_EQ(after.size(), before.size());
    for (const auto &[path, bytes] : before) EXPECT_TRUE(after[path] == bytes) << path << " changed by the restart";
}

std::string EnvDir(const char *name) {
    const char *v = getenv(name);
    return v != nullptr ? v : "";
}

TEST(CrossArchCard, WritesTheReferenceCard) {
    TempDir tmp;
    std::string card = EnvDir("TK_CARD_OUT");
    if (card.empty()) card = tmp.path();
    ASSERT_NO_FATAL_FAILURE(WriteReferenceCard(card));

    // The card's shape: one full-size file per entry and the record time.
    std::map<std::string, std::vector<uint8_t>> tree = TreeBytes(card);
    ASSERT_EQ(tree.size(), (size_t)kEntryCount + 1);
    for (const RefSensor &s : kIpmiSensors) {
        EXPECT_EQ(tree[std::string(RECORD_DIR "/") + s.Name].size(), sizeof(SensorDataFile)) << s.Name;
    }
    for (const char *name : kUtilNames) EXPECT_EQ(tree[std::string(RECORD_DIR "/") + name].size(), sizeof(SensorDataFile));
    const std::vector<uint8_t> &rt = tree[RECORD_DIR "/" RECORD_TIME_DIR "/" RECORD_TIME_FILE];
    ASSERT_EQ(rt.size(), sizeof(RecordTimeFile));
    CardModel model = ModelCard();
    uint32_t day = (uint32_t)rt[0] | (uint32_t)rt[1] << 8 | (uint32_t)rt[2] << 16 | (uint32_t)rt[3] << 24;
    EXPECT_EQ(day, model.RecordDay);
}

TEST(CrossArchCard, ReadsTheReferenceCard) {
    std::string card = EnvDir("TK_CARD_IN");
    TempDir tmp;
    if (card.empty()) {
        card = tmp.path();
        ASSERT_NO_FATAL_FAILURE(WriteReferenceCard(card));
    }
    CheckReferenceCard(card);
}

}  // namespace
