// The store against a reference model of its design.  The model keeps each
// sensor data file as plain structures (seven day blocks of 288 slots),
// prepares, switches, records and queries them as the design says, and
// lays them out byte by byte at the file format's positions.  A seeded
// random run drives the store's real functions and the model side by side
// through many days with clock jumps forward and back, daemon restarts,
// random readings (zero, negative, equal, NaN) and turns without data, and
// compares every byte of every file and every query answer after each
// turn.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "store_test_support.h"

namespace storetest {
namespace {

// ---------------------------------------------------------------------------
// Reference model

constexpr int kDays = 7;
constexpr int kSlots = 288;
constexpr int32_t kSlotLen = 300;

struct MSlot {
    uint8_t Recorded = 0;
    uint32_t SlotTime = 0;
    double Reading = 0, Max = 0, Min = 0, Avg = 0;
};

struct MBlock {
    int32_t DayKey = 0;
    uint8_t StatsValid = 0;
    double DayMax = 0, DayMin = 0;
    uint32_t DayMaxTime = 0, DayMinTime = 0;
    MSlot Slots[kSlots];
};

struct MFile {
    uint16_t Num = 0;
    uint8_t Name[20] = {};
    uint8_t Class = 0;
    MBlock Days[kDays];
};

struct MEntry {
    uint8_t InUse;
    std::string Name;
    uint16_t Num;
    uint32_t MaxTime, MinTime;
    double Reading, Max, Min, Avg;
};

struct MQuery {
    int32_t StartTime = 0, EndTime = 0;
    uint16_t SensorNum = 0;
    double MaxValue = 0, MinValue = 0;
    uint32_t MaxTime = 0, MinTime = 0;
    MSlot Slots[kSlots];
};

// The header names the entry when its first (name length) bytes are the
// entry's name.
bool HeaderStartsWith(const MFile &f, const std::string &name) {
    return memcmp(f.Name, name.data(), name.size()) == 0;
}

void StampBlock(MBlock &b, int32_t key) {
    for (int s = 0; s < kSlots; ++s) b.Slots[s].SlotTime = (uint32_t)key + (uint32_t)(kSlotLen * s);
}

// A file as initialisation leaves it: header from the list entry, then the
// recorded day's block stamped, or else the block already keyed to today,
// or else the oldest block keyed to today.
void ModelPrepare(MFile &f, const MEntry &e, uint8_t cls, uint32_t record_day, int32_t today) {
    if (!HeaderStartsWith(f, e.Name)) {
        memcpy(f.Name, e.Name.data(), e.Name.size());
        f.Name[e.Name.size()] = 0;
    }
    f.Num = e.Num;
    f.Class = cls;
    if (record_day != 0) {
        for (MBlock &b : f.Days) {
            if (b.DayKey == (int32_t)record_day) {
                StampBlock(b, (int32_t)record_day);
                return;
            }
        }
    }
    int oldest = -1;
    for (int d = 0; d < kDays && oldest < 0; ++d) {
        if (f.Days[d].DayKey == today) oldest = d;
    }
    if (oldest < 0) {
        oldest = 0;
        for (int d = 1; d < kDays; ++d) {
            if (f.Days[d].DayKey < f.Days[oldest].DayKey) oldest = d;
        }
    }
    f.Days[oldest].DayKey = today;
    StampBlock(f.Days[oldest], today);
}

// The day switch of one file.
void ModelSwitch(MFile &f, int32_t key, bool went_back) {
    int pick = -1;
    int candidate = 0;
    for (int d = 0; d < kDays && pick < 0; ++d) {
        if (f.Days[d].DayKey == key) {
            pick = d;
        } else {
            if (f.Days[d].DayKey < f.Days[candidate].DayKey) candidate = d;
            if (f.Days[candidate].DayKey == 0) pick = candidate;
        }
    }
    if (pick < 0) pick = candidate;
    MBlock &b = f.Days[pick];
    b.DayKey = key;
    for (MSlot &s : b.Slots) s = MSlot();
    b.StatsValid = 0;
    StampBlock(b, key);
    if (went_back) {
        for (MBlock &other : f.Days) {
            if (other.DayKey > key) other = MBlock();
        }
    }
}

void ModelRecord(std::vector<MFile> &files, const std::vector<MEntry> &entries, uint32_t slot_start,
                 uint32_t day_key) {
    for (const MEntry &e : entries) {
        MFile *file = nullptr;
        for (MFile &f : files) {
            if (f.Num == e.Num && HeaderStartsWith(f, e.Name)) {
                file = &f;
                break;
            }
        }
        if (file == nullptr || e.InUse != 1) continue;
        MBlock *block = nullptr;
        for (MBlock &b : file->Days) {
            if (b.DayKey == (int32_t)day_key) {
                block = &b;
                break;
            }
        }
        if (block == nullptr) continue;
        MSlot *slot = nullptr;
        for (MSlot &s : block->Slots) {
            if (s.SlotTime == slot_start) {
                slot = &s;
                break;
            }
        }
        if (slot == nullptr) continue;
        slot->Recorded = 1;
        slot->Reading = e.Reading;
        slot->Max = e.Max;
        slot->Min = e.Min;
        slot->Avg = e.Avg;
        if (!block->StatsValid) {
            block->DayMax = e.Max;
            block->DayMin = e.Min;
            block->DayMaxTime = block->DayMinTime = slot_start;
        }
        if (e.Max > block->DayMax) {
            block->DayMax = e.Max;
            block->DayMaxTime = e.MaxTime;
        }
        if (e.Min != 0.0 && e.Min < block->DayMin) {
            block->DayMin = e.Min;
            block->DayMinTime = e.MinTime;
        }
        block->StatsValid = 1;
    }
}

void ModelWindow(MQuery &q, int32_t day_start, int32_t now) {
    q.StartTime = day_start;
    if ((int64_t)now - day_start > 86400) {
        q.EndTime = day_start + 86399;
    } else {
        q.EndTime = now - now % kSlotLen;
    }
}

int ModelSearch(const std::vector<MFile> &files, MQuery &q) {
    const MFile *file = nullptr;
    for (const MFile &f : files) {
        if (f.Num == q.SensorNum) {
            file = &f;
            break;
        }
    }
    if (file == nullptr) return -1;
    const MBlock *block = nullptr;
    for (const MBlock &b : file->Days) {
        if (b.DayKey == q.StartTime) {
            block = &b;
            break;
        }
    }
    if (block == nullptr) return 1;
    bool first = true;
    int64_t t = q.StartTime;
    for (int n = 0; n < kSlots && t < q.EndTime; ++n, t += kSlotLen) {
        for (int s = 0; s < kSlots; ++s) {
            const MSlot &from = block->Slots[s];
            if (from.SlotTime != (uint32_t)t) continue;
            q.Slots[s] = from;
            if (first) {
                q.MaxValue = from.Max;
                q.MinValue = from.Min;
                q.MaxTime = q.MinTime = (uint32_t)t;
                first = false;
            } else {
                if (from.Max > q.MaxValue) {
                    q.MaxValue = from.Max;
                    q.MaxTime = (uint32_t)t;
                }
                if (from.Min < q.MinValue) {
                    q.MinValue = from.Min;
                    q.MinTime = (uint32_t)t;
                }
            }
            break;
        }
    }
    if (q.EndTime >= (int32_t)block->DayMaxTime) {
        q.MaxValue = block->DayMax;
        q.MaxTime = block->DayMaxTime;
    }
    if (q.EndTime >= (int32_t)block->DayMinTime) {
        q.MinValue = block->DayMin;
        q.MinTime = block->DayMinTime;
    }
    return 0;
}

// Byte images of the model at the format's positions.
void LaySlot(uint8_t *p, const MSlot &s) {
    p[0] = s.Recorded;
    PutU32(p + 1, s.SlotTime);
    PutDouble(p + 5, s.Reading);
    PutDouble(p + 13, s.Max);
    PutDouble(p + 21, s.Min);
    PutDouble(p + 29, s.Avg);
}

void LayFile(const MFile &f, std::vector<uint8_t> &out) {
    out.assign(kFileSize, 0);
    PutU16(&out[0], f.Num);
    memcpy(&out[2], f.Name, 20);
    out[22] = f.Class;
    for (int d = 0; d < kDays; ++d) {
        const MBlock &b = f.Days[d];
        uint8_t *p = &out[BlockOffset(d)];
        PutU32(p, (uint32_t)b.DayKey);
        p[4] = b.StatsValid;
        PutDouble(p + 5, b.DayMax);
        PutDouble(p + 13, b.DayMin);
        PutU32(p + 21, b.DayMaxTime);
        PutU32(p + 25, b.DayMinTime);
        for (int s = 0; s < kSlots; ++s) LaySlot(&out[SlotOffset(d, s)], b.Slots[s]);
    }
}

std::vector<uint8_t> LayQuery(const MQuery &q) {
    std::vector<uint8_t> out(10690, 0);
    PutU32(&out[0], (uint32_t)q.StartTime);
    PutU32(&out[4], (uint32_t)q.EndTime);
    PutU16(&out[8], q.SensorNum);
    PutDouble(&out[10], q.MaxValue);
    PutDouble(&out[18], q.MinValue);
    PutU32(&out[26], q.MaxTime);
    PutU32(&out[30], q.MinTime);
    for (int s = 0; s < kSlots; ++s) LaySlot(&out[34 + 37 * (size_t)s], q.Slots[s]);
    return out;
}

std::string DescribeFileOffset(size_t off) {
    std::ostringstream os;
    if (off < kHeaderSize) {
        os << "header byte " << off;
    } else {
        size_t d = (off - kHeaderSize) / kBlockSize;
        size_t in_block = (off - kHeaderSize) % kBlockSize;
        if (in_block < 29) {
            os << "block " << d << " head byte " << in_block;
        } else {
            os << "block " << d << " slot " << (in_block - 29) / kSlotSize << " byte " << (in_block - 29) % kSlotSize;
        }
    }
    return os.str();
}

::testing::AssertionResult SameBytes(const uint8_t *real, const std::vector<uint8_t> &model,
                                     std::string (*describe)(size_t)) {
    if (memcmp(real, model.data(), model.size()) == 0) return ::testing::AssertionSuccess();
    size_t off = 0;
    while (real[off] == model[off]) ++off;
    return ::testing::AssertionFailure() << describe(off) << ": store has " << (int)real[off] << ", model "
                                         << (int)model[off];
}

std::string DescribeQueryOffset(size_t off) {
    std::ostringstream os;
    if (off < 34) {
        os << "query byte " << off;
    } else {
        os << "query slot " << (off - 34) / 37 << " byte " << (off - 34) % 37;
    }
    return os.str();
}

// ---------------------------------------------------------------------------
// The side-by-side run

struct ModelSensor {
    const char *Name;
    const char *FileName;
    uint16_t Num;
    uint8_t Class;
};

// "CPU" shares its number with CPU_Temp and is a leading part of its name:
// its figures land in CPU_Temp's file, the first whose header matches.
const ModelSensor kSensors[] = {
    {"CPU_Temp", "CPU_Temp", 1, 1},
    {"CPU", "CPU", 1, 2},
    {"Fan/1", "Fan_1", 2, 4},
    {"CPU_Utilization", "CPU_Utilization", 0xFFFF, 3},
};
constexpr size_t kSensorCount = sizeof kSensors / sizeof kSensors[0];

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kPalette[] = {-12.5, -3.0, -0.0, 0.0, 0.0, 0.5, 2.0, 2.0, 2.0, 7.25, 19.0, 19.0, 100.0, kNaN};

class StoreModelTest : public StoreTest {
protected:
    StoreModelTest() : list_(Rules()) {}

