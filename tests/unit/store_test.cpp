// The history store and the request service against one small model of
// their rules, kept in the packed records of StoreData.h: seeded runs of
// the store thread's turns, with and without the speed-ups; clocks as a BMC
// meets them; requests at exact times; a table of cards for the
// initialisation.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
const int32_t kDay = 1796342400;  // 2026-12-04T00:00:00Z
time_t g_now = 0;                 // what the store's clock reads

// Sanitizer builds run a quarter of the seeded turns: they look for memory
// and thread errors, which a shorter run meets as well.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kTurnShare = 4;
#else
const int kTurnShare = 1;
#endif

std::vector<uint8_t> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof record);
}
// True when text is pattern, where '#' stands for one or more digits and
// '*' for any characters up to a newline.
bool Matches(const char *t, const char *p) {
    if (*p == '*') return Matches(t, p + 1) || (*t != '\0' && *t != '\n' && Matches(t + 1, p));
    if (*p == '#') return isdigit(*t) && Matches(t + strspn(t, "0123456789"), p + 1);
    return *t == *p && (*p == '\0' || Matches(t + 1, p + 1));
}
template <typename T, typename F>
T *First(T *from, size_t n, F match) {
    T *found = std::find_if(from, from + n, match);
    return found == from + n ? nullptr : found;
}

// ---------------------------------------------------------------------------
// The model.  Slot s of a day block is stamped with DayKey + 300 * s.
void Stamp(DayBlock &b, int32_t key) {
    b.DayKey = key;
    for (uint32_t s = 0; s < SLOTS_PER_DAY; ++s) b.Slots[s].SlotTime = (uint32_t)key + SLOT_SECONDS * s;
}

// The block a day goes into: its own, else the first empty one, else the
// first dated after it, else the oldest (the first of equal keys).
DayBlock &BlockFor(SensorDataFile &f, int32_t key) {
    DayBlock *b = First(f.Days, 7, [&](const DayBlock &x) { return x.DayKey == key; });
    if (b == nullptr) b = First(f.Days, 7, [](const DayBlock &x) { return x.DayKey == 0; });
    if (b == nullptr) b = First(f.Days, 7, [&](const DayBlock &x) { return x.DayKey > key; });
    if (b == nullptr) b = std::min_element(f.Days, f.Days + 7, [](auto &x, auto &y) { return x.DayKey < y.DayKey; });
    return *b;
}

// Initialisation: the header from the entry (a name is written only when it
// differs), then the recorded day's first block stamped, or else, with the
// clock set, today's block.
void Prepare(SensorDataFile &f, const LocalSensorData &e, uint32_t record_day, time_t now) {
    size_t len = strlen(e.SensorName);
    if (memcmp(f.Header.SensorName, e.SensorName, len) != 0) memcpy(f.Header.SensorName, e.SensorName, len + 1);
    f.Header.SensorNum = e.SensorNum;
    f.Header.SensorClass = e.SensorClass;
    DayBlock *b =
        First(f.Days, 7, [&](const DayBlock &x) { return record_day != 0 && x.DayKey == (int32_t)record_day; });
    if (b != nullptr) Stamp(*b, b->DayKey);
    if (b == nullptr && now >= TK_CLOCK_FLOOR)
        Stamp(BlockFor(f, (int32_t)DayStartTime(now)), (int32_t)DayStartTime(now));
}

// The day switch: the chosen block emptied but for its old extremes; after
// a set-back the blocks of later days emptied too.
void Switch(SensorDataFile &f, int32_t key, bool went_back) {
    DayBlock &b = BlockFor(f, key);
    memset(b.Slots, 0, sizeof b.Slots);
    b.StatsValid = 0;
    Stamp(b, key);
    for (DayBlock &other : f.Days) {
        if (went_back && other.DayKey > key) other = DayBlock{};
    }
}

// The recording: each entry read since the last one goes into the slot of
// the first file whose header matches it, and into the day's extremes.
void Record(std::vector<SensorDataFile> &files, const std::vector<LocalSensorData> &entries, uint32_t slot,
            int32_t day) {
    for (const LocalSensorData &e : entries) {
        SensorDataFile *f = First(files.data(), files.size(), [&](const SensorDataFile &x) {
            return x.Header.SensorNum == e.SensorNum &&
                   memcmp(x.Header.SensorName, e.SensorName, strlen(e.SensorName)) == 0;
        });
        DayBlock *b = f ? First(f->Days, 7, [&](const DayBlock &x) { return x.DayKey == day; }) : nullptr;
        SampleSlot *s = b ? First(b->Slots, 288, [&](const SampleSlot &x) { return x.SlotTime == slot; }) : nullptr;
        if (s == nullptr || e.InUse != 1 || e.Valid != 1) continue;
        *s = SampleSlot{1, slot, e.Reading, e.MaxReading, e.MinReading, e.AvgReading};
        if (!b->StatsValid) {
            b->DayMax = e.MaxReading;
            b->DayMin = e.MinReading;
            b->DayMaxTime = slot;
            b->DayMinTime = slot;
        }
        if (e.MaxReading > b->DayMax) {
            b->DayMax = e.MaxReading;
            b->DayMaxTime = e.MaxTime;
        }
        if (e.MinReading != 0.0 && e.MinReading < b->DayMin) {
            b->DayMin = e.MinReading;
            b->DayMinTime = e.MinTime;
        }
        b->StatsValid = 1;
    }
}

