// The history store and the request service against a small model of them.
#include <ctype.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

// fstat, as the whole test program calls it, with a hook that runs once
// right after the next call: a stand-in for another process acting between
// a look at an entry and its open.  Only where the C library's fstat is the
// function of that name: a 32-bit build with 64-bit times calls another.
std::function<void()> g_after_fstat;
#if defined(__LP64__)
#define TK_FSTAT_HOOK 1
extern "C" int fstat(int fd, struct stat *st) {
    static auto real = reinterpret_cast<int (*)(int, struct stat *)>(dlsym(RTLD_NEXT, "fstat"));
    int rc = real(fd, st);
    std::function<void()> hook;
    hook.swap(g_after_fstat);
    if (hook) hook();
    return rc;
}
#endif

namespace {

namespace fs = std::filesystem;
const int32_t kDay = 1796342400;  // 2026-12-04T00:00:00Z
const time_t kBoot = 946685100;   // 2000-01-01 00:05, where a clock that lost its power starts
time_t g_now = 0;                 // what the store's clock reads

std::vector<uint8_t> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
template <typename T>
std::vector<uint8_t> Bytes(const T &record) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof record);
}
// True when text is pattern, '#' standing for digits, '*' for a line's rest.
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

// The model.  Slot s of a day block is stamped with DayKey + 300 * s.
void Stamp(DayBlock &b, int32_t key) {
    b.DayKey = key;
    for (uint32_t s = 0; s < SLOTS_PER_DAY; ++s) b.Slots[s].SlotTime = (uint32_t)key + SLOT_SECONDS * s;
}

// A day's block: its own, an empty one, one dated after it, or the oldest.
DayBlock &BlockFor(SensorDataFile &f, int32_t key) {
    DayBlock *b = First(f.Days, 7, [&](const DayBlock &x) { return x.DayKey == key; });
    if (b == nullptr) b = First(f.Days, 7, [](const DayBlock &x) { return x.DayKey == 0; });
    if (b == nullptr) b = First(f.Days, 7, [&](const DayBlock &x) { return x.DayKey > key; });
    if (b == nullptr) b = std::min_element(f.Days, f.Days + 7, [](auto &x, auto &y) { return x.DayKey < y.DayKey; });
    return *b;
}

// A start: the entry's header (a name written only when it differs), the
// recorded day's first block stamped, else, the clock set, today's.
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

// The day switch: the block emptied but for its extremes; after a set-back, later days' too.
void Switch(SensorDataFile &f, int32_t key, bool went_back) {
    DayBlock &b = BlockFor(f, key);
    memset(b.Slots, 0, sizeof b.Slots);
    b.StatsValid = 0;
    Stamp(b, key);
    for (DayBlock &other : f.Days) {
        if (went_back && other.DayKey > key) other = DayBlock{};
    }
}

// The recording: each entry read since the last one goes into its slot in
// the first file whose header matches, and into the day's extremes.
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
        bool seed = !b->StatsValid;
        if (seed || e.MaxReading > b->DayMax) {
            b->DayMax = e.MaxReading;
            b->DayMaxTime = seed ? slot : e.MaxTime;
        }
        if (seed || (e.MinReading != 0.0 && e.MinReading < b->DayMin)) {
            b->DayMin = e.MinReading;
            b->DayMinTime = seed ? slot : e.MinTime;
        }
        b->StatsValid = 1;
    }
}

// The query: the window (the whole day once over or the clock not set, else
// up to the current slot), the slots stamped within it in their place, their
// extremes or the day's own within the window; -1: no file, 1: no such day.
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

std::vector<uint8_t> Times(uint32_t day, uint32_t slot = 0) { return Bytes(RecordTimeFile{day, slot}); }
std::vector<uint8_t> Filled(size_t n) { return std::vector<uint8_t>(n, 0xAB); }

using SensorSpec = std::tuple<std::string, uint16_t, uint8_t>;  // name, number, class

