// The recorder and the history query find files, day blocks and slots
// faster than by plain first-match searches: the recorder keeps each list
// entry's file while nothing the search reads has changed, and the query
// takes slot k for step k of its walk when the block is stamped as the
// store stamps it.  These tests run the plain searches (kept here as the
// reference) and the store's own functions side by side, over random and
// damaged files, and require the same bytes everywhere afterwards: the same
// slots written, the same files chosen, the same answers.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "StoreData.h"
#include "fake_platform.h"

namespace {

// ---------------------------------------------------------------------------
// The reference: plain first-match searches over every handler, block and
// slot, as the store searched before it kept anything.

SensorDataFile *RefFindEntryFile(StoreHandler *arr, uint32_t count, const LocalSensorData &e) {
    size_t len = strnlen(e.SensorName, SENSOR_NAME_SIZE);
    for (uint32_t h = 0; h < count; ++h) {
        SensorDataFile *file = arr[h].Map;
        if (file == nullptr) continue;
        if (file->Header.SensorNum == e.SensorNum && strncmp(file->Header.SensorName, e.SensorName, len) == 0) {
            return file;
        }
    }
    return nullptr;
}

DayBlock *RefFindDayBlock(SensorDataFile *file, int32_t day_key) {
    for (DayBlock &block : file->Days) {
        if (block.DayKey == day_key) return &block;
    }
    return nullptr;
}

int RefFindSlot(const DayBlock *block, uint32_t slot_time) {
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        if (block->Slots[s].SlotTime == slot_time) return s;
    }
    return -1;
}

void RefRecord(LocalDataHdr *hdr, StoreHandler *arr, uint32_t count, uint32_t slot_start, uint32_t day_key) {
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        LocalSensorData &e = hdr->SensorData[i];
        SensorDataFile *file = arr ? RefFindEntryFile(arr, count, e) : nullptr;
        DayBlock *block = file ? RefFindDayBlock(file, (int32_t)day_key) : nullptr;
        int s = block ? RefFindSlot(block, slot_start) : -1;
        if (s >= 0 && e.InUse == 1) {
            SampleSlot &slot = block->Slots[s];
            slot.Recorded = 1;
            slot.Reading = e.Reading;
            slot.MaxReading = e.MaxReading;
            slot.MinReading = e.MinReading;
            slot.AvgReading = e.AvgReading;
            double max = slot.MaxReading;
            double min = slot.MinReading;
            if (block->StatsValid == 0) {
                block->DayMax = max;
                block->DayMin = min;
                block->DayMaxTime = slot_start;
                block->DayMinTime = slot_start;
            }
            if (block->DayMax < max) {
                block->DayMax = max;
                block->DayMaxTime = e.MaxTime;
            }
            if (min != 0.0 && block->DayMin > min) {
                block->DayMin = min;
                block->DayMinTime = e.MinTime;
            }
            block->StatsValid = 1;
        }
        e.Valid = 0;
    }
    hdr->DataReady = 0;
}