// The query of num for day at now: the window (the whole day once it is
// over or while the clock is not set, else up to the current five-minute
// boundary); the slots stamped within it copied to their own place; the
// extremes of those slots, or the day's own where they lie within the
// window.  Returns -1 when no file has the number, 1 when its file lacks
// the day, else 0.
int Search(std::vector<SensorDataFile> &files, uint16_t num, int32_t day, int32_t now, SensorDataQuery &q) {
    q = SensorDataQuery{};
    q.StartTime = day;
    q.EndTime = now < TK_CLOCK_FLOOR || (int64_t)now - day > DAY_SECONDS ? day + DAY_LAST_SECOND : now - now % 300;
    q.SensorNum = num;
    SensorDataFile *f = First(files.data(), files.size(), [&](const auto &x) { return x.Header.SensorNum == num; });
    if (f == nullptr) return -1;
    DayBlock *b = First(f->Days, 7, [&](const DayBlock &x) { return x.DayKey == day; });
    if (b == nullptr) return 1;
    bool first = true;
    for (int64_t t = day; t < q.EndTime && t < day + DAY_SECONDS; t += SLOT_SECONDS) {
        SampleSlot *s = First(b->Slots, 288, [&](const SampleSlot &x) { return x.SlotTime == (uint32_t)t; });
        if (s == nullptr) continue;
        q.Slots[s - b->Slots] = *s;
        if (first || s->MaxReading > q.MaxValue) {
            q.MaxValue = s->MaxReading;
            q.MaxTime = (uint32_t)t;
        }
        if (first || s->MinReading < q.MinValue) {
            q.MinValue = s->MinReading;
            q.MinTime = (uint32_t)t;
        }
        first = false;
    }
    if (q.EndTime >= (int32_t)b->DayMaxTime) {
        q.MaxValue = b->DayMax;
        q.MaxTime = b->DayMaxTime;
    }
    if (q.EndTime >= (int32_t)b->DayMinTime) {
        q.MinValue = b->DayMin;
        q.MinTime = b->DayMinTime;
    }
    return 0;
}

// A sensor data file whose block d holds day with its slots stamped.
SensorDataFile Keyed(const char *name, uint16_t num, uint8_t cls, int d = 0, int32_t day = kDay) {
    SensorDataFile f = {};
    snprintf(f.Header.SensorName, sizeof f.Header.SensorName, "%s", name);
    f.Header.SensorNum = num;
    f.Header.SensorClass = cls;
    Stamp(f.Days[d], day);
    return f;
}
std::vector<uint8_t> Fresh(const char *name, uint16_t num, uint8_t cls) { return Bytes(Keyed(name, num, cls)); }
std::vector<uint8_t> Times(uint32_t day, uint32_t slot = 0) { return Bytes(RecordTimeFile{day, slot}); }
std::vector<uint8_t> Filled(size_t n) { return std::vector<uint8_t>(n, 0xAB); }

struct SensorSpec {
    std::string Name;
    uint16_t Num;
    uint8_t Class;
};