// A card (in /dev/shm if any), the clock at g_now, no pauses, UTC, the store beside the model.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        ReleaseStore();
        card_ = dir_.path();
        snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", card_.c_str());
        g_clock = [](time_t *out) {
            if (out != nullptr) *out = g_now;
            return g_now;
        };
        g_sleepms = [](unsigned) {};
        g_tffreesize = 1u << 30;
    }
    void TearDown() override {
        ReleaseStore();
        g_localdatahdr = saved_hdr_;
        g_clock = saved_clock_;
        g_sleepms = saved_sleep_;
    }
    std::string RecordDir() const { return card_ + "/" RECORD_DIR; }
    void SetList(const std::vector<SensorSpec> &sensors) {
        entries_.assign(sensors.size(), LocalSensorData{});
        for (size_t i = 0; i < sensors.size(); ++i) {
            const auto &[name, num, cls] = sensors[i];
            snprintf(entries_[i].SensorName, SENSOR_NAME_SIZE, "%s", name.c_str());
            entries_[i].InUse = 1;
            entries_[i].SensorNum = num;
            entries_[i].SensorClass = cls;
        }
        g_localdatahdr = LocalDataHdr{0, 0, 1, (uint32_t)sensors.size(), entries_.data()};
    }
    int InitStore(time_t now) {
        g_now = now;
        return InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr);
    }
    // (Re)starts the store, on a new card or after losing files.
    void Start(time_t now, bool new_card, bool lost_time = false, int lost_file = -1) {
        ReleaseStore();
        if (new_card) fs::remove_all(card_ + "/DataRecord");
        if (new_card) model_.assign(entries_.size(), SensorDataFile{});
        if (new_card || lost_time) {
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
    // A turn of store and model: the card is the model's; a flush leaves no pages (resident_).
    void Turn(int32_t now) {
        ASSERT_NE(RecordStore.RecordTimeMap, nullptr);
        std::vector<LocalSensorData> entries = entries_;
        bool ready = g_localdatahdr.DataReady == 1;
        StoreLoopTurn(now, 0);
        resident_.clear();
        for (size_t i = 0; i < model_.size(); ++i) resident_.push_back(Resident(RecordStore.SensorArr[i].Map));
        bool held = now < TK_CLOCK_FLOOR || DayStartTime(now) <= 0;  // the clock is not believed: nothing moves
        int32_t day = held ? (int32_t)record_day_ : (int32_t)DayStartTime(now);
        int32_t slot = held ? (int32_t)record_slot_ : now / 300 * 300;
        if ((int32_t)record_day_ != day || (int32_t)record_slot_ != slot) {
            EXPECT_EQ(resident_, std::vector<size_t>(model_.size(), 0)) << "resident after the flush at " << now;
        }
        if ((int32_t)record_day_ != day) {
            for (SensorDataFile &f : model_) Switch(f, day, (int32_t)record_day_ > day);
            record_day_ = (uint32_t)day;
        }
        if ((int32_t)record_slot_ != slot && ready && !held) {
            Record(model_, entries, (uint32_t)slot, day);
            for (const LocalSensorData &e : entries_) EXPECT_EQ(+e.Valid, 0);
            EXPECT_EQ(+g_localdatahdr.DataReady, 0);
        }
        record_slot_ = (uint32_t)slot;
        EXPECT_EQ(Bytes(*RecordStore.RecordTimeMap), Times(record_day_, record_slot_)) << now;
        for (size_t i = 0; i < model_.size(); ++i) {
            ASSERT_TRUE(Bytes(model_[i]) == Bytes(*RecordStore.SensorArr[i].Map)) << "file " << i << " at " << now;
        }
    }
    // The query of num for day at now answers as the model's.
    bool QueryAgrees(uint16_t num, int32_t day, int32_t now) {
        SensorDataQuery real = {};
        real.SensorNum = num;
        SetQueryWindow(&real, day, now);
        int rc = SearchSensorDataFromFile(RecordStore.SensorArr, &real, RecordStore.RecordCount);
        SensorDataQuery want;
        int want_rc = Search(model_, num, day, now, want);
        return rc == want_rc && Bytes(real) == Bytes(want);
    }
    uint32_t Below(uint32_t n) { return (uint32_t)(rng_() % n); }
    // A seeded run on a new card: clock jumps (small_percent of them up to
    // ten minutes), a clock that loses its power, restarts, figures zero,
    // negative, equal or NaN, queries; with damage, files spoilt on card and
    // model alike.  One draw a statement: any compiler makes the same card.
    void RandomRun(time_t start, int steps, uint32_t small_percent, bool damage = false) {
        static const double kPalette[] = {-12.5, -3.0, -0.0, 0.0, 0.0, 0.5, 2.0, 2.0, 7.25, 19.0, 19.0, 100.0, NAN};
        static const uint16_t kNums[] = {1, 2, 0xFFFF, 99};
        // Kinds below kUpto[j] jump kFrom[j] + up to kSpan[j] seconds.
        static const int kUpto[] = {15, 25, 30, 36, 44};
        static const int kFrom[] = {600, 3 * 3600, 86400, -7200, -172800};
        static const int kSpan[] = {3 * 3600, 27 * 3600, 2 * 86400, 7200, 172800};
        const uint32_t n = (uint32_t)entries_.size();
        time_t now = start;
        time_t lost = 0;  // while the clock is not set: when it lost its power
        Start(now, true);
        for (int step = 0; step < steps && !HasFailure(); ++step) {
            uint32_t small = Below(100);
            uint32_t kind = Below(48);
            if (small < small_percent) now += 1 + Below(600);
            if (small < small_percent) kind = 48;
            bool lost_time = Below(3) == 0;
            int lost_file = (int)Below(3 * n) - 2 * (int)n;  // a third of the restarts lose a file
            if (kind == 44) Start(now, false, lost_time, lost_file);
            for (int j = 0; j < 5; ++j) {
                if (kind >= (uint32_t)kUpto[j]) continue;
                now += kFrom[j] + (time_t)Below((uint32_t)kSpan[j]);
                break;
            }
            if (kind == 45 && lost == 0) lost = now;
            if (kind == 45) now = kBoot + Below(86400);
            if ((kind == 46 || kind == 47) && lost != 0) now = lost + Below(86400);
            if (kind == 46 || kind == 47) lost = 0;
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
            ASSERT_TRUE(query == 0 || QueryAgrees(num, day, (int32_t)now))
                << start << ": " << num << " " << day << " at " << now;
        }
    }
    // Spoils a header, a day key (another's, up to two days on) or a slot time.
    void Damage() {
        uint32_t i = Below((uint32_t)model_.size());
        uint32_t d = Below(7);
        uint32_t s = Below(288);
        uint32_t k = Below(20);
        uint32_t what = Below(4);
        uint32_t value = 'A' + Below(60);
        if (what == 2) value = (uint32_t)model_[i].Days[Below(7)].DayKey + 86400 * Below(3);
        if (what == 3) value = model_[i].Days[d].Slots[s + Below(288 - s)].SlotTime;
        if (what == 3 && Below(2) == 0) value = (uint32_t)rng_();
        for (SensorDataFile *x : {RecordStore.SensorArr[i].Map, &model_[i]}) {
            if (what == 0) x->Header.SensorName[k] = (char)value;
            if (what == 1) x->Header.SensorNum = (uint16_t)(x->Header.SensorNum ^ 1);
            if (what == 1) x->Header.SensorClass = (uint8_t)(x->Header.SensorClass ^ 1);
            if (what == 2) x->Days[d].DayKey = (int32_t)value;
            if (what == 3) x->Days[d].Slots[s].SlotTime = value;
        }
    }
    // The bytes of the mapping at map that the process holds.
    static size_t Resident(const void *map) {
        std::ifstream smaps("/proc/self/smaps");
        unsigned long at = 0;
        for (std::string line; std::getline(smaps, line);) {
            unsigned long from = 0;
            unsigned long to = 0;
            if (sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) at = from;
            if (at == (unsigned long)map && line.rfind("Rss:", 0) == 0) return std::stoul(line.substr(4)) * 1024;
        }
        return 0;
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

// "CPU" shares CPU_Temp's number and is a leading part of its name.
const std::vector<SensorSpec> kSensors = {{"CPU_Temp", 1, 1}, {"CPU", 1, 2}, {"Fan/1", 2, 4}, {"CPU_Util", 65535, 3}};

// With the speed-ups (the entry-file cache, the query's walk by index) and
// without, also on spoilt files; over CET's 23- and 25-hour days.
TEST_F(StoreTest, SeededRunsAgreeWithTheModel) {
    SetList(kSensors);
    RandomRun(LocalTime(2026, 11, 20, 23, 40), 1500, 55);
    RandomRun(LocalTime(2026, 11, 20, 23, 40), 800, 55, true);
    g_storespeedups = 0;
    RandomRun(LocalTime(2026, 11, 20, 23, 40), 800, 55, true);
    g_storespeedups = 1;
    ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    RandomRun(LocalTime(2026, 3, 28, 19, 10), 1000, 90);
    RandomRun(LocalTime(2026, 10, 24, 18, 50), 1000, 90);
}

// The reference card the x86-64 and 32-bit ARM builds must write alike (TK_CARD_OUT: where to copy it) and
// read from each other (TK_CARD_IN: the other build's, taking its place): a restart on the card changes none
// of it, and it answers as the model (scripts/test-armhf.sh).
TEST_F(StoreTest, CrossArchReferenceCard) {
    SetList(kSensors);
    RandomRun(LocalTime(2026, 11, 28, 0, 5), 300, 55);
    const char *out = getenv("TK_CARD_OUT");
    const char *in = getenv("TK_CARD_IN");
    ReleaseStore();
    if (out != nullptr) fs::create_directories(out);
    if (out != nullptr) fs::copy(card_ + "/DataRecord", std::string(out) + "/DataRecord", fs::copy_options::recursive);
    if (in != nullptr) fs::remove_all(card_ + "/DataRecord");
    if (in != nullptr) fs::copy(std::string(in) + "/DataRecord", card_ + "/DataRecord", fs::copy_options::recursive);
    ASSERT_EQ(InitStore(g_now), 0);
    EXPECT_EQ(Bytes(*RecordStore.RecordTimeMap), Times(record_day_, record_slot_));
    for (size_t i = 0; i < model_.size(); ++i) EXPECT_TRUE(Bytes(*RecordStore.SensorArr[i].Map) == Bytes(model_[i]));
    for (const DayBlock &b : model_[0].Days) EXPECT_TRUE(QueryAgrees(1, b.DayKey, b.DayKey + 86400)) << b.DayKey;
}

// Requests at exact times: each answer the model's (data), the list's or none; one message.
TEST_F(StoreTest, EachRequestGetsItsAnswerOrNone) {
    SetList({{"CPU0_Temp", 1, 0}, {"Inlet_Temperature_A", 9, 1}, {"CPU_Utilization", 0xFFFF, 3}});
    Start(kDay + 5, true);
    ASSERT_EQ(mkfifo((card_ + "/request").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((card_ + "/response").c_str(), 0600), 0);
    int fd[4];  // the store's ends, then the requester's and the reader's
    for (int i = 0; i < 4; ++i) fd[i] = open((card_ + (i % 2 ? "/response" : "/request")).c_str(), O_RDWR | O_NONBLOCK);
    RecordStore.RequestFifoFd = fd[0];
    RecordStore.ResponseFifoFd = fd[1];
    // Each item: the number, the name cut to 16 characters and zeros, the class.
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
    const char *kStuck = "Write Sensor list to pipe:" TK_RESPONSE_FIFO " failed,write len = 0";
    const char *kInvalid = "Request datatime invalied";
    // Figures: entry 0's before the turn; Kind 0: none sent; Sent: bytes
    // written (132: a stray list kind byte ahead); Func, Log: the message.
    const struct Row {
        const char *Name;
        int32_t Now;
        std::vector<double> Figures;
        int Kind, Day, Num, Sent;
        const char *Func, *Log;
    } rows[] = {{"00:00", kDay + 5, {1.5, 2.5, 0.5, 1.25}, 0, 0, 0, 0, "", ""},
                {"10:05", kTen + 310, {21.5, 23.25, -1.0, 22.125}, 0, 0, 0, 0, "", ""},
                {"count", kTen + 320, {}, 1, 0, 0, 131, "", ""},
                {"list", kTen + 321, {}, 2, 0, 0, 131, "", ""},
                {"a partial record is dropped", kTen + 323, {}, 1, 0, 0, 60, "", ""},
                {"a stray byte (a kind) ahead of a count request", kTen + 323, {}, 1, 0, 0, 132, "", ""},
                {"a requester that never reads", kTen + 324, {}, 2, 0, 0, 131, kLoop, kStuck},
                {"unknown sensor", kTen + 325, {}, 4, kDay, 99, 131, kSearch, "Match sensor failed,sensor num:99"},
                {"day not held", kTen + 326, {}, 4, kDay - 86400, 1, 131, kSearch, kInvalid},
                {"today at 10:10", kTen + 605, {}, 4, kDay, 1, 131, "", ""},
                {"the new day in the first turn after midnight", kNext, {}, 4, kNext, 1, 131, kSearch, kInvalid},
                {"the new day from the second turn on", kNext + 1, {}, 4, kNext, 1, 131, "", ""},
                {"yesterday at 00:03", kNext + 180, {}, 4, kDay, 9, 131, "", ""},
                {"clock out of range", -1, {9, 9, 9, 9}, 1, 0, 0, 131, "StoreLoopTurn", "Clock out of range:-1, *"}};
    alarm(60);  // a response write that never gives up fails the test
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        ResetFakePlatform();
        if (!row.Figures.empty()) Refresh(0, row.Figures, (uint32_t)row.Now - 30, (uint32_t)row.Now - 20);
        PipeRequest request = {(uint8_t)row.Kind, {}, (uint16_t)row.Num};
        time_t day = row.Day;
        strftime(request.DateTime, sizeof request.DateTime, "%Y-%m-%dT17:42:10", gmtime(&day));
        size_t stray = row.Sent > 131 ? 1 : 0;
        ASSERT_EQ(write(fd[2], "\x02", stray), (ssize_t)stray);
        ASSERT_EQ(write(fd[2], &request, (size_t)row.Sent - stray), (ssize_t)(row.Sent - stray));
        bool stuck = row.Func == kLoop;  // the response FIFO is full
        std::vector<uint8_t> want;
        if (row.Sent >= 131 && row.Kind == 1) want = {3, 0, 0, 0};
        if (row.Sent >= 131 && row.Kind == 2 && !stuck) want = list;
        SensorDataQuery q;
        if (row.Kind == 4 && Search(model_, (uint16_t)row.Num, row.Day, row.Now, q) == 0) {
            want.assign((uint8_t *)&q.SensorNum, (uint8_t *)&q + sizeof q);
        }
        size_t filled = 0;
        if (stuck) filled = (size_t)write(fd[3], std::string(1 << 16, 'x').data(), 1 << 16);
        Turn(row.Now);
        std::vector<uint8_t> got(filled + want.size() + 1);
        EXPECT_EQ(std::max<ssize_t>(0, read(fd[3], got.data(), got.size())), (ssize_t)(got.size() - 1));
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + (long)filled));
        EXPECT_TRUE(row.Kind != 4 || row.Num == 99 || resident_[row.Num == 1 ? 0 : 1] == 0) << "the file answered from";
        ASSERT_EQ(g_fake.Messages.size(), *row.Log ? 1u : 0u)
            << (g_fake.Messages.empty() ? "" : g_fake.Messages[0].Text);
        std::string line = "[StoreData.cpp:#][" + std::string(row.Func) + "][#]" + row.Log + "\n";
        EXPECT_TRUE(!*row.Log || Matches(g_fake.Messages[0].Text.c_str(), line.c_str())) << line;
        EXPECT_EQ(read(fd[0], &request, 1), -1) << "the request FIFO is not empty";
    }
    alarm(0);
    close(fd[2]);
    close(fd[3]);
}

// A data request naming no date ("2026") is dropped whole, though its number
// ends in bytes that look like the start of a count request, and so is the
// zero record of an unknown kind behind it (together they would make a
// framed count request); the count request after them is answered.
TEST_F(StoreTest, ARequestNamingNoDateIsDroppedWhole) {
    SetList({{"CPU0_Temp", 1, 0}});
    Start(kDay + 5, true);
    int req[2];
    int resp[2];
    ASSERT_EQ(pipe2(req, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(resp, O_NONBLOCK), 0);
    RecordStore.RequestFifoFd = req[0];
    RecordStore.ResponseFifoFd = resp[1];
    const PipeRequest sent[] = {{SENSOR_DATA_REQ, "2026", 1}, {0, {}, 0}, {SENSOR_COUNT_REQ, {}, 0}};
    ASSERT_EQ(write(req[1], sent, sizeof sent), (ssize_t)sizeof sent);
    uint8_t got[8] = {};
    for (int32_t t = kDay + 10; t < kDay + 12; ++t) {
        Turn(t);
        EXPECT_EQ(read(resp[0], got, sizeof got), -1) << "an answer to a record that asks nothing";
    }
    Turn(kDay + 12);
    EXPECT_EQ(read(resp[0], got, sizeof got), 4);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(read(req[0], got, 1), -1) << "the request FIFO is not empty";
    close(req[1]);
    close(resp[0]);
}

// An entry is opened as it was looked at: one renamed over it meanwhile is
// not what gets opened.
TEST_F(StoreTest, AnEntryIsOpenedAsItWasLookedAt) {
#ifndef TK_FSTAT_HOOK
    GTEST_SKIP() << "fstat cannot be hooked here";
#endif
    std::ofstream(card_ + "/entry") << "looked at";
    std::ofstream(card_ + "/other") << "swapped in";
    g_after_fstat = [this] { fs::rename(card_ + "/other", card_ + "/entry"); };
    struct stat st;
    int fd = OpenEntryAt(AT_FDCWD, (card_ + "/entry").c_str(), O_RDONLY, S_IFREG, &st);
    ASSERT_GE(fd, 0);
    char text[16] = {};
    EXPECT_EQ(read(fd, text, sizeof text), 9);
    EXPECT_STREQ(text, "looked at");
    close(fd);
}

// What a start leaves on a card (taking a file over is the model's Prepare).
// Before and After run in the record directory, the victim two levels up;
// on success each sensor has a new file and the record time is new.
TEST_F(StoreTest, InitialisationMakesKeepsOrStartsAfreshWhatTheCardHolds) {
    const struct Case {
        const char *Name;
        std::vector<std::string> List;
        std::string Before;
        int Rc;
        std::string After;
        std::vector<std::string> Log;  // every message, as patterns for Matches
    } cases[] = {
        {"names that cannot be file names get stand-ins; a record time of another size starts afresh",
         {"a/b", "", ".", "..", "dATAtIME"},
         "head -c 12 ../../victim > DataTime/RecordTime",
         0,
         "test -f a_b -a -f _empty_ -a -f _dot_ -a -f _dotdot_ -a -f _dATAtIME_",
         {"M 178 [InitSensorDataRecordSt][#]TF card free size is enough,need:374098(byte),Free:1099511627776(byte)",
          "M 182 [InitSensorDataRecordSt][#]Record Time Path:" + RecordDir() + "/DataTime",
          "M 182 [InitSensorDataRecordSt][#]RecordDir Path:" + RecordDir()}},
        {"files of other sizes, links, FIFOs, other users' files and second names are replaced; one named by a "
         "leading part of a name is left alone",
         {"Short", "Long", "L", "F", "U", "H", "CPU_Temp"},
         "head -c 1000 ../../victim > Short && (cat ../../victim; echo) > Long && ln -s ../../victim L && mkfifo F && "
         "cp ../../victim U && chown 65534:65534 U && ln ../../victim H && ln -s ../../../victim DataTime/RecordTime "
         "&& "
         "cp ../../victim CPU",
         0,
         "cmp CPU ../../victim",
         {"M*", "M*", "M*"}},
        {"a subdirectory named like a sensor fails, keeping the files made",
         {"A", "Fan_2", "B"},
         "mkdir Fan_2",
         -1,
         "test -f A -a ! -e B",
         {"M*", "M*", "M*",
          "D 130 [StoreData.cpp:#][InitSensorDataRecordSt][#]Create sensor data file " + RecordDir() +
              "/Fan_2 failed"}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        ReleaseStore();
        ResetFakePlatform();
        fs::remove_all(card_ + "/DataRecord");
        fs::create_directories(RecordDir() + "/DataTime");
        std::ofstream(card_ + "/victim", std::ios::binary).write((const char *)Filled(74818).data(), 74818);
        std::vector<SensorSpec> list;
        for (const std::string &name : c.List) list.push_back({name, (uint16_t)(list.size() + 1), 1});
        SetList(list);
        ASSERT_EQ(system(("cd " + RecordDir() + " && " + c.Before).c_str()), 0);
        EXPECT_EQ(InitStore(kDay + 36120), c.Rc);
        EXPECT_EQ(system(("cd " + RecordDir() + " && " + c.After).c_str()), 0);
        EXPECT_EQ(ReadBytes(card_ + "/victim"), Filled(74818));
        for (size_t n = 0; c.Rc == 0 && n < c.List.size(); ++n) {
            char name[SENSOR_FILE_NAME_SIZE];
            SensorFileName(c.List[n].c_str(), name);
            SensorDataFile fresh = {};
            Prepare(fresh, entries_[n], 0, kDay + 36120);
            EXPECT_EQ(ReadBytes(RecordDir() + "/" + name), Bytes(fresh)) << name;
        }
        EXPECT_TRUE(c.Rc != 0 || ReadBytes(RecordDir() + "/DataTime/RecordTime") == Times(0));
        ASSERT_EQ(g_fake.Messages.size(), c.Log.size());
        for (size_t i = 0; i < c.Log.size(); ++i) {
            const LoggedMessage &m = g_fake.Messages[i];
            std::string text = m.Kind + (" " + std::to_string(m.Level)) + " " + m.Text;
            EXPECT_TRUE(Matches(text.c_str(), (c.Log[i] + "\n").c_str())) << text;
        }
        EXPECT_EQ(RecordStore.SensorArr == nullptr, c.Rc != 0) << "released whole on failure";
    }
}

// Space equal to the need is not enough: the store keeps a margin.
TEST_F(StoreTest, FreeSpaceEqualToTheNeedEndsTheProcess) {
    SetList(std::vector<SensorSpec>(124, SensorSpec{"S", 1, 1}));
    g_tffreesize = 9060;
    g_fake.EchoMessages = true;
    g_fake.OnDeregister = [](const char *path) { fprintf(stderr, "deregistered %s\n", path); };
    EXPECT_EXIT(InitStore(kDay), ::testing::ExitedWithCode(1),
                "M 178 \\[InitSensorDataRecordSt\\]\\[[0-9]+\\]TF card free size not enough,need:9277440\\(byte\\),"
                "Free:9277440\\(byte\\)\n.*deregistered /usr/local/bin/Trendkeep");
    EXPECT_FALSE(fs::exists(card_ + "/DataRecord"));
}

}  // namespace
