#include "CardCheck.h"

#include <string.h>

#include <cmath>
#include <map>

#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

namespace {

// Slot faults of one kind reported one by one before they are only counted.
const int kSlotFaultsShown = 4;

std::string TimeAndText(int64_t t) { return std::to_string(t) + " (" + DateTimeText(t) + ")"; }

std::string BlockWhere(int d) { return "block " + std::to_string(d); }

class FileChecker {
public:
    FileChecker(const SensorFileImage &file, int64_t record_day, CheckSummary &sum,
                std::function<void(const Problem &)> add)
        : File(file), RecordDay(record_day), Sum(sum), AddProblem(std::move(add)) {}

    void Run() {
        if (!File.Complete()) {
            CheckSize();
            return;
        }
        ++Sum.SensorFiles;
        CheckHeader();
        std::map<int64_t, int> first_block_of_day;
        for (int d = 0; d < DAYS_PER_FILE; ++d) {
            const DayBlock &b = File.Data->Days[d];
            const int64_t key = b.DayKey;
            if (key == 0) {
                CheckEmptyBlock(d);
                continue;
            }
            ++Sum.DayBlocks;
            auto seen = first_block_of_day.find(key);
            if (seen != first_block_of_day.end()) {
                Add(BlockWhere(d) + ", DayKey", "day " + DateText(key) + " (" + std::to_string(key) +
                                                    ") is also held by block " + std::to_string(seen->second) +
                                                    "; only the first is ever read");
            } else {
                first_block_of_day[key] = d;
            }
            // The day the daemon last switched to is the latest it has
            // reached; a later one was written under a clock that ran ahead.
            if (RecordDay != 0 && key > RecordDay) {
                Add(BlockWhere(d) + ", DayKey", "day " + DateText(key) + " (" + std::to_string(key) +
                                                    ") is after the record day " + DateText(RecordDay) + " of " +
                                                    RECORD_TIME_DIR "/" RECORD_TIME_FILE +
                                                    ": dated by a clock that ran ahead");
            }
            CheckBlock(d);
        }
    }

private:
    void Add(const std::string &where, const std::string &what) { AddProblem({File.Name, where, what}); }

    void CheckSize() {
        const std::string sizes = std::to_string(File.Size) + " bytes, expected " + std::to_string(SENSOR_FILE_SIZE);
        if (File.Size > SENSOR_FILE_SIZE) {
            Add("", "damaged: file too long (" + sizes + ")");
            return;
        }
        // A short file whose header still names the sensor it is stored
        // for was cut off: a writer or a copy stopped part-way.
        bool header_ok = File.HeaderRead() && memchr(File.Data->Header.SensorName, '\0', SENSOR_NAME_SIZE) != nullptr &&
                         StoredFileName(File.HeaderName()) == File.Name;
        if (header_ok) {
            Add("", "truncated: " + sizes + " (cut off part-way, as by a writer or copy that stopped); " +
                        "the daemon replaces it with an empty file, losing its history");
        } else {
            Add("", "not a sensor data file (" + sizes + ", and no sensor header naming this file)");
        }
    }

    void CheckHeader() {
        const char *name = File.Data->Header.SensorName;
        if (memchr(name, '\0', SENSOR_NAME_SIZE) == nullptr) {
            Add("header, SensorName", "no terminating NUL within its " + std::to_string(SENSOR_NAME_SIZE) + " bytes");
            return;
        }
        std::string stored = StoredFileName(File.HeaderName());
        if (stored != File.Name) {
            Add("header, SensorName",
                "expected the name this file is stored under ('" + File.Name + "'), found '" + File.HeaderName() + "'");
        }
    }

    void CheckEmptyBlock(int d) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(&File.Data->Days[d]);
        for (size_t i = 0; i < sizeof(DayBlock); ++i) {
            if (p[i] != 0) {
                std::string where = BlockWhere(d);
                if (i >= offsetof(DayBlock, Slots)) {
                    size_t s = (i - offsetof(DayBlock, Slots)) / sizeof(SampleSlot);
                    where += ", slot " + std::to_string(s);
                }
                Add(where, "block is empty (DayKey 0) but holds a non-zero byte at block offset " + std::to_string(i) +
                               "; an empty block is all zero");
                return;
            }
        }
    }