// A card directory (under /dev/shm where there is one: the store flushes
// synchronously), the store's clock at g_now, no pauses, the zone UTC and
// the test's list in g_localdatahdr, with the store and the model side by
// side on them; all given back at the end.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        ReleaseStore();
        g_clock = [](time_t *out) {
            if (out != nullptr) *out = g_now;
            return g_now;
        };
        g_sleepms = [](unsigned) {};
        g_tffreesize = 1u << 30;
        UseCard(dir_.path());
    }
    void TearDown() override {
        ReleaseStore();
        g_localdatahdr = saved_hdr_;
        g_clock = saved_clock_;
        g_sleepms = saved_sleep_;
    }
    void UseCard(const std::string &dir) {
        card_ = dir;
        snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", dir.c_str());
    }
    std::string RecordDir() const { return card_ + "/" RECORD_DIR; }
    void SetList(const std::vector<SensorSpec> &sensors) {
        entries_.assign(sensors.size(), LocalSensorData{});
        for (size_t i = 0; i < sensors.size(); ++i) {
            snprintf(entries_[i].SensorName, SENSOR_NAME_SIZE, "%s", sensors[i].Name.c_str());
            entries_[i].InUse = 1;
            entries_[i].SensorNum = sensors[i].Num;
            entries_[i].SensorClass = sensors[i].Class;
        }
        g_localdatahdr = LocalDataHdr{0, 0, 1, (uint32_t)sensors.size(), entries_.data()};
    }
    int InitStore(time_t now) {
        g_now = now;
        return InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr);
    }
    // A new card: the store started at now, the model empty.
    void NewCard(time_t now) {
        ReleaseStore();
        fs::remove_all(card_ + "/DataRecord");
        model_.assign(entries_.size(), SensorDataFile{});
        record_day_ = 0;
        record_slot_ = 0;
        Start(now);
    }
    // (Re)starts the store at now, the record time file or the sensor data
    // file of entry lost_file lost first.
    void Start(time_t now, bool lost_time = false, int lost_file = -1) {
        ReleaseStore();
        if (lost_time) {
            unlink((RecordDir() + "/DataTime/RecordTime").c_str());
            record_day_ = 0;
            record_slot_ = 0;
        }
        if (lost_file >= 0) {
            char name[SENSOR_FILE_NAME_SIZE];
            SensorFileName(entries_[(size_t)lost_file].SensorName, name);
            ASSERT_EQ(truncate((RecordDir() + "/" + name).c_str(), 1000), 0);
            model_[(size_t)lost_file] = SensorDataFile{};
        }
        ASSERT_EQ(InitStore(now), 0);
        for (size_t i = 0; i < entries_.size(); ++i) Prepare(model_[i], entries_[i], record_day_, now);
    }
    // Entry i as a refresh leaves it: reading, greatest, least, average.
    void Refresh(size_t i, const std::vector<double> &f, uint32_t max_time, uint32_t min_time) {
        LocalSensorData &e = entries_[i];
        e.Valid = 1;
        g_localdatahdr.DataReady = 1;
        e.Reading = f[0];
        e.MaxReading = f[1];
        e.MinReading = f[2];
        e.AvgReading = f[3];
        e.MaxTime = max_time;
        e.MinTime = min_time;
    }
    // A turn of the store thread at now, then the model's; every file and
    // the record time must be the model's, and a flush leaves no file's
    // pages in the process (resident_: each file's, taken after the turn).
    void Turn(int32_t now) {
        ASSERT_NE(RecordStore.RecordTimeMap, nullptr);
        std::vector<LocalSensorData> entries = entries_;
        bool ready = g_localdatahdr.DataReady == 1;
        StoreLoopTurn(now, 0);
        resident_ = ResidentBytes();
        int32_t day = (int32_t)DayStartTime(now);
        int32_t slot = now / 300 * 300;
        if (now < TK_CLOCK_FLOOR || day <= 0) {  // the clock is not believed: nothing moves
            day = (int32_t)record_day_;
            slot = (int32_t)record_slot_;
            ready = false;
        }
        if ((int32_t)record_day_ != day || (int32_t)record_slot_ != slot) {
            EXPECT_EQ(resident_, std::vector<size_t>(model_.size(), 0)) << "resident after the flush at " << now;
        }
        if ((int32_t)record_day_ != day) {
            for (SensorDataFile &f : model_) Switch(f, day, (int32_t)record_day_ > day);
            record_day_ = (uint32_t)day;
        }
        if ((int32_t)record_slot_ != slot && ready) {
            Record(model_, entries, (uint32_t)slot, day);
            for (const LocalSensorData &e : entries_) EXPECT_EQ(+e.Valid, 0);
            EXPECT_EQ(+g_localdatahdr.DataReady, 0);
        }
        record_slot_ = (uint32_t)slot;
        EXPECT_EQ(Bytes(*RecordStore.RecordTimeMap), Times(record_day_, record_slot_)) << now;
        for (size_t i = 0; i < model_.size(); ++i) {
            std::vector<uint8_t> want = Bytes(model_[i]);
            std::vector<uint8_t> got = Bytes(*RecordStore.SensorArr[i].Map);
            long at = std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin();
            ASSERT_EQ(at, (long)want.size()) << "file " << i << " differs from there on after the turn at " << now;
        }
    }
    ::testing::AssertionResult QueryAgrees(uint16_t num, int32_t day, int32_t now) {
        SensorDataQuery real = {};
        real.SensorNum = num;
        SetQueryWindow(&real, day, now);
        int rc = SearchSensorDataFromFile(RecordStore.SensorArr, &real, RecordStore.RecordCount);
        SensorDataQuery want;
        int want_rc = Search(model_, num, day, now, want);
        if (rc == want_rc && Bytes(real) == Bytes(want)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "query of " << num << " for " << day << " at " << now << ": " << rc << ", model " << want_rc;
    }
    uint32_t Below(uint32_t n) { return (uint32_t)(rng_() % n); }
    // A seeded run on a new card: clock jumps forward and back (small_percent
    // of the steps by at most ten minutes), restarts, figures that are zero,
    // negative, equal or NaN, turns without fresh figures, queries; with
    // damage, headers, day keys and slot times spoilt on card and model
    // alike.  One draw per statement: the reference card must come out the
    // same whatever order a compiler evaluates arguments in.
    void RandomRun(time_t start, int steps, uint32_t small_percent, bool damage = false) {
        static const double kPalette[] = {-12.5, -3.0, -0.0, 0.0, 0.0, 0.5, 2.0, 2.0, 7.25, 19.0, 19.0, 100.0, NAN};
        static const uint16_t kNums[] = {1, 2, 0xFFFF, 99};
        // Clock jumps: kinds below Upto go Sign * (At least + up to Spread).
        static const struct {
            uint32_t Upto;
            int Sign, AtLeast, Spread;
        } kJumps[] = {{15, 1, 600, 3 * 3600},
                      {25, 1, 3 * 3600, 27 * 3600},
                      {30, 1, 86400, 2 * 86400},
                      {36, -1, 1, 2 * 3600},
                      {44, -1, 1, 2 * 86400}};
        const uint32_t n = (uint32_t)entries_.size();
        time_t now = start;
        NewCard(now);
        for (int step = 0; step < steps / kTurnShare && !HasFailure(); ++step) {
            uint32_t small = Below(100);
            uint32_t kind = Below(45);
            if (small < small_percent) now += 1 + Below(600);
            if (small < small_percent) kind = 45;
            bool lost_time = Below(3) == 0;
            int lost_file = (int)Below(3 * n) - 2 * (int)n;  // a third of the restarts lose a file
            if (kind == 44) Start(now, lost_time, lost_file);
            for (const auto &j : kJumps) {
                if (kind >= j.Upto) continue;
                now += j.Sign * (j.AtLeast + (time_t)Below((uint32_t)j.Spread));
                break;
            }
            uint32_t refreshed = Below(n + 1);
            for (uint32_t i = 0; i < refreshed; ++i) {
                uint32_t t = (uint32_t)now - Below(300);
                uint32_t t_min = t + Below(60);
                std::vector<double> figures(4);
                for (double &v : figures) v = kPalette[Below(sizeof kPalette / sizeof kPalette[0])];
                Refresh(i, figures, t, t_min);
                entries_[i].InUse = Below(12) != 0;
            }
            uint32_t spoilt = Below(4);
            if (damage && spoilt == 0) Damage();
            Turn((int32_t)now);
            uint32_t query = Below(3);
            int32_t day = model_[Below(n)].Days[Below(7)].DayKey;
            if (query == 1) day = (int32_t)DayStartTime(now - ((time_t)Below(10) - 1) * 86400);
            uint16_t num = kNums[Below(4)];
            ASSERT_TRUE(query == 0 || QueryAgrees(num, day, (int32_t)now)) << "after step " << step;
        }
    }
    // Spoils one header field, day key or slot time (of a later slot, or
    // any) on the card and in the model alike.
    void Damage() {
        uint32_t i = Below((uint32_t)model_.size());
        uint32_t d = Below(7);
        uint32_t s = Below(288);
        uint32_t k = Below(20);
        uint32_t what = Below(4);
        uint32_t value = 'A' + Below(60);
        if (what == 2) value = (uint32_t)model_[i].Days[Below(7)].DayKey;
        if (what == 3) value = model_[i].Days[d].Slots[s + Below(288 - s)].SlotTime;
        if (what == 3 && Below(2) == 0) value = (uint32_t)rng_();
        auto spoil = [&](SensorDataFile &x) {
            if (what == 0) x.Header.SensorName[k] = (char)value;
            if (what == 1) x.Header.SensorNum = (uint16_t)(x.Header.SensorNum ^ 1);
            if (what == 2) x.Days[d].DayKey = (int32_t)value;
            if (what == 3) x.Days[d].Slots[s].SlotTime = value;
        };
        spoil(*RecordStore.SensorArr[i].Map);
        spoil(model_[i]);
    }
    std::vector<size_t> ResidentBytes() const {
        std::map<unsigned long, size_t> rss;
        std::ifstream smaps("/proc/self/smaps");
        unsigned long start = 0;
        for (std::string line; std::getline(smaps, line);) {
            unsigned long from = 0;
            unsigned long to = 0;
            if (sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) start = from;
            if (line.rfind("Rss:", 0) == 0) rss[start] = std::stoul(line.substr(4)) * 1024;
        }
        std::vector<size_t> out;
        for (size_t i = 0; i < RecordStore.RecordCount; ++i)
            out.push_back(rss[(unsigned long)RecordStore.SensorArr[i].Map]);
        return out;
    }

    TempDir dir_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
    std::string card_;
    std::vector<LocalSensorData> entries_;
    std::vector<SensorDataFile> model_;
    std::vector<size_t> resident_;
    uint32_t record_day_ = 0;
    uint32_t record_slot_ = 0;
    std::mt19937 rng_{20261204};
    ScopedTimeZone tz_{"UTC0"};
    LocalDataHdr saved_hdr_ = g_localdatahdr;
    ClockFn saved_clock_ = g_clock;
    SleepFn saved_sleep_ = g_sleepms;
};