int RefSearch(StoreHandler *arr, SensorDataQuery *query, uint32_t count) {
    uint16_t num = query->SensorNum;
    SensorDataFile *file = nullptr;
    for (uint32_t i = 0; arr != nullptr && i < count; ++i) {
        if (arr[i].Map != nullptr && arr[i].Map->Header.SensorNum == num) {
            file = arr[i].Map;
            break;
        }
    }
    if (file == nullptr) return -1;
    DayBlock *block = RefFindDayBlock(file, query->StartTime);
    if (block == nullptr) return 1;
    int32_t end = query->EndTime;
    if (end > query->StartTime) {
        bool first = true;
        int64_t t = query->StartTime;
        for (int k = 0; k < SLOTS_PER_DAY && t < end; ++k, t += SLOT_SECONDS) {
            int s = RefFindSlot(block, (uint32_t)t);
            if (s < 0) continue;
            const SampleSlot &from = block->Slots[s];
            SampleSlot &to = query->Slots[s];
            to = from;
            to.SlotTime = (uint32_t)t;
            double max = from.MaxReading;
            double min = from.MinReading;
            if (first) {
                query->MaxValue = max;
                query->MinValue = min;
                query->MaxTime = (uint32_t)t;
                query->MinTime = (uint32_t)t;
                first = false;
            } else {
                if (query->MaxValue < max) {
                    query->MaxValue = max;
                    query->MaxTime = (uint32_t)t;
                }
                if (query->MinValue > min) {
                    query->MinValue = min;
                    query->MinTime = (uint32_t)t;
                }
            }
        }
    }
    if (end >= (int32_t)block->DayMaxTime) {
        query->MaxValue = block->DayMax;
        query->MaxTime = block->DayMaxTime;
    }
    if (end >= (int32_t)block->DayMinTime) {
        query->MinValue = block->DayMin;
        query->MinTime = block->DayMinTime;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// A world: sensor data files in memory, a handler array over them and a
// sensor data list.  Two copies of one world, one for the reference and
// one for the store, must stay byte for byte equal.

struct World {
    std::vector<std::vector<uint8_t>> Files;
    std::vector<int> HandlerFile;  // file index of each handler, -1 for a null Map
    std::vector<StoreHandler> Handlers;
    uint32_t Count = 0;            // handlers in use (RecordCount)
    std::vector<LocalSensorData> Entries;
    LocalDataHdr Hdr{};

    SensorDataFile *File(size_t f) { return reinterpret_cast<SensorDataFile *>(Files[f].data()); }

    // Points the handlers and the list header at this world's own buffers.
    void Link() {
        Handlers.resize(HandlerFile.size());
        for (size_t h = 0; h < HandlerFile.size(); ++h) {
            Handlers[h].Fd = -1;
            Handlers[h].Map = HandlerFile[h] < 0 ? nullptr : File((size_t)HandlerFile[h]);
        }
        Hdr.SensorCount = (uint32_t)Entries.size();
        Hdr.SensorData = Entries.empty() ? nullptr : Entries.data();
    }

    World Copy() const {
        World w;
        w.Files = Files;
        w.HandlerFile = HandlerFile;
        w.Count = Count;
        w.Entries = Entries;
        w.Hdr = Hdr;
        w.Link();
        return w;
    }
};

// Where two byte ranges first differ, or -1.
long FirstDifference(const uint8_t *a, const uint8_t *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return (long)i;
    }
    return -1;
}

void ExpectSameWorld(World &ref, World &got) {
    ASSERT_EQ(ref.Files.size(), got.Files.size());
    for (size_t f = 0; f < ref.Files.size(); ++f) {
        EXPECT_EQ(FirstDifference(ref.Files[f].data(), got.Files[f].data(), sizeof(SensorDataFile)), -1)
            << "file " << f << " differs at that offset";
    }
    ASSERT_EQ(ref.Entries.size(), got.Entries.size());
    EXPECT_EQ(FirstDifference(reinterpret_cast<const uint8_t *>(ref.Entries.data()),
                              reinterpret_cast<const uint8_t *>(got.Entries.data()),
                              ref.Entries.size() * sizeof(LocalSensorData)),
              -1)
        << "the list entries differ";
    uint8_t ref_ready = ref.Hdr.DataReady;
    uint8_t got_ready = got.Hdr.DataReady;
    EXPECT_EQ(ref_ready, got_ready);
}

constexpr int32_t kDay0 = 1796342400;  // a midnight, UTC
const int32_t kDays[] = {kDay0, kDay0 + DAY_SECONDS, kDay0 + 2 * DAY_SECONDS, kDay0 - DAY_SECONDS, 0,
                         -DAY_SECONDS, INT32_MAX - 50000, INT32_MIN + 300};
const char *const kNames[] = {"",      "A",        "AB",    "CPU",      "CPU_Temp", "CPU_Temp2",
                              "FAN1",  "FAN10",    "FAN1_", "Sensor_001", "ABCDEFGHIJKLMNOPQRST"};
const uint16_t kNums[] = {0, 1, 2, 3, 255, 0xFFFF};

class Gen {
public:
    explicit Gen(uint32_t seed) : rng_(seed) {}

    int Below(int n) { return n <= 0 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool Chance(int percent) { return Below(100) < percent; }
    uint32_t Word() { return std::uniform_int_distribution<uint32_t>()(rng_); }
    template <typename T, size_t N>
    T Pick(const T (&a)[N]) {
        return a[Below((int)N)];
    }
    int32_t Day() { return Pick(kDays); }

    double Reading() {
        switch (Below(10)) {
            case 0: return 0.0;
            case 1: return -0.0;
            case 2: return NAN;
            case 3: return (double)(Below(5) - 2);
            default: return std::uniform_real_distribution<double>(-50.0, 150.0)(rng_);
        }
    }

    // A name written into 20 bytes: with its NUL and garbage behind it, or
    // filling all 20 without one.
    void Name(char out[SENSOR_NAME_SIZE]) {
        for (int i = 0; i < SENSOR_NAME_SIZE; ++i) out[i] = (char)('a' + Below(26));
        const char *name = Pick(kNames);
        size_t len = strlen(name);
        memcpy(out, name, len < SENSOR_NAME_SIZE ? len : SENSOR_NAME_SIZE);
        if (len < SENSOR_NAME_SIZE) out[len] = '\0';
    }

    void Stamp(DayBlock *b, int32_t day) {
        uint32_t t = (uint32_t)day;
        for (int s = 0; s < SLOTS_PER_DAY; ++s, t += SLOT_SECONDS) b->Slots[s].SlotTime = t;
    }

    // A day block as the store leaves it, then damaged in one of the ways a
    // card can hold: duplicate slot times, shifted times, garbage, zeros.
    void Block(DayBlock *b) {
        int32_t day = Chance(15) ? 0 : Day();
        b->DayKey = day;
        b->StatsValid = (uint8_t)Below(3);
        b->DayMax = Reading();
        b->DayMin = Reading();
        b->DayMaxTime = Chance(50) ? (uint32_t)day + (uint32_t)(SLOT_SECONDS * Below(300)) : Word();
        b->DayMinTime = Chance(50) ? (uint32_t)day + (uint32_t)(SLOT_SECONDS * Below(300)) : Word();
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            SampleSlot &slot = b->Slots[s];
            slot.Recorded = (uint8_t)Below(3);
            slot.Reading = Reading();
            slot.MaxReading = Reading();
            slot.MinReading = Reading();
            slot.AvgReading = Reading();
        }
        Stamp(b, day);
        switch (Below(8)) {
            case 0:  // an earlier slot holds a later slot's time
                for (int n = 1 + Below(4); n > 0; --n) {
                    int late = 1 + Below(SLOTS_PER_DAY - 1);
                    int early = Below(late);
                    uint32_t t = b->Slots[late].SlotTime;
                    b->Slots[early].SlotTime = t;
                }
                break;
            case 1: {  // every time shifted
                static const int32_t kShift[] = {1, 150, 299, SLOT_SECONDS, -SLOT_SECONDS, 7 * SLOT_SECONDS,
                                                 DAY_SECONDS};
                Stamp(b, (int32_t)((uint32_t)day + (uint32_t)Pick(kShift)));
                break;
            }
            case 2:  // a few slots of garbage
                for (int n = 1 + Below(6); n > 0; --n) b->Slots[Below(SLOTS_PER_DAY)].SlotTime = Word();
                break;
            case 3:  // stamped for another day
                Stamp(b, Day());
                break;
            case 4:  // all zero times
                for (int s = 0; s < SLOTS_PER_DAY; ++s) b->Slots[s].SlotTime = 0;
                break;
            case 5:  // one slot stamped with the time of its neighbour
                if (SLOTS_PER_DAY > 1) {
                    int s = Below(SLOTS_PER_DAY - 1);
                    uint32_t t = b->Slots[s + 1].SlotTime;
                    b->Slots[s].SlotTime = t;
                }
                break;
            default:  // as the store leaves it
                break;
        }
    }

    void File(SensorDataFile *f) {
        f->Header.SensorNum = Pick(kNums);
        Name(f->Header.SensorName);
        f->Header.SensorClass = (uint8_t)Below(4);
        for (DayBlock &b : f->Days) Block(&b);
        // Sometimes the same day twice in one file: the first block counts.
        if (Chance(20)) {
            int32_t key = f->Days[Below(DAYS_PER_FILE)].DayKey;
            f->Days[Below(DAYS_PER_FILE)].DayKey = key;
        }
    }

    void Entry(LocalSensorData *e) {
        memset(e, 0, sizeof *e);
        e->InUse = (uint8_t)(Chance(85) ? 1 : Below(3));
        e->Valid = (uint8_t)Below(2);
        Name(e->SensorName);
        e->SensorNum = Pick(kNums);
        e->SensorClass = (uint8_t)Below(4);
        Figures(e);
    }

    void Figures(LocalSensorData *e) {
        e->Reading = Reading();
        e->MaxReading = Reading();
        e->MinReading = Reading();
        e->AvgReading = Reading();
        e->MaxTime = Word();
        e->MinTime = Word();
    }

    World MakeWorld() {
        World w;
        int files = Below(9);
        w.Files.assign((size_t)files, std::vector<uint8_t>(sizeof(SensorDataFile)));
        for (int f = 0; f < files; ++f) File(w.File((size_t)f));
        int handlers = Below(10);
        for (int h = 0; h < handlers; ++h) w.HandlerFile.push_back(files == 0 || Chance(10) ? -1 : Below(files));
        w.Count = (uint32_t)handlers;
        int entries = Below(10);
        w.Entries.resize((size_t)entries);
        for (LocalSensorData &e : w.Entries) Entry(&e);
        w.Hdr.DataReady = 1;
        w.Hdr.ListReady = 1;
        w.Link();
        return w;
    }

    // A slot start the recorder might be handed for day.
    uint32_t SlotStart(int32_t day) {
        if (Chance(10)) return Word();
        return (uint32_t)day + (uint32_t)(SLOT_SECONDS * (Below(SLOTS_PER_DAY + 4) - 2)) + (Chance(10) ? 1u : 0u);
    }

private:
    std::mt19937 rng_;
};

// The store's recorder reads the handler count from RecordStore; keep the
// real store's state out of the way.
class StoreSpeedupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        saved_ = RecordStore;
    }
    void TearDown() override { RecordStore = saved_; }

    static void Record(World &w, uint32_t slot, uint32_t day) {
        RecordStore.RecordCount = w.Count;
        RecordSensorsDataToMem(&w.Hdr, w.Handlers.empty() ? nullptr : w.Handlers.data(), slot, day);
    }
    static void RecordBoth(World &ref, World &got, uint32_t slot, uint32_t day) {
        RefRecord(&ref.Hdr, ref.Handlers.empty() ? nullptr : ref.Handlers.data(), ref.Count, slot, day);
        Record(got, slot, day);
    }

    static void ExpectSameAnswer(World &ref, World &got, uint16_t num, int32_t start, int32_t end) {
        SensorDataQuery a, b;
        memset(&a, 0, sizeof a);
        memset(&b, 0, sizeof b);
        a.SensorNum = b.SensorNum = num;
        a.StartTime = b.StartTime = start;
        a.EndTime = b.EndTime = end;
        int ra = RefSearch(ref.Handlers.empty() ? nullptr : ref.Handlers.data(), &a, ref.Count);
        int rb = SearchSensorDataFromFile(got.Handlers.empty() ? nullptr : got.Handlers.data(), &b, got.Count);
        EXPECT_EQ(ra, rb);
        EXPECT_EQ(FirstDifference(reinterpret_cast<const uint8_t *>(&a), reinterpret_cast<const uint8_t *>(&b),
                                  sizeof a),
                  -1)
            << "the answers differ at that offset";
    }

    RecordStoreState saved_{};
};