    static std::vector<SensorSpec> Rules() {
        std::vector<SensorSpec> rules;
        for (const ModelSensor &s : kSensors) rules.push_back({s.Name, s.Num, s.Class});
        return rules;
    }

    MEntry ModelEntry(size_t i) {
        LocalSensorData e = list_.at(i);
        return {e.InUse, kSensors[i].Name, e.SensorNum, e.MaxTime, e.MinTime, e.Reading, e.MaxReading,
                e.MinReading, e.AvgReading};
    }

    double Pick() { return kPalette[rng_() % (sizeof kPalette / sizeof kPalette[0])]; }
    uint32_t Below(uint32_t n) { return (uint32_t)(rng_() % n); }

    // Starts (or restarts) the daemon's store at now; lost_time drops the
    // record time file first, as a card that lost it would.
    void Start(time_t now, bool lost_time) {
        ReleaseStore();
        if (lost_time) {
            unlink(TimeFile().c_str());
            record_day_ = record_slot_ = 0;
        }
        ASSERT_EQ(InitStore(list_, now), 0);
        int32_t today = (int32_t)DayStartTime(now);
        for (size_t i = 0; i < kSensorCount; ++i) {
            ModelPrepare(model_[i], ModelEntry(i), kSensors[i].Class, record_day_, today);
        }
        ++starts_;
    }