// ---------------------------------------------------------------------------
// Seeded runs.  "CPU" shares its number with CPU_Temp and is a leading part
// of its name: its figures land in CPU_Temp's file, the first whose header
// matches.  The speed-ups (the recorder's entry-file cache, the query's walk
// over stamped slots by index, StatsValid written only when it changes) and
// the plain first-match searches of g_storespeedups = 0 must each give the
// model's bytes, also on files spoilt between turns.  Runs across the
// 23-hour day of 29 March and the 25-hour day of 25 October go mostly slot
// by slot.
const std::vector<SensorSpec> kSensors = {{"CPU_Temp", 1, 1},
                                          {"CPU", 1, 2},
                                          {"Fan/1", 2, 4},
                                          {"CPU_Utilization", 0xFFFF, 3}};

TEST_F(StoreTest, SeededRunsAgreeWithTheModel) {
    const char *cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const struct {
        const char *Zone;
        int Month, Day, Hour, Minute, Steps;
        uint32_t SmallPercent;
        bool Damage;
        int SpeedUps;
    } runs[] = {{"UTC0", 11, 20, 23, 40, 1500, 55, false, 1},
                {cet, 3, 28, 19, 10, 1000, 90, false, 1},
                {cet, 10, 24, 18, 50, 1000, 90, false, 1},
                {"UTC0", 11, 20, 23, 40, 800, 55, true, 1},
                {"UTC0", 11, 20, 23, 40, 800, 55, true, 0}};
    SetList(kSensors);
    for (const auto &r : runs) {
        SCOPED_TRACE(std::string(r.Zone) + " " + std::to_string(r.Month) + "/" + std::to_string(r.SpeedUps));
        ScopedTimeZone tz(r.Zone);
        g_storespeedups = r.SpeedUps;
        RandomRun(LocalTime(2026, r.Month, r.Day, r.Hour, r.Minute), r.Steps, r.SmallPercent, r.Damage);
    }
    g_storespeedups = 1;
}

// Regression: the walk's shortcut once checked the slot times of all 288
// slots, so a file cut short behind its mapping ended the daemon with a bus
// error where the plain search answers.  Here the page behind the slots of
// the window is inaccessible, and every slot time before it is stamped.
TEST_F(StoreTest, TheWalkReadsNoSlotThePlainSearchWouldNot) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t size = (sizeof(SensorDataFile) + page - 1) / page * page;
    void *map = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map, page, PROT_READ | PROT_WRITE), 0);
    SensorDataFile *file = static_cast<SensorDataFile *>(map);
    file->Header.SensorNum = 7;
    file->Days[0].DayKey = kDay;
    size_t whole = std::min<size_t>(288, (page - 52) / 37);  // slots wholly in the page
    for (size_t s = 0; 57 + 37 * s <= page; ++s) file->Days[0].Slots[s].SlotTime = kDay + 300 * (uint32_t)s;
    for (size_t s = 0; s < whole; ++s) file->Days[0].Slots[s].MaxReading = (double)(s % 7);
    StoreHandler handler = {-1, file, 7};
    for (size_t walked = 1; walked <= whole; ++walked) {
        SensorDataQuery q[2] = {};
        for (int fast = 0; fast < 2; ++fast) {
            q[fast].SensorNum = 7;
            g_storespeedups = fast;
            SetQueryWindow(&q[fast], kDay, kDay + 300 * (int32_t)walked);
            EXPECT_EQ(SearchSensorDataFromFile(&handler, &q[fast], 1), 0);
        }
        EXPECT_EQ(Bytes(q[0]), Bytes(q[1])) << walked;
    }
    g_storespeedups = 1;
    munmap(map, size);
}

// The reference card, a seeded run too: the x86-64 and the 32-bit ARM builds
// must write it byte for byte the same (scripts/test-armhf.sh compares them)
// and read each other's.  TK_CARD_OUT=DIR writes it into DIR; TK_CARD_IN=DIR
// reads the card in DIR rather than one written here.
using CrossArchCard = StoreTest;

TEST_F(CrossArchCard, WritesTheReferenceCard) {
    const char *out = getenv("TK_CARD_OUT");
    if (out != nullptr) fs::create_directories(out);
    if (out != nullptr) UseCard(out);
    SetList(kSensors);
    RandomRun(LocalTime(2026, 11, 28, 0, 5), 300, 55);
}

TEST_F(CrossArchCard, ReadsTheReferenceCard) {
    SetList(kSensors);
    RandomRun(LocalTime(2026, 11, 28, 0, 5), 300, 55);
    ASSERT_FALSE(HasFailure());
    const char *in = getenv("TK_CARD_IN");
    ReleaseStore();
    fs::create_directories(card_ + "/copy");
    fs::copy((in != nullptr ? in : card_) + "/DataRecord", card_ + "/copy/DataRecord", fs::copy_options::recursive);
    UseCard(card_ + "/copy");
    // The card is the model's, and a restart on it changes none of it.
    for (int restarted = 0; restarted < 2; ++restarted) {
        EXPECT_EQ(ReadBytes(RecordDir() + "/DataTime/RecordTime"), Times(record_day_, record_slot_));
        for (size_t i = 0; i < entries_.size(); ++i) {
            char name[SENSOR_FILE_NAME_SIZE];
            SensorFileName(entries_[i].SensorName, name);
            EXPECT_EQ(ReadBytes(RecordDir() + "/" + name), Bytes(model_[i])) << name << " " << restarted;
        }
        ASSERT_TRUE(restarted == 1 || InitStore(g_now) == 0);
    }
    for (const DayBlock &b : model_[0].Days) {
        for (uint16_t num : {1, 2, 0xFFFF}) EXPECT_TRUE(QueryAgrees(num, b.DayKey, b.DayKey + 86400));
    }
}