// A world with one stamped file per entry, named and numbered alike.
World PlainWorld(int n, int32_t day) {
    World w;
    w.Files.assign((size_t)n, std::vector<uint8_t>(sizeof(SensorDataFile)));
    w.Entries.resize((size_t)n);
    for (int i = 0; i < n; ++i) {
        SensorDataFile *f = w.File((size_t)i);
        f->Header.SensorNum = (uint16_t)(i + 1);
        snprintf(f->Header.SensorName, SENSOR_NAME_SIZE, "S%02d", i);
        f->Days[0].DayKey = day;
        uint32_t t = (uint32_t)day;
        for (int s = 0; s < SLOTS_PER_DAY; ++s, t += SLOT_SECONDS) f->Days[0].Slots[s].SlotTime = t;
        w.HandlerFile.push_back(i);
        LocalSensorData &e = w.Entries[(size_t)i];
        e.InUse = 1;
        e.SensorNum = (uint16_t)(i + 1);
        snprintf(e.SensorName, SENSOR_NAME_SIZE, "S%02d", i);
        e.Reading = 10.0 + i;
        e.MaxReading = 11.0 + i;
        e.MinReading = 9.0 + i;
        e.AvgReading = 10.0 + i;
    }
    w.Count = (uint32_t)n;
    w.Link();
    return w;
}