    // One turn of the store thread at now, as its loop runs it.
    void Turn(time_t now) {
        RecordTimeFile *rt = RecordStore.RecordTimeMap;
        uint32_t stored_day = rt->RecordDay, stored_slot = rt->RecordSlot;
        ASSERT_EQ(stored_day, record_day_);
        ASSERT_EQ(stored_slot, record_slot_);
        int32_t day_key = (int32_t)DayStartTime(now);
        int32_t slot_start = (int32_t)(now / 300 * 300);
        if ((int32_t)rt->RecordDay != day_key) {
            bool went_back = (int32_t)rt->RecordDay > day_key;
            EXPECT_EQ(SwitchRecordDay(RecordStore.SensorArr, RecordStore.RecordCount, day_key, went_back ? 1 : 0), 0);
            for (MFile &f : model_) ModelSwitch(f, day_key, went_back);
            rt->RecordDay = record_day_ = (uint32_t)day_key;
            ++switches_;
            backs_ += went_back;
        }
        if ((int32_t)rt->RecordSlot != slot_start) {
            if (Below(8) != 0) {
                std::vector<MEntry> entries;
                for (size_t i = 0; i < kSensorCount; ++i) {
                    uint32_t max_time = (uint32_t)slot_start - Below(300);
                    uint32_t min_time = (uint32_t)slot_start - Below(300);
                    list_.SetFigures(i, Pick(), Pick(), Pick(), Pick(), max_time, min_time);
                    list_.at(i).InUse = Below(12) == 0 ? 0 : 1;
                    entries.push_back(ModelEntry(i));
                }
                RecordSensorsDataToMem(list_.hdr(), RecordStore.SensorArr, (uint32_t)slot_start, (uint32_t)day_key);
                ModelRecord(model_, entries, (uint32_t)slot_start, (uint32_t)day_key);
                for (size_t i = 0; i < kSensorCount; ++i) EXPECT_EQ(list_.at(i).Valid, 0);
                EXPECT_EQ(list_.hdr()->DataReady, 0);
                ++recordings_;
            }
            // The flush changes nothing in the mappings; a synchronous write
            // to the card every turn would only slow the run down.
            if (Below(64) == 0) {
                EXPECT_EQ(UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount), 0);
            }
            rt->RecordSlot = record_slot_ = (uint32_t)slot_start;
        }
    }