// ---------------------------------------------------------------------------
// Clocks as a BMC meets them.  Each row starts from a card that holds a week
// (4 to 10 December 2026), may re-date some of its blocks, then runs the
// store through the row's times, restarting it where a step says so.  Card
// and model agree after every turn; afterwards the row's days are held,
// every day held is answered, and the store has said once that recording
// stopped and once that it resumed.
TEST_F(StoreTest, AClockNotSetOrSetWrongCostsNoHistory) {
    const time_t kLastNoon = kDay + 6 * 86400 + 12 * 3600;
    const time_t kBoot = 946685100;  // 2000-01-01 00:05, where a clock that lost its power starts
    enum Do { kTurn, kRestart, kRestartTimeLost };
    struct Step {
        time_t Now;
        Do Before = kTurn;
    };
    const struct Row {
        const char *Name;
        int Future;  // the week's first days re-dated to January 2030 (a clock that once ran ahead)
        std::vector<Step> Steps;
        std::vector<int> Held;  // the days held afterwards, counted from 4 December
        std::vector<std::string> Log;
    } rows[] = {
        {"not yet set at a start, then set",
         0,
         {{kBoot, kRestart}, {kBoot + 300}, {kBoot + 86400}, {kBoot + 86700, kRestartTimeLost}, {kLastNoon + 600}},
         {0, 1, 2, 3, 4, 5, 6},
         {"Clock not set:946685100 is before 1735689600, history kept, nothing recorded",
          "Clock set:1796904600, recording resumes"}},
        {"lost during a run, then set",
         0,
         {{kLastNoon + 300}, {kBoot}, {kLastNoon + 900}},
         {0, 1, 2, 3, 4, 5, 6},
         {"Clock not set:946685100 is before 1735689600, history kept, nothing recorded",
          "Clock set:1796904900, recording resumes"}},
        {"a card dated in the future: each new day takes a future block first",
         5,
         {{kLastNoon + 86400},
          {kLastNoon + 2 * 86400, kRestart},
          {kLastNoon + 3 * 86400},
          {kLastNoon + 4 * 86400},
          {kLastNoon + 5 * 86400}},
         {5, 6, 7, 8, 9, 10, 11},
         {}}};
    SetList({{"CPU0_Temp", 1, 0}, {"CPU_Utilization", 0xFFFF, 3}});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        NewCard(kDay + 300);
        for (int32_t now = kDay + 300; now < kDay + 7 * 86400; now += 21000) {
            Refresh(0, {20.0 + now % 7, 21.0 + now % 7, 19.0, 20.5}, (uint32_t)now - 60, (uint32_t)now - 120);
            Turn(now);
        }
        for (int d = 0; d < row.Future; ++d) {
            for (size_t i = 0; i < entries_.size(); ++i) {
                RecordStore.SensorArr[i].Map->Days[d].DayKey = (int32_t)LocalTime(2030, 1, 1 + d);
                model_[i].Days[d].DayKey = (int32_t)LocalTime(2030, 1, 1 + d);
            }
        }
        ResetFakePlatform();
        for (const Step &step : row.Steps) {
            if (step.Before != kTurn) Start(step.Now, step.Before == kRestartTimeLost);
            Refresh(0, {5.0, 6.0, 4.0, 5.5}, (uint32_t)step.Now - 60, (uint32_t)step.Now - 120);
            Turn((int32_t)step.Now);
            for (const DayBlock &b : model_[0].Days) {
                EXPECT_TRUE(b.DayKey == 0 || QueryAgrees(1, b.DayKey, (int32_t)step.Now));
            }
        }
        std::vector<int> held;
        for (const DayBlock &b : model_[0].Days) held.push_back((b.DayKey - kDay) / 86400);
        std::sort(held.begin(), held.end());
        EXPECT_EQ(held, row.Held);
        std::vector<std::string> log;
        for (const LoggedMessage &m : g_fake.Messages) {
            size_t at = m.Text.find("Clock ");
            if (at != std::string::npos) log.push_back(m.Text.substr(at, m.Text.size() - at - 1));
        }
        EXPECT_EQ(log, row.Log);
    }
}

// ---------------------------------------------------------------------------
// Requests at exact times on FIFOs of the test's own: each answer must be
// byte for byte the model's (data), the list's (count, list) or none.  The
// README's slot: 10:05 of 4 December 2026 (UTC), block 0, slot 121, file
// offset 4529, as recorded for a reading of 21.5, greatest 23.25, least -1
// and average 22.125.
const std::vector<uint8_t> kGoldenSlot = {0x01, 0x4c, 0x90, 0x12, 0x6b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x35, 0x40,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x37, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0xf0, 0xbf, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x36, 0x40};