    // Reports a slot fault, or only counts it once enough were shown.
    void SlotFault(int d, int s, const char *field, const std::string &what) {
        int &n = FaultCounts[field];
        if (++n <= kSlotFaultsShown) Add(BlockWhere(d) + ", slot " + std::to_string(s) + ", " + field, what);
    }

    void FlushFaultCounts(int d) {
        for (const auto &[field, n] : FaultCounts) {
            if (n > kSlotFaultsShown) {
                Add(BlockWhere(d) + ", " + field, "and " + std::to_string(n - kSlotFaultsShown) +
                                                      " more slots with the same fault (" + std::to_string(n) +
                                                      " in all)");
            }
        }
        FaultCounts.clear();
    }

    void CheckBlock(int d) {
        const DayBlock &b = File.Data->Days[d];
        const int64_t key = b.DayKey;

        // The slot times say which day the block was prepared for; when the
        // key alone is off, say what it should have been.
        int64_t base = key;
        if (!IsDayKey(key)) {
            const int64_t s0 = b.Slots[0].SlotTime;
            bool consistent = IsDayKey(s0);
            for (int s = 1; consistent && s < SLOTS_PER_DAY; ++s) {
                consistent = b.Slots[s].SlotTime == s0 + (int64_t)SLOT_SECONDS * s;
            }
            if (consistent) {
                Add(BlockWhere(d) + ", DayKey", "expected " + TimeAndText(s0) +
                                                    " (local midnight, as the slot times say), found " +
                                                    TimeAndText(key));
                base = s0;
            } else {
                Add(BlockWhere(d) + ", DayKey", "expected a local midnight, found " + TimeAndText(key));
            }
        }

        // The rest is judged against the day the block was prepared for.
        const int64_t next = NextDayKey(base);
        int recorded = 0;
        static const unsigned char kZero[32] = {};
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            const SampleSlot &slot = b.Slots[s];
            const int64_t want = base + (int64_t)SLOT_SECONDS * s;
            const int64_t found = slot.SlotTime;
            if (found != want) {
                SlotFault(d, s, "SlotTime", "expected " + TimeAndText(want) + ", found " + TimeAndText(found));
            }
            const unsigned rec = slot.Recorded;
            if (rec > 1) SlotFault(d, s, "Recorded", "expected 0 or 1, found " + std::to_string(rec));
            if (rec == 1) ++recorded;
            if (rec == 0 && memcmp(reinterpret_cast<const unsigned char *>(&slot) + offsetof(SampleSlot, Reading),
                                   kZero, sizeof kZero) != 0) {
                const double r = slot.Reading, mx = slot.MaxReading, mn = slot.MinReading, av = slot.AvgReading;
                SlotFault(d, s, "readings",
                          "not recorded (Recorded 0) but expected zero readings, found reading " + FormatShortest(r) +
                              ", greatest " + FormatShortest(mx) + ", least " + FormatShortest(mn) + ", average " +
                              FormatShortest(av));
            }
        }
        FlushFaultCounts(d);
        Sum.RecordedSlots += recorded;

        const unsigned valid = b.StatsValid;
        if (valid > 1) {
            Add(BlockWhere(d) + ", StatsValid", "expected 0 or 1, found " + std::to_string(valid));
            return;
        }
        if (valid == 0) return;
        if (recorded == 0) {
            Add(BlockWhere(d) + ", StatsValid", "is 1 (extremes seeded) but no slot of the day is recorded");
        }
        const int64_t max_time = b.DayMaxTime, min_time = b.DayMinTime;
        const std::string day =
            "a time within " + DateText(base) + " [" + std::to_string(base) + ", " + std::to_string(next) + ")";
        if (max_time < base || max_time >= next)
            Add(BlockWhere(d) + ", DayMaxTime", "expected " + day + ", found " + TimeAndText(max_time));
        if (min_time < base || min_time >= next)
            Add(BlockWhere(d) + ", DayMinTime", "expected " + day + ", found " + TimeAndText(min_time));