    ::testing::AssertionResult FilesAgree() {
        std::vector<uint8_t> image;
        for (size_t i = 0; i < kSensorCount; ++i) {
            LayFile(model_[i], image);
            auto same = SameBytes(reinterpret_cast<const uint8_t *>(FileOf((uint32_t)i)), image, DescribeFileOffset);
            if (!same) return same << " in the file of " << kSensors[i].Name;
        }
        return ::testing::AssertionSuccess();
    }

    // A query for a random sensor number and a day near now, or one of the
    // days a file holds.
    ::testing::AssertionResult QueryAgrees(time_t now) {
        static const uint16_t kNums[] = {1, 2, 0xFFFF, 99};
        uint16_t num = kNums[Below(4)];
        int32_t day;
        if (Below(2) == 0) {
            day = model_[Below(kSensorCount)].Days[Below(kDays)].DayKey;
        } else {
            day = (int32_t)DayStartTime(now - (time_t)(Below(10) - 1) * 86400);
        }
        SensorDataQuery real;
        memset(&real, 0, sizeof real);
        real.SensorNum = num;
        SetQueryWindow(&real, day, (int32_t)now);
        g_fake.Messages.clear();
        int rc = SearchSensorDataFromFile(RecordStore.SensorArr, &real, RecordStore.RecordCount);

        MQuery expected;
        expected.SensorNum = num;
        ModelWindow(expected, day, (int32_t)now);
        int expected_rc = ModelSearch(model_, expected);
        ++queries_[expected_rc + 1];
        if (rc != expected_rc) {
            return ::testing::AssertionFailure() << "query of " << num << " for day " << day << " answered " << rc
                                                 << ", model " << expected_rc;
        }
        const char *message = rc == -1 ? "Match sensor failed" : rc == 1 ? "Request datatime invalied" : nullptr;
        if ((message == nullptr) != g_fake.Messages.empty() ||
            (message != nullptr && !g_fake.Logged(message))) {
            return ::testing::AssertionFailure() << "query answering " << rc << " logged " << g_fake.Messages.size()
                                                 << " messages";
        }
        auto same = SameBytes(reinterpret_cast<const uint8_t *>(&real), LayQuery(expected), DescribeQueryOffset);
        if (!same) return same << " (sensor " << num << ", day " << day << ", now " << now << ")";
        return ::testing::AssertionSuccess();
    }