TEST_F(StoreSpeedupTest, RandomAndDamagedFilesRecordIntoTheSameSlotsAsTheFirstMatchSearch) {
    Gen g(20261204);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("world " + std::to_string(round));
        World ref = g.MakeWorld();
        World got = ref.Copy();
        // Several turns on the same world, so that the recorder's kept
        // answers are used, and checked, more than once.
        for (int turn = 0; turn < 4; ++turn) {
            int32_t day = g.Chance(80) && !ref.Files.empty()
                              ? ref.File((size_t)g.Below((int)ref.Files.size()))->Days[g.Below(DAYS_PER_FILE)].DayKey
                              : g.Day();
            uint32_t slot = g.SlotStart(day);
            for (size_t i = 0; i < ref.Entries.size(); ++i) {
                g.Figures(&ref.Entries[i]);
                memcpy(&got.Entries[i], &ref.Entries[i], sizeof(LocalSensorData));
            }
            RecordBoth(ref, got, slot, (uint32_t)day);
            ExpectSameWorld(ref, got);
            if (HasFailure()) return;
        }
    }
}

TEST_F(StoreSpeedupTest, RandomAndDamagedFilesAnswerQueriesAsTheFirstMatchSearch) {
    Gen g(7);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("world " + std::to_string(round));
        World ref = g.MakeWorld();
        World got = ref.Copy();
        for (int q = 0; q < 12; ++q) {
            int32_t start = g.Chance(85) && !ref.Files.empty()
                                ? ref.File((size_t)g.Below((int)ref.Files.size()))->Days[g.Below(DAYS_PER_FILE)].DayKey
                                : g.Day();
            int64_t end;
            switch (g.Below(5)) {
                case 0: end = (int64_t)start + DAY_LAST_SECOND; break;  // a past day
                case 1: end = (int64_t)start - g.Below(1000); break;     // an empty window
                case 2: end = (int32_t)g.Word(); break;                  // anything
                default: end = (int64_t)start + g.Below(DAY_SECONDS + 900);  // today
            }
            end = std::min<int64_t>(std::max<int64_t>(end, INT32_MIN), INT32_MAX);
            uint16_t num = g.Pick(kNums);
            ExpectSameAnswer(ref, got, num, start, (int32_t)end);
            if (HasFailure()) return;
        }
    }
}