        // The day's extremes cover every recorded slot: the greatest is at
        // least each slot's greatest, the least at most each non-zero least.
        const double day_max = b.DayMax, day_min = b.DayMin;
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            const SampleSlot &slot = b.Slots[s];
            if (slot.Recorded != 1) continue;
            const double mx = slot.MaxReading, mn = slot.MinReading;
            if (mx > day_max) {
                Add(BlockWhere(d) + ", DayMax", "expected at least " + FormatShortest(mx) + " (greatest of slot " +
                                                    std::to_string(s) + "), found " + FormatShortest(day_max));
                break;
            }
            if (mn != 0.0 && mn < day_min) {
                Add(BlockWhere(d) + ", DayMin", "expected at most " + FormatShortest(mn) + " (least of slot " +
                                                    std::to_string(s) + "), found " + FormatShortest(day_min));
                break;
            }
        }
    }

    const SensorFileImage &File;
    const int64_t RecordDay;  // of a sound record time file, else 0
    CheckSummary &Sum;
    std::function<void(const Problem &)> AddProblem;
    std::map<std::string, int> FaultCounts;
};

// Returns the record day when the file is sound and holds one, else 0.
int64_t CheckRecordTime(const CardImage &card, const std::function<void(const Problem &)> &problem) {
    const std::string file = RECORD_TIME_DIR "/" RECORD_TIME_FILE;
    auto add = [&](const std::string &where, const std::string &what) { problem({file, where, what}); };
    if (!card.HasTimeDir) {
        problem({RECORD_TIME_DIR, "", "missing: the directory of the record time file is not there"});
        return 0;
    }
    if (!card.HasRecordTime) {
        add("", "missing");
        return 0;
    }
    if (card.RecordTimeSize != RECORD_TIME_SIZE) {
        add("", std::string(card.RecordTimeSize < RECORD_TIME_SIZE ? "truncated" : "damaged: file too long") + " (" +
                    std::to_string(card.RecordTimeSize) + " bytes, expected " + std::to_string(RECORD_TIME_SIZE) + ")");
        return 0;
    }
    const int64_t day = card.RecordTime.RecordDay, slot = card.RecordTime.RecordSlot;
    if (day == 0) {
        if (slot != 0)
            add("RecordSlot", "expected 0 while RecordDay is 0 (nothing switched to yet), found " + TimeAndText(slot));
        return 0;
    }
    if (!IsDayKey(day)) {
        add("RecordDay", "expected a local midnight, found " + TimeAndText(day));
        return 0;
    }
    // The day switch stores RecordDay and only then, with the turn's slot,
    // RecordSlot: a daemon stopped between the two leaves RecordSlot in an
    // earlier day (0 on a new card), which loses nothing.
    const int64_t next = NextDayKey(day);
    if (slot >= next) {
        add("RecordSlot", "expected a slot start within " + DateText(day) + " [" + std::to_string(day) + ", " +
                              std::to_string(next) + ") or before it, found " + TimeAndText(slot));
    } else if (slot % SLOT_SECONDS != 0) {
        add("RecordSlot",
            "expected a multiple of " + std::to_string(SLOT_SECONDS) + " seconds, found " + TimeAndText(slot));
    }
    return day;
}

}  // namespace

void CardChecker::Add(const Problem &p) {
    ++Sum.Problems;
    if (Sink) Sink(p);
}

void CardChecker::Start(const CardImage &card) {
    for (const StrayEntry &s : card.Strays) Stray(s);
    RecordDay = CheckRecordTime(card, [this](const Problem &p) { Add(p); });
}

void CardChecker::File(const SensorFileImage &file) {
    FileChecker(file, RecordDay, Sum, [this](const Problem &p) { Add(p); }).Run();
}

void CardChecker::Stray(const StrayEntry &s) {
    Add({s.Path, "", "stray entry: " + s.What + " has no place in the record directory"});
}

void CardChecker::Finish() {
    if (Sum.SensorFiles == 0) Add({".", "", "no sensor data file of " + std::to_string(SENSOR_FILE_SIZE) + " bytes"});
}

CheckSummary CheckCard(const CardImage &card, Progress *bar, const ProblemSink &sink) {
    CardChecker checker(sink);
    checker.Start(card);
    ReadFiles(
        card, card.FileNames, false, bar, [&](const SensorFileImage &f) { checker.File(f); },
        [&](const StrayEntry &s) { checker.Stray(s); });
    checker.Finish();
    return checker.Summary();
}

}  // namespace tk