TEST_F(StoreTest, EachRequestGetsItsAnswerOrNone) {
    SetList({{"CPU0_Temp", 1, 0}, {"Inlet_Temperature_A", 9, 1}, {"CPU_Utilization", 0xFFFF, 3}});
    NewCard(kDay + 5);
    ASSERT_EQ(mkfifo((card_ + "/request").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((card_ + "/response").c_str(), 0600), 0);
    int fd[4];  // the store's ends, then the requester's and the reader's
    for (int i = 0; i < 4; ++i) fd[i] = open((card_ + (i % 2 ? "/response" : "/request")).c_str(), O_RDWR | O_NONBLOCK);
    RecordStore.RequestFifoFd = fd[0];
    RecordStore.ResponseFifoFd = fd[1];
    // Each item: the number, the first 16 characters of the name, zeros up
    // to 20 bytes, the class.
    std::vector<uint8_t> list;
    for (SensorListItem item : {SensorListItem{1, "CPU0_Temp", 0}, SensorListItem{9, "Inlet_Temperatur", 1},
                                SensorListItem{0xFFFF, "CPU_Utilization", 3}}) {
        std::vector<uint8_t> bytes = Bytes(item);
        list.insert(list.end(), bytes.begin(), bytes.end());
    }
    const int32_t kTen = kDay + 36000;
    const int32_t kNext = kDay + 86400;
    const char *kSearch = "SearchSensorDataFromFile";
    const char *kLoop = "StoreSensorsDataToFileRecord";
    // Figures: entry 0's before the turn; Kind 0: none sent; Sent: bytes
    // written; Func, Log: the one message.
    const struct Row {
        const char *Name;
        int32_t Now;
        std::vector<double> Figures;
        uint8_t Kind;
        int32_t Day;
        uint16_t Num;
        size_t Sent;
        const char *Func, *Log;
    } rows[] = {{"00:00", kDay + 5, {1.5, 2.5, 0.5, 1.25}, 0, 0, 0, 0, "", ""},
                {"10:00", kTen + 5, {5.5, 6.0, 5.0, 5.25}, 0, 0, 0, 0, "", ""},
                {"today at 10:02: the slots before 10:00", kTen + 120, {}, 4, kDay, 1, 131, "", ""},
                {"the README's slot at 10:05", kTen + 310, {21.5, 23.25, -1.0, 22.125}, 0, 0, 0, 0, "", ""},
                {"count", kTen + 320, {}, 1, 0, 0, 131, "", ""},
                {"list", kTen + 321, {}, 2, 0, 0, 131, "", ""},
                {"kind 3 is read and dropped", kTen + 322, {}, 3, kDay, 1, 131, "", ""},
                {"a partial record is dropped", kTen + 323, {}, 1, 0, 0, 60, "", ""},
                {"a requester that never reads",
                 kTen + 324,
                 {},
                 2,
                 0,
                 0,
                 131,
                 kLoop,
                 "Write Sensor list to pipe:/var/tmp/pipe_cups_to_restful failed,write len = 0"},
                {"unknown sensor", kTen + 325, {}, 4, kDay, 99, 131, kSearch, "Match sensor failed,sensor num:99"},
                {"day not held", kTen + 326, {}, 4, kDay - 86400, 1, 131, kSearch, "Request datatime invalied"},
                {"today at 10:10 holds the README's slot", kTen + 605, {}, 4, kDay, 1, 131, "", ""},
                {"the new day in the first turn after midnight",
                 kNext,
                 {},
                 4,
                 kNext,
                 1,
                 131,
                 kSearch,
                 "Request datatime invalied"},
                {"yesterday at 00:00", kNext, {}, 4, kDay, 1, 131, "", ""},
                {"the new day from the second turn on", kNext + 1, {}, 4, kNext, 1, 131, "", ""},
                {"yesterday at 00:03", kNext + 180, {}, 4, kDay, 9, 131, "", ""},
                {"a clock out of range keeps the history and answers",
                 -1,
                 {9, 9, 9, 9},
                 1,
                 0,
                 0,
                 131,
                 "StoreLoopTurn",
                 "Clock out of range:-1, history kept, nothing recorded"}};
    alarm(60);  // a response write that never gives up fails the test
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        ResetFakePlatform();
        if (!row.Figures.empty()) Refresh(0, row.Figures, (uint32_t)row.Now - 30, (uint32_t)row.Now - 20);
        PipeRequest request = {row.Kind, {}, row.Num};
        time_t day = row.Day;
        strftime(request.DateTime, sizeof request.DateTime, "%Y-%m-%dT17:42:10", gmtime(&day));
        ASSERT_EQ(write(fd[2], &request, row.Sent), (ssize_t)row.Sent);
        bool stuck = row.Func == kLoop;  // the response FIFO is full
        std::vector<uint8_t> want;
        if (row.Sent == 131 && row.Kind == 1) want = {3, 0, 0, 0};
        if (row.Sent == 131 && row.Kind == 2 && !stuck) want = list;
        SensorDataQuery q;
        if (row.Kind == 4 && Search(model_, row.Num, row.Day, row.Now, q) == 0) {
            want.assign((uint8_t *)&q.SensorNum, (uint8_t *)&q + sizeof q);
        }
        size_t filled = 0;
        ssize_t n = 1;
        while (stuck && n > 0) {
            n = write(fd[3], "x", 1);
            filled += n > 0 ? 1 : 0;
        }
        Turn(row.Now);
        std::vector<uint8_t> got(filled + want.size() + 1);
        EXPECT_EQ(std::max<ssize_t>(0, read(fd[3], got.data(), got.size())), (ssize_t)(got.size() - 1));
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + (long)filled));
        EXPECT_TRUE(row.Now != kTen + 605 || std::equal(kGoldenSlot.begin(), kGoldenSlot.end(), &got[26 + 37 * 121]));
        EXPECT_TRUE(row.Kind != 4 || row.Num == 99 || resident_[row.Num == 1 ? 0 : 1] == 0) << "the file answered from";
        ASSERT_EQ(g_fake.Messages.size(), *row.Log ? 1u : 0u);
        std::string line = "[StoreData.cpp:#][" + std::string(row.Func) + "][#]" + row.Log + "\n";
        EXPECT_TRUE(!*row.Log || Matches(g_fake.Messages[0].Text.c_str(), line.c_str())) << line;
        EXPECT_EQ(read(fd[0], &request, 1), -1) << "the request FIFO is not empty";
    }
    alarm(0);
    EXPECT_TRUE(std::equal(kGoldenSlot.begin(), kGoldenSlot.end(), (uint8_t *)&model_[0].Days[0].Slots[121]));
    EXPECT_EQ(offsetof(SensorDataFile, Days[0].Slots[121]), 4529u);
    close(fd[2]);
    close(fd[3]);
}

// Lost framing: stray bytes between requests (from one to a run of 200)
// cost at most the request they touch; the stream is found again within one
// record.  A seeded stream of count, list and data requests, each read whole
// unless a stray byte touched it, among records that get no answer whatever
// happens to them (a kind the daemon does not know, a data request naming no
// date) or may get one (a count request with other bytes in the text the
// daemon does not read): those may be lost, never the requests after them.
TEST(RequestFramingTest, AStrayByteCostsAtMostTheRecordItTouched) {
    std::mt19937 rng(20261207);
    const uint16_t nums[] = {0, 1, 2, 4, 9, 0xFFFF, 0xFFFE, 0xFFFD};
    const struct {
        uint8_t Kind;
        const char *Text;
        bool Kept;
    } records[] = {{1, "", true},
                   {2, "2026-12-04T00:00:00", true},
                   {4, "2026-12-04T17:42:10", true},
                   {3, "2026-12-04", false},
                   {4, "tomorrow", false},
                   {1, "\xff\x03junk", false}};
    std::string stream;
    std::vector<std::string> kept;
    for (int i = 0; i < 400; ++i) {
        uint32_t roll = rng() % 200;
        uint32_t stray = roll < 50 ? 1 + roll % 3 : 0;
        if (roll >= 196) stray = 200;
        for (uint32_t j = 0; j < stray; ++j) stream += (char)(rng() % 256);
        const auto &rec = records[rng() % 6];
        PipeRequest request = {rec.Kind, {}, nums[rng() % 8]};
        snprintf(request.DateTime, sizeof request.DateTime, "%s", rec.Text);
        stream.append((const char *)&request, sizeof request);
        uint16_t num = request.SensorNum;
        if (stray == 0 && rec.Kept) kept.push_back(std::to_string(rec.Kind) + ":" + std::to_string(num));
    }
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    ASSERT_EQ(write(fds[1], stream.data(), stream.size()), (ssize_t)stream.size());
    close(fds[1]);
    RecordStore.RequestFifoFd = fds[0];
    size_t found = 0;
    PipeRequest req;
    for (int rc = ReadPipeRequest(&req); rc == 0; rc = ReadPipeRequest(&req)) {
        uint16_t num = req.SensorNum;
        if (found < kept.size() && std::to_string(req.RequestType) + ":" + std::to_string(num) == kept[found]) ++found;
    }
    RecordStore.RequestFifoFd = -1;
    close(fds[0]);
    EXPECT_EQ(found, kept.size()) << "the first record lost: " << (found < kept.size() ? kept[found] : "");
}