TEST_F(StoreSpeedupTest, AnEarlierSlotWithTheSameTimeIsTheOneRecordedAndReported) {
    World ref = PlainWorld(3, kDay0);
    // Slot 5 of the second file carries the time of slot 100: the store's
    // rule is the first slot with the time, so slot 5 receives the sample
    // of 08:20 and a query finds slot 5 for that time, not slot 100.
    uint32_t t100 = (uint32_t)kDay0 + 100 * SLOT_SECONDS;
    ref.File(1)->Days[0].Slots[5].SlotTime = t100;
    World got = ref.Copy();
    RecordBoth(ref, got, t100, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    uint8_t recorded5 = got.File(1)->Days[0].Slots[5].Recorded;
    uint8_t recorded100 = got.File(1)->Days[0].Slots[100].Recorded;
    EXPECT_EQ(recorded5, 1);
    EXPECT_EQ(recorded100, 0);
    ExpectSameAnswer(ref, got, 2, kDay0, kDay0 + DAY_LAST_SECOND);
}

TEST_F(StoreSpeedupTest, ARenamedHeaderIsFollowedAtTheNextRecording) {
    World ref = PlainWorld(4, kDay0);
    World got = ref.Copy();
    uint32_t slot = (uint32_t)kDay0 + 10 * SLOT_SECONDS;
    RecordBoth(ref, got, slot, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    // The first file now carries entry 3's number and name: being earlier
    // in the array, it is entry 3's file from now on.
    for (World *w : {&ref, &got}) {
        w->File(0)->Header.SensorNum = 4;
        snprintf(w->File(0)->Header.SensorName, SENSOR_NAME_SIZE, "S03");
    }
    RecordBoth(ref, got, slot + SLOT_SECONDS, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    uint8_t now_in_first = got.File(0)->Days[0].Slots[11].Recorded;
    uint8_t now_in_last = got.File(3)->Days[0].Slots[11].Recorded;
    EXPECT_EQ(now_in_first, 1);
    EXPECT_EQ(now_in_last, 0);
}

TEST_F(StoreSpeedupTest, SwappedMappingsACountChangeAndRenamedEntriesAreFollowed) {
    World ref = PlainWorld(5, kDay0);
    World got = ref.Copy();
    uint32_t slot = (uint32_t)kDay0;
    auto turn = [&] {
        slot += SLOT_SECONDS;
        RecordBoth(ref, got, slot, (uint32_t)kDay0);
        ExpectSameWorld(ref, got);
    };
    turn();
    // Two handlers trade their files.
    for (World *w : {&ref, &got}) std::swap(w->Handlers[1].Map, w->Handlers[2].Map);
    turn();
    // A handler loses its file.
    for (World *w : {&ref, &got}) w->Handlers[0].Map = nullptr;
    turn();
    // Fewer handlers in use.
    for (World *w : {&ref, &got}) w->Count = 3;
    turn();
    // An entry takes another sensor's name and number.
    for (World *w : {&ref, &got}) {
        w->Entries[4].SensorNum = 2;
        snprintf(w->Entries[4].SensorName, SENSOR_NAME_SIZE, "S01");
    }
    turn();
    // A name's tail behind its NUL changes: not significant, same files.
    for (World *w : {&ref, &got}) w->Entries[3].SensorName[10] = 'x';
    turn();
    // Another handler array over the same files.
    std::vector<StoreHandler> other = got.Handlers;
    got.Handlers.swap(other);
    turn();
}

TEST_F(StoreSpeedupTest, AHeaderNameChangedInItsLastByteIsFollowed) {
    World ref = PlainWorld(3, kDay0);
    // Names of the full 20 bytes, without a NUL: every byte is compared.
    memcpy(ref.File(1)->Header.SensorName, "ABCDEFGHIJKLMNOPQRST", SENSOR_NAME_SIZE);
    memcpy(ref.Entries[1].SensorName, "ABCDEFGHIJKLMNOPQRST", SENSOR_NAME_SIZE);
    World got = ref.Copy();
    RecordBoth(ref, got, (uint32_t)kDay0, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    for (World *w : {&ref, &got}) w->File(1)->Header.SensorName[SENSOR_NAME_SIZE - 1] = 'X';
    RecordBoth(ref, got, (uint32_t)kDay0 + SLOT_SECONDS, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    uint8_t recorded = got.File(1)->Days[0].Slots[1].Recorded;
    EXPECT_EQ(recorded, 0) << "the renamed file is no longer the entry's";
}

TEST_F(StoreSpeedupTest, AListThatShrinksAndGrowsBackIsSearchedAgain) {
    World ref = PlainWorld(5, kDay0);
    World got = ref.Copy();
    RecordBoth(ref, got, (uint32_t)kDay0, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    // Entry 4's file changes its number while the list holds three
    // entries; when the list grows back to five, entry 4 has no file.
    for (World *w : {&ref, &got}) {
        w->File(4)->Header.SensorNum = 77;
        w->Hdr.SensorCount = 3;
    }
    RecordBoth(ref, got, (uint32_t)kDay0 + SLOT_SECONDS, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    for (World *w : {&ref, &got}) w->Hdr.SensorCount = 5;
    RecordBoth(ref, got, (uint32_t)kDay0 + 2 * SLOT_SECONDS, (uint32_t)kDay0);
    ExpectSameWorld(ref, got);
    uint8_t recorded = got.File(4)->Days[0].Slots[2].Recorded;
    EXPECT_EQ(recorded, 0);
}

TEST_F(StoreSpeedupTest, FilesRewrittenInPlaceBetweenRecordingsAreFollowed) {
    Gen g(99);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("world " + std::to_string(round));
        World ref = g.MakeWorld();
        if (ref.Files.empty()) continue;
        World got = ref.Copy();
        for (int turn = 0; turn < 5; ++turn) {
            int32_t day = ref.File((size_t)g.Below((int)ref.Files.size()))->Days[0].DayKey;
            RecordBoth(ref, got, g.SlotStart(day), (uint32_t)day);
            ExpectSameWorld(ref, got);
            if (HasFailure()) return;
            // Between turns, a whole file is replaced by another random
            // one at the same address, a header is renamed, or an entry
            // changes its number.
            size_t f = (size_t)g.Below((int)ref.Files.size());
            switch (g.Below(3)) {
                case 0:
                    g.File(ref.File(f));
                    memcpy(got.Files[f].data(), ref.Files[f].data(), sizeof(SensorDataFile));
                    break;
                case 1:
                    g.Name(ref.File(f)->Header.SensorName);
                    memcpy(got.Files[f].data(), ref.Files[f].data(), sizeof(SensorFileHeader));
                    break;
                default:
                    if (!ref.Entries.empty()) {
                        size_t i = (size_t)g.Below((int)ref.Entries.size());
                        ref.Entries[i].SensorNum = g.Pick(kNums);
                        got.Entries[i].SensorNum = ref.Entries[i].SensorNum;
                    }
            }
        }
    }
}

TEST_F(StoreSpeedupTest, AListLongerThanTheKeptAnswersIsSearchedEveryTime) {
    World ref = PlainWorld(520, kDay0);
    // Two files of the same sensor: the earlier one is taken.
    ref.File(519)->Header.SensorNum = 1;
    snprintf(ref.File(519)->Header.SensorName, SENSOR_NAME_SIZE, "S00");
    std::swap(ref.HandlerFile[0], ref.HandlerFile[519]);
    ref.Link();
    World got = ref.Copy();
    for (int turn = 0; turn < 3; ++turn) {
        RecordBoth(ref, got, (uint32_t)kDay0 + (uint32_t)(turn * SLOT_SECONDS), (uint32_t)kDay0);
        ExpectSameWorld(ref, got);
    }
}

TEST_F(StoreSpeedupTest, QueriesOverStampedBlocksReportEverySlotOfTheWindow) {
    World ref = PlainWorld(2, kDay0);
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        ref.File(0)->Days[0].Slots[s].MaxReading = (double)((s * 37) % 101);
        ref.File(0)->Days[0].Slots[s].MinReading = -(double)((s * 53) % 97);
    }
    World got = ref.Copy();
    for (int32_t end : {kDay0 - 1, kDay0, kDay0 + 1, kDay0 + 300, kDay0 + 301, kDay0 + 43200, kDay0 + DAY_LAST_SECOND,
                        kDay0 + DAY_SECONDS, kDay0 + 2 * DAY_SECONDS}) {
        SCOPED_TRACE("end " + std::to_string(end - kDay0));
        ExpectSameAnswer(ref, got, 1, kDay0, end);
    }
}

}  // namespace