    // Runs steps turns from start, the clock jumping between them; in
    // small_percent of the steps it moves on by at most ten minutes.
    void Run(time_t start, int steps, uint32_t small_percent) {
        // A new card.
        ReleaseStore();
        std::filesystem::remove_all(dir_.path() + "/DataRecord");
        model_.assign(kSensorCount, MFile());
        record_day_ = record_slot_ = 0;
        time_t now = start;
        Start(now, false);
        for (int step = 0; step < steps && !HasFailure(); ++step) {
            uint32_t kind = Below(45);
            if (Below(100) < small_percent) {
                now += 1 + Below(600);  // the next slot or so
            } else if (kind < 15) {
                now += 600 + Below(3 * 3600);
            } else if (kind < 25) {
                now += 3 * 3600 + Below(27 * 3600);
            } else if (kind < 30) {
                now += 86400 + Below(2 * 86400);
            } else if (kind < 36) {
                now -= 1 + Below(2 * 3600);
            } else if (kind < 44) {
                now -= 1 + Below(2 * 86400);
            } else {
                g_now = now;
                Start(now, Below(3) == 0);
                if (HasFailure()) return;
            }
            g_now = now;
            Turn(now);
            ASSERT_TRUE(FilesAgree()) << "after step " << step << " at " << now;
            if (Below(2) == 0) {
                ASSERT_TRUE(QueryAgrees(now)) << "after step " << step;
            }
        }
    }

    TestList list_;
    std::vector<MFile> model_;
    uint32_t record_day_ = 0, record_slot_ = 0;
    std::mt19937 rng_{20261204};
    int starts_ = 0, switches_ = 0, backs_ = 0, recordings_ = 0;
    int queries_[3] = {0, 0, 0};  // answered -1, 0, 1
};

TEST_F(StoreModelTest, AgreesWithTheModelInUtc) {
    Run(LocalTime(2026, 11, 20, 23, 40), 1500, 55);
    // The run went through what it is meant to exercise.
    EXPECT_GT(backs_, 10);
    EXPECT_GT(switches_, 100);
    EXPECT_GT(starts_, 8);
    EXPECT_GT(recordings_, 500);
    EXPECT_GT(queries_[0], 20);
    EXPECT_GT(queries_[1], 200);
    EXPECT_GT(queries_[2], 50);
}

TEST_F(StoreModelTest, AgreesWithTheModelAcrossDaylightSavingChanges) {
    ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
    // Through the 23-hour day of 29 March and the 25-hour day of 25
    // October, mostly slot by slot.
    Run(LocalTime(2026, 3, 28, 19, 10), 1000, 90);
    Run(LocalTime(2026, 10, 24, 18, 50), 1000, 90);
    EXPECT_GT(backs_, 5);
    EXPECT_GT(recordings_, 300);
}

}  // namespace
}  // namespace storetest