// ---------------------------------------------------------------------------
// Initialisation: one table of what a card holds before and what
// initialisation leaves on it; the card-space verdict; the directory command.
TEST_F(StoreTest, InitialisationMakesKeepsOrStartsAfreshWhatTheCardHolds) {
    // An earlier run's file: another number, class and a longer name, and a
    // recorded slot.
    SensorDataFile earlier = Keyed("Tmp_Old_Name", 9, 9);
    earlier.Days[0].Slots[120] = SampleSlot{1, (uint32_t)kDay + 36000, 20.5, 21, 19.5, 20};
    SensorDataFile earlier_after = earlier;
    memcpy(earlier_after.Header.SensorName, "Temp1", 6);  // the old name's tail stays behind the NUL
    earlier_after.Header.SensorNum = 4;
    earlier_after.Header.SensorClass = 5;
    // Blocks 3 and 5 hold yesterday, block 0 today, each with a spoilt slot
    // time; the recorded day's first block is stamped again.
    SensorDataFile twice = Keyed("Temp1", 3, 2);
    for (int d : {3, 5}) Stamp(twice.Days[d], kDay - 86400);
    for (int d : {0, 3, 5}) twice.Days[d].Slots[d + 5].SlotTime = 12345;
    SensorDataFile twice_after = twice;
    twice_after.Days[3].Slots[8].SlotTime = kDay - 86400 + 8 * 300;
    // Seven older days, blocks 1 and 4 the oldest; without the recorded day
    // block 1 is keyed to today, keeping what it holds.
    SensorDataFile old = Keyed("Temp1", 3, 2);
    const int back[7] = {2, 6, 5, 3, 6, 4, 1};
    for (int d = 0; d < 7; ++d) Stamp(old.Days[d], kDay - back[d] * 86400);
    for (int d = 0; d < 7; ++d) old.Days[d].Slots[9].Reading = d;
    SensorDataFile old_after = old;
    Stamp(old_after.Days[1], kDay);

    // What to plant below the record directory, with its bytes: a name
    // ending in '/' is a directory, one starting with '>' a link to a victim
    // outside the record directory (">" alone: the record directory a link
    // to another directory), '|' a FIFO, '~' a file of another user, '=' a
    // second name of the victim.  An empty After entry: nothing there.
    using Files = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
    const std::string victim = card_ + "/victim";
    const std::string time = "DataTime/RecordTime";
    const size_t kSize = sizeof(SensorDataFile);
    struct Case {  // Log: every message, as patterns for Matches
        const char *Name;
        std::vector<SensorSpec> List;
        Files Before;
        int Rc;
        Files After;
        std::vector<std::string> Log = {};
    } cases[] = {
        {"empty card",
         {{"CPU_Temp", 7, 1}, {"CPU_Utilization", 0xFFFF, 3}},
         {},
         0,
         {{"CPU_Temp", Fresh("CPU_Temp", 7, 1)},
          {"CPU_Utilization", Fresh("CPU_Utilization", 0xFFFF, 3)},
          {time, Times(0)}},
         {"M 178 [InitSensorDataRecordSt][#]TF card free size is enough,need:149644(byte),Free:1099511627776(byte)",
          "M 182 [InitSensorDataRecordSt][#]Record Time Path:" + RecordDir() + "/DataTime",
          "M 182 [InitSensorDataRecordSt][#]RecordDir Path:" + RecordDir()}},
        {"an earlier run's file keeps its history and gets the list's header",
         {{"Temp1", 4, 5}},
         {{"Temp1", Bytes(earlier)}, {time, Times(kDay)}},
         0,
         {{"Temp1", Bytes(earlier_after)}, {time, Times(kDay)}}},
        {"the first block of the recorded day is stamped again",
         {{"Temp1", 3, 2}},
         {{"Temp1", Bytes(twice)}, {time, Times(kDay - 86400)}},
         0,
         {{"Temp1", Bytes(twice_after)}}},
        {"without the recorded day the oldest block is keyed to today",
         {{"Temp1", 3, 2}},
         {{"Temp1", Bytes(old)}, {time, Times(kDay)}},
         0,
         {{"Temp1", Bytes(old_after)}}},
        {"files of other sizes start afresh",
         {{"Short", 1, 1}, {"Long", 2, 1}},
         {{"Short", Filled(1000)}, {"Long", Filled(kSize + 1)}, {time, Filled(12)}},
         0,
         {{"Short", Fresh("Short", 1, 1)}, {"Long", Fresh("Long", 2, 1)}, {time, Times(0)}}},
        {"a file named by a leading part of the name is left alone",
         {{"CPU_Temp", 7, 1}},
         {{"CPU", Filled(kSize)}},
         0,
         {{"CPU", Filled(kSize)}, {"CPU_Temp", Fresh("CPU_Temp", 7, 1)}}},
        {"a subdirectory named like a sensor fails, keeping the files made",
         {{"A", 1, 1}, {"Fan_2", 2, 1}, {"B", 3, 1}},
         {{"Fan_2/", {}}},
         -1,
         {{"A", Fresh("A", 1, 1)}, {"B", {}}},
         {"M*", "M*", "M*",
          "D 130 [StoreData.cpp:#][InitSensorDataRecordSt][#]Create sensor data file " + RecordDir() +
              "/Fan_2 failed"}},
        {"names that cannot be file names get stand-ins",
         {{"a/b", 1, 1}, {"", 2, 1}, {".", 3, 1}, {"..", 4, 1}, {"../x", 5, 1}, {"DataTime", 6, 1}, {"dATAtIME", 7, 1}},
         {},
         0,
         {{"a_b", Fresh("a/b", 1, 1)},
          {"_empty_", Fresh("", 2, 1)},
          {"_dot_", Fresh(".", 3, 1)},
          {"_dotdot_", Fresh("..", 4, 1)},
          {".._x", Fresh("../x", 5, 1)},
          {"_DataTime_", Fresh("DataTime", 6, 1)},
          {"_dATAtIME_", Fresh("dATAtIME", 7, 1)},
          {time, Times(0)}}},
        {"links, FIFOs, other users' files and second names are replaced",
         {{"L", 1, 1}, {"F", 2, 1}, {"U", 3, 1}, {"H", 4, 1}},
         {{">L", {}}, {"|F", {}}, {"~U", Filled(kSize)}, {"=H", {}}, {">" + time, {}}},
         0,
         {{"L", Fresh("L", 1, 1)},
          {"F", Fresh("F", 2, 1)},
          {"U", Fresh("U", 3, 1)},
          {"H", Fresh("H", 4, 1)},
          {time, Times(0)},
          {"../../victim", Filled(kSize)}}},
        {"a record directory that is a link is made a real one",
         {{"A", 1, 1}},
         {{">", {}}},
         0,
         {{"A", Fresh("A", 1, 1)}, {"../../attic/A", {}}}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        ReleaseStore();
        ResetFakePlatform();
        fs::remove_all(card_ + "/DataRecord");
        fs::remove_all(card_ + "/attic");
        fs::create_directories(RecordDir() + "/DataTime");
        fs::create_directories(card_ + "/attic");
        std::ofstream(victim, std::ios::binary).write((const char *)Filled(kSize).data(), kSize);
        SetList(c.List);
        for (const auto &[name, bytes] : c.Before) {
            std::string rest = name.substr(strchr(">|~=", name[0]) ? 1 : 0);
            std::string path = rest.empty() ? RecordDir() : RecordDir() + "/" + rest;
            if (name[0] == '>') {
                fs::remove_all(path);
                fs::create_symlink(rest.empty() ? card_ + "/attic" : victim, path);
            } else if (name[0] == '|') {
                mkfifo(path.c_str(), 0600);
            } else if (name[0] == '=') {
                fs::create_hard_link(victim, path);
            } else if (name.back() == '/') {
                fs::create_directories(path);
            } else {
                std::ofstream(path, std::ios::binary).write((const char *)bytes.data(), (long)bytes.size());
            }
            int chowned = name[0] == '~' ? chown(path.c_str(), 65534, 65534) : 0;
            EXPECT_EQ(chowned, 0);
        }
        EXPECT_EQ(InitStore(kDay + 36120), c.Rc);
        for (const auto &[name, bytes] : c.After) {
            std::string path = RecordDir() + "/" + name;
            EXPECT_EQ(ReadBytes(path), bytes) << name;
            EXPECT_TRUE(bytes.empty() || fs::is_regular_file(fs::symlink_status(path))) << name;
        }
        std::string text;
        std::string pattern;
        for (const LoggedMessage &m : g_fake.Messages) text += m.Kind + (" " + std::to_string(m.Level)) + " " + m.Text;
        for (const std::string &line : c.Log) pattern += line + "\n";
        EXPECT_TRUE(c.Log.empty() || Matches(text.c_str(), pattern.c_str())) << text;
        // Released whole on failure; no descriptor left open.
        EXPECT_EQ(RecordTimeFd, -1);
        StoreHandler *arr = RecordStore.SensorArr;
        EXPECT_EQ(arr == nullptr && RecordStore.RecordTimeMap == nullptr, c.Rc != 0);
        for (size_t i = 0; arr != nullptr && i < c.List.size(); ++i) EXPECT_EQ(arr[i].Fd, -1);
    }
}

// 124 sensors need 124 * 74818 + 8 = 9277440 bytes, exactly 9060 units of
// 1024 bytes; equality is not enough.
TEST_F(StoreTest, FreeSpaceEqualToTheNeedEndsTheProcess) {
    std::vector<SensorSpec> list;
    for (int i = 0; i < 124; ++i) list.push_back({"S" + std::to_string(i), (uint16_t)i, 1});
    SetList(list);
    g_tffreesize = 9060;
    EXPECT_EXIT(
        {
            g_fake.EchoMessages = true;
            g_fake.OnDeregister = [](const char *path) { fprintf(stderr, "deregistered %s\n", path); };
            InitStore(kDay);
        },
        ::testing::ExitedWithCode(1),
        "M 178 \\[InitSensorDataRecordSt\\]\\[[0-9]+\\]TF card free size not enough,need:9277440\\(byte\\),"
        "Free:9277440\\(byte\\)\n.*deregistered /usr/local/bin/Trendkeep");
    EXPECT_FALSE(fs::exists(card_ + "/DataRecord"));
}

TEST(ZelvarCommandToBuff, KeepsTheFirstLineOfWhatTheCommandPrints) {
    const struct {
        const char *Cmd;
        int Size, Rc;
        const char *Out;
    } cases[] = {
        {nullptr, 16, -1, "xxx"},
        {"echo hi", 0, -1, "xxx"},
        {"printf 'one\\ntwo\\n'", 16, 0, "one\n"},
        {"echo abcdefghijkl", 5, 0, "abcd"},
        {"echo partial; exit 7", 16, 0, "partial\n"},
        {"exit 3", 16, 0, ""},
        {"yes | head -c 1000000", 16, 0, "y\n"},  // more than a pipe holds: must not hang
    };
    alarm(60);
    for (const auto &c : cases) {
        char buf[17] = "xxx";
        EXPECT_EQ(ZelvarCommandToBuff(c.Cmd, buf, c.Size), c.Rc) << c.Cmd;
        EXPECT_STREQ(buf, c.Out) << c.Cmd;
    }
    EXPECT_EQ(ZelvarCommandToBuff("echo hi", nullptr, 16), -1);
    alarm(0);
}

}  // namespace
