// The day switch, which gives every file a block for a new day, and the
// history query, which reads one day of one sensor within a time window.
// Both run on sensor data files that the tests lay out byte by byte.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "store_test_support.h"

namespace storetest {
namespace {

const int32_t kDay = 1796342400;  // 2026-12-04T00:00:00Z
const int32_t kDayLength = 86400;

int32_t DaysBack(int n) { return kDay - n * kDayLength; }

// Sensor data files in the temporary card directory, mapped, with the
// store's handler array over them.
class StoreFilesTest : public StoreTest {
protected:
    SensorDataFile *AddFile(uint16_t num, const char *name) {
        files_.push_back(std::make_unique<MappedFile>(SensorPath(name), num, name));
        handlers_.push_back({-1, files_.back()->map()});
        RecordStore.RecordCount = (uint32_t)handlers_.size();
        return files_.back()->map();
    }
    StoreHandler *Arr() { return handlers_.data(); }
    uint32_t Count() const { return (uint32_t)handlers_.size(); }

    void SetUp() override {
        StoreTest::SetUp();
        std::filesystem::create_directories(RecordDir());
    }

    std::vector<std::unique_ptr<MappedFile>> files_;
    std::vector<StoreHandler> handlers_;
};

// Fills every slot of block d with readings that tell the slot apart.
void FillDay(SensorDataFile *file, int d, double base) {
    for (int s = 0; s < SLOTS_PER_DAY; ++s) FillSlot(file, d, s, base + s, base + s + 0.5, base + s - 0.5, base + s + 0.25);
}

// Expects block d to be prepared for day_key: key, zero slots stamped with
// their times, StatsValid 0, and the given extremes left behind.
void ExpectPrepared(const SensorDataFile *file, int d, int32_t day_key, const DayHead &old_head) {
    DayHead h = HeadOf(file, d);
    EXPECT_EQ(h.DayKey, day_key) << d;
    EXPECT_EQ(h.StatsValid, 0u) << d;
    EXPECT_EQ(h.DayMax, old_head.DayMax) << d;
    EXPECT_EQ(h.DayMin, old_head.DayMin) << d;
    EXPECT_EQ(h.DayMaxTime, old_head.DayMaxTime) << d;
    EXPECT_EQ(h.DayMinTime, old_head.DayMinTime) << d;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(file);
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const uint8_t *slot = bytes + SlotOffset(d, s);
        if (slot[0] != 0 || GetU32(slot + 1) != (uint32_t)day_key + 300u * (uint32_t)s || !AllZero(slot + 5, 32)) {
            ADD_FAILURE() << "block " << d << " slot " << s << " is not empty and stamped";
            return;
        }
    }
}

std::vector<uint8_t> BlockBytes(const SensorDataFile *file, int d) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(file) + BlockOffset(d);
    return std::vector<uint8_t>(p, p + kBlockSize);
}

// ---------------------------------------------------------------------------
// SwitchRecordDay

using StoreSwitchTest = StoreFilesTest;

TEST_F(StoreSwitchTest, NewFileGetsTheDayInBlock0) {
    SensorDataFile *f = AddFile(1, "A");
    std::vector<uint8_t> before = MapBytes(f);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    ExpectPrepared(f, 0, kDay, {0, 0, 0.0, 0.0, 0, 0});
    for (int d = 1; d < DAYS_PER_FILE; ++d) EXPECT_TRUE(AllZero(BlockBytes(f, d).data(), kBlockSize)) << d;
    std::vector<uint8_t> after = MapBytes(f);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 23, after.begin()));  // header untouched
}

TEST_F(StoreSwitchTest, EveryFileIsSwitched) {
    SensorDataFile *a = AddFile(1, "A");
    SensorDataFile *b = AddFile(2, "B");
    KeyBlock(b, 0, DaysBack(1));
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    EXPECT_EQ(HeadOf(a, 0).DayKey, kDay);
    EXPECT_EQ(HeadOf(b, 0).DayKey, DaysBack(1));
    EXPECT_EQ(HeadOf(b, 1).DayKey, kDay);
    EXPECT_EQ(SwitchRecordDay(Arr(), 0, DaysBack(-1), 0), 0);  // no files: nothing
    EXPECT_EQ(HeadOf(a, 1).DayKey, 0);
}

TEST_F(StoreSwitchTest, EighthDayReusesTheBlockOfTheOldestDay) {
    SensorDataFile *f = AddFile(1, "A");
    const int back[7] = {3, 1, 7, 2, 5, 4, 6};  // block 2 holds the oldest
    for (int d = 0; d < 7; ++d) {
        KeyBlock(f, d, DaysBack(back[d]));
        FillDay(f, d, 100.0 * d);
        SetExtremes(f, d, 1, 900.0 + d, (uint32_t)DaysBack(back[d]) + 60, -9.0 - d, (uint32_t)DaysBack(back[d]) + 120);
    }
    std::vector<uint8_t> before = MapBytes(f);
    DayHead old_head = HeadOf(f, 2);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    ExpectPrepared(f, 2, kDay, old_head);
    std::vector<uint8_t> after = MapBytes(f);
    for (int d = 0; d < 7; ++d) {
        if (d == 2) continue;
        EXPECT_TRUE(std::equal(before.begin() + BlockOffset(d), before.begin() + BlockOffset(d) + kBlockSize,
                               after.begin() + BlockOffset(d)))
            << d;
    }
}

TEST_F(StoreSwitchTest, KeysCompareAsSignedNumbers) {
    SensorDataFile *f = AddFile(1, "A");
    for (int d = 0; d < 7; ++d) KeyBlock(f, d, DaysBack(d + 1));
    KeyBlock(f, 4, -86400);  // a day before 1970: the oldest
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    EXPECT_EQ(HeadOf(f, 4).DayKey, kDay);
    EXPECT_EQ(HeadOf(f, 6).DayKey, DaysBack(7));
    // The clock set back to the last day of 1969: every day of 2026 lies
    // after it.
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), -86400, 1), 0);
    EXPECT_EQ(HeadOf(f, 6).DayKey, -86400);
    for (int d = 0; d < 6; ++d) EXPECT_TRUE(AllZero(BlockBytes(f, d).data(), kBlockSize)) << d;
}

TEST_F(StoreSwitchTest, HeldDayIsEmptiedAgainKeepingItsExtremes) {
    SensorDataFile *f = AddFile(1, "A");
    KeyBlock(f, 0, DaysBack(1));
    KeyBlock(f, 1, kDay);
    FillDay(f, 1, 5.0);
    SetExtremes(f, 1, 1, 77.0, (uint32_t)kDay + 300, -7.0, (uint32_t)kDay + 600);
    DayHead old_head = HeadOf(f, 1);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    ExpectPrepared(f, 1, kDay, old_head);
    EXPECT_EQ(HeadOf(f, 0).DayKey, DaysBack(1));
    EXPECT_EQ(HeadOf(f, 2).DayKey, 0);
}

TEST_F(StoreSwitchTest, EmptyBlockBeforeTheHeldDayIsTakenAndUsedFromThenOn) {
    SensorDataFile *f = AddFile(1, "A");
    KeyBlock(f, 0, DaysBack(3));
    KeyBlock(f, 2, kDay);
    FillDay(f, 2, 50.0);
    SetExtremes(f, 2, 1, 400.0, (uint32_t)kDay + 300, 45.0, (uint32_t)kDay + 600);
    std::vector<uint8_t> block2 = BlockBytes(f, 2);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), kDay, 0), 0);
    ExpectPrepared(f, 1, kDay, {0, 0, 0.0, 0.0, 0, 0});
    EXPECT_EQ(BlockBytes(f, 2), block2);

    // Recording and the query now use block 1, the first that holds the day.
    TestList list({{"A", 1, 1}});
    list.SetFigures(0, 8.0, 9.0, 7.0, 8.0, (uint32_t)kDay + 10, (uint32_t)kDay + 20);
    RecordSensorsDataToMem(list.hdr(), Arr(), (uint32_t)kDay, (uint32_t)kDay);
    EXPECT_EQ(SlotOf(f, 1, 0).Recorded, 1u);
    EXPECT_EQ(BlockBytes(f, 2), block2);
    SensorDataQuery q;
    memset(&q, 0, sizeof q);
    q.SensorNum = 1;
    SetQueryWindow(&q, kDay, kDay + 600);
    ASSERT_EQ(SearchSensorDataFromFile(Arr(), &q, Count()), 0);
    double reading = q.Slots[0].Reading;
    EXPECT_EQ(reading, 8.0);
    double max = q.MaxValue;
    EXPECT_EQ(max, 9.0);
}

TEST_F(StoreSwitchTest, ClockSetBackTwoDaysEmptiesTheLaterBlocks) {
    SensorDataFile *f = AddFile(1, "A");
    const int back[7] = {4, 0, 2, 3, 1, 6, 5};
    for (int d = 0; d < 7; ++d) {
        KeyBlock(f, d, DaysBack(back[d]));
        FillDay(f, d, 10.0 * d);
        SetExtremes(f, d, 1, 90.0 + d, (uint32_t)DaysBack(back[d]) + 60, 1.0 + d, (uint32_t)DaysBack(back[d]) + 90);
    }
    std::vector<uint8_t> before = MapBytes(f);
    DayHead old_head = HeadOf(f, 2);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), DaysBack(2), 1), 0);
    ExpectPrepared(f, 2, DaysBack(2), old_head);
    for (int d : {1, 4}) EXPECT_TRUE(AllZero(BlockBytes(f, d).data(), kBlockSize)) << d;  // today, yesterday
    std::vector<uint8_t> after = MapBytes(f);
    for (int d : {0, 3, 5, 6}) {
        EXPECT_TRUE(std::equal(before.begin() + BlockOffset(d), before.begin() + BlockOffset(d) + kBlockSize,
                               after.begin() + BlockOffset(d)))
            << d;
    }
}

TEST_F(StoreSwitchTest, ClockSetBackToADayNotHeldTakesTheOldestAndEmptiesTheLaterBlocks) {
    SensorDataFile *f = AddFile(1, "A");
    const int back[7] = {0, 1, 3, 4, 5, 6, 7};
    for (int d = 0; d < 7; ++d) KeyBlock(f, d, DaysBack(back[d]));
    DayHead old_head = HeadOf(f, 6);
    EXPECT_EQ(SwitchRecordDay(Arr(), Count(), DaysBack(2), 1), 0);
    ExpectPrepared(f, 6, DaysBack(2), old_head);
    for (int d : {0, 1}) EXPECT_TRUE(AllZero(BlockBytes(f, d).data(), kBlockSize)) << d;
    for (int d = 2; d < 6; ++d) EXPECT_EQ(HeadOf(f, d).DayKey, DaysBack(back[d])) << d;
}

// ---------------------------------------------------------------------------
// SetQueryWindow and SearchSensorDataFromFile

class StoreQueryTest : public StoreFilesTest {
protected:
    void SetUp() override {
        StoreFilesTest::SetUp();
        file_ = AddFile(7, "CPU_Temp");
        // Yesterday in block 0, today in block 1, every slot filled.  The
        // day extremes were seen late, after every window of these tests
        // unless a test moves them.
        KeyBlock(file_, 0, DaysBack(1));
        FillDay(file_, 0, 1000.0);
        SetExtremes(file_, 0, 1, 5000.0, (uint32_t)kDay + 1, -5000.0, (uint32_t)kDay + 1);
        KeyBlock(file_, 1, kDay);
        FillDay(file_, 1, 2000.0);
        SetExtremes(file_, 1, 1, 6000.0, (uint32_t)kDay + 86399, -6000.0, (uint32_t)kDay + 86399);
        memset(&q_, 0, sizeof q_);
        q_.SensorNum = 7;
    }
    int Search() { return SearchSensorDataFromFile(Arr(), &q_, Count()); }
    // Unpacked copies of the query's fields.
    struct Answer {
        int32_t Start, End;
        unsigned Num;
        double Max, Min;
        uint32_t MaxTime, MinTime;
    };
    Answer A() const { return {q_.StartTime, q_.EndTime, q_.SensorNum, q_.MaxValue, q_.MinValue, q_.MaxTime, q_.MinTime}; }
    Slot QSlot(int s) const {
        SampleSlot raw = q_.Slots[s];
        return {raw.Recorded, raw.SlotTime, raw.Reading, raw.MaxReading, raw.MinReading, raw.AvgReading};
    }
    // Number of leading slots of the answer that equal the block's slots;
    // every slot after them must be zero bytes.
    void ExpectSlotsCopied(int d, int count) {
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            SampleSlot got = q_.Slots[s];
            if (s < count) {
                SampleSlot want = file_->Days[d].Slots[s];
                if (memcmp(&got, &want, sizeof got) != 0) {
                    ADD_FAILURE() << "slot " << s << " differs from the block";
                    return;
                }
            } else if (!AllZero(reinterpret_cast<const uint8_t *>(&got), sizeof got)) {
                ADD_FAILURE() << "slot " << s << " is not zero";
                return;
            }
        }
    }

    SensorDataFile *file_ = nullptr;
    SensorDataQuery q_;
};

TEST_F(StoreQueryTest, WindowEndsAtTheSlotStartTodayAndCoversAnEndedDay) {
    SetQueryWindow(&q_, kDay, kDay + 10 * 3600 + 2 * 60);
    EXPECT_EQ(A().Start, kDay);
    EXPECT_EQ(A().End, kDay + 36000);
    SetQueryWindow(&q_, DaysBack(1), kDay);  // exactly a day later
    EXPECT_EQ(A().End, kDay);
    SetQueryWindow(&q_, DaysBack(1), kDay + 1);
    EXPECT_EQ(A().End, DaysBack(1) + 86399);
    SetQueryWindow(&q_, DaysBack(-1), kDay + 599);  // a day not yet begun
    EXPECT_EQ(A().End, kDay + 300);
}

TEST_F(StoreQueryTest, TodayAt1002GivesTheSlotsUpTo0955) {
    SetQueryWindow(&q_, kDay, kDay + 10 * 3600 + 2 * 60);
    ASSERT_EQ(Search(), 0);
    ExpectSlotsCopied(1, 120);
    // Greatest and least of the walked slots: slot 119 and slot 0.
    double max = q_.MaxValue, min = q_.MinValue;
    EXPECT_EQ(max, 2000.0 + 119 + 0.5);
    EXPECT_EQ(A().MaxTime, (uint32_t)kDay + 119 * 300);
    EXPECT_EQ(min, 2000.0 - 0.5);
    EXPECT_EQ(A().MinTime, (uint32_t)kDay);
    EXPECT_EQ(A().Start, kDay);
    EXPECT_EQ(A().Num, 7u);
}

TEST_F(StoreQueryTest, YesterdayAfterMidnightGivesTheWholeDay) {
    for (int32_t now : {kDay + 3 * 60, kDay}) {
        memset(&q_, 0, sizeof q_);
        q_.SensorNum = 7;
        SetQueryWindow(&q_, DaysBack(1), now);
        ASSERT_EQ(Search(), 0) << now;
        ExpectSlotsCopied(0, 288);
        // The day extremes, seen at 00:00:01 today, lie after the window.
        double max = q_.MaxValue;
        EXPECT_EQ(max, 1000.0 + 287 + 0.5) << now;
    }
}

TEST_F(StoreQueryTest, DayNotHeldAnswers1AndLeavesTheRecordAlone) {
    SensorDataQuery before;
    for (int32_t day : {DaysBack(2), DaysBack(-1), (int32_t)TK_NO_DAY_KEY}) {
        SetQueryWindow(&q_, day, kDay + 3600);
        before = q_;
        g_fake.Messages.clear();
        EXPECT_EQ(Search(), 1) << day;
        EXPECT_EQ(memcmp(&before, &q_, sizeof q_), 0) << day;
        ASSERT_EQ(g_fake.Messages.size(), 1u);
        EXPECT_EQ(g_fake.Messages[0].Kind, 'D');
        EXPECT_EQ(g_fake.Messages[0].Level, 130);
        EXPECT_TRUE(MatchesPattern(g_fake.Messages[0].Text,
                                   "[StoreData.cpp:#][SearchSensorDataFromFile][#]Request datatime invalied\n"))
            << g_fake.Messages[0].Text;
    }
}

TEST_F(StoreQueryTest, UnknownSensorAnswersMinus1) {
    q_.SensorNum = 77;
    SetQueryWindow(&q_, kDay, kDay + 3600);
    EXPECT_EQ(Search(), -1);
    ASSERT_EQ(g_fake.Messages.size(), 1u);
    EXPECT_EQ(g_fake.Messages[0].Level, 130);
    EXPECT_TRUE(MatchesPattern(g_fake.Messages[0].Text,
                               "[StoreData.cpp:#][SearchSensorDataFromFile][#]Match sensor failed,sensor num:77\n"))
        << g_fake.Messages[0].Text;
    // Without files no number is found.
    q_.SensorNum = 7;
    EXPECT_EQ(SearchSensorDataFromFile(Arr(), &q_, 0), -1);
    EXPECT_TRUE(g_fake.Logged("Match sensor failed,sensor num:7\n"));
}

TEST_F(StoreQueryTest, TwoFilesWithTheNumberAnswerFromTheEarlierOne) {
    SensorDataFile *second = AddFile(7, "Other_Name");
    KeyBlock(second, 0, kDay);
    FillDay(second, 0, 9000.0);
    SetQueryWindow(&q_, kDay, kDay + 3600);
    ASSERT_EQ(Search(), 0);
    ExpectSlotsCopied(1, 12);
}

TEST_F(StoreQueryTest, DayExtremesSeenByTheEndOfTheWindowTakePrecedence) {
    SetQueryWindow(&q_, kDay, kDay + 3600);
    SetExtremes(file_, 1, 0, 6000.0, (uint32_t)kDay + 3600, -6000.0, (uint32_t)kDay + 3601);
    ASSERT_EQ(Search(), 0);
    double max = q_.MaxValue, min = q_.MinValue;
    EXPECT_EQ(max, 6000.0);
    EXPECT_EQ(A().MaxTime, (uint32_t)kDay + 3600);
    // Seen a second after the window: the walked slots' least value stands.
    EXPECT_EQ(min, 2000.0 - 0.5);
    EXPECT_EQ(A().MinTime, (uint32_t)kDay);
}

TEST_F(StoreQueryTest, EqualMaximaGiveTheFirstSlotsStart) {
    for (int s = 0; s < SLOTS_PER_DAY; ++s) FillSlot(file_, 1, s, 1.0, 5.0, 2.0, 3.0);
    SetQueryWindow(&q_, kDay, kDay + 10 * 3600 + 2 * 60);
    ASSERT_EQ(Search(), 0);
    double max = q_.MaxValue, min = q_.MinValue;
    EXPECT_EQ(max, 5.0);
    EXPECT_EQ(A().MaxTime, (uint32_t)kDay);
    EXPECT_EQ(min, 2.0);
    EXPECT_EQ(A().MinTime, (uint32_t)kDay);
}

TEST_F(StoreQueryTest, UnrecordedSlotsCountWithZeroReadings) {
    SampleSlot &empty = file_->Days[1].Slots[7];
    empty.Recorded = 0;
    empty.Reading = 0.0;
    empty.MaxReading = 0.0;
    empty.MinReading = 0.0;
    empty.AvgReading = 0.0;
    SetQueryWindow(&q_, kDay, kDay + 3600);
    ASSERT_EQ(Search(), 0);
    double min = q_.MinValue;
    EXPECT_EQ(min, 0.0);
    EXPECT_EQ(A().MinTime, (uint32_t)kDay + 7 * 300);
    EXPECT_EQ(QSlot(7).Recorded, 0u);
    EXPECT_EQ(QSlot(7).SlotTime, (uint32_t)kDay + 7 * 300);
}

TEST_F(StoreQueryTest, SlotsAreFoundByTheirTimeNotTheirIndex) {
    // Slots 3 and 4 of today carry each other's times.
    file_->Days[1].Slots[3].SlotTime = (uint32_t)kDay + 4 * 300;
    file_->Days[1].Slots[4].SlotTime = (uint32_t)kDay + 3 * 300;
    SetQueryWindow(&q_, kDay, kDay + 3600);
    ASSERT_EQ(Search(), 0);
    double r3 = q_.Slots[3].Reading, r4 = q_.Slots[4].Reading;
    EXPECT_EQ(r3, 2003.0);
    EXPECT_EQ(r4, 2004.0);
    // Each lands at its own index with the time the walk looked for.
    EXPECT_EQ(QSlot(3).SlotTime, (uint32_t)kDay + 4 * 300);
    EXPECT_EQ(QSlot(4).SlotTime, (uint32_t)kDay + 3 * 300);
}

TEST_F(StoreQueryTest, RecordFromSensorNumOnIsTheDataResponse) {
    SetQueryWindow(&q_, kDay, kDay + 10 * 3600 + 2 * 60);
    ASSERT_EQ(Search(), 0);
    SensorDataResponse resp;
    memset(&resp, 0, sizeof resp);
    resp.SensorNum = q_.SensorNum;
    resp.MaxValue = q_.MaxValue;
    resp.MinValue = q_.MinValue;
    resp.MaxTime = q_.MaxTime;
    resp.MinTime = q_.MinTime;
    for (int s = 0; s < SLOTS_PER_DAY; ++s) resp.Slots[s] = q_.Slots[s];
    ASSERT_EQ(sizeof resp, sizeof q_ - 8);
    EXPECT_EQ(memcmp(&resp, reinterpret_cast<const uint8_t *>(&q_) + 8, sizeof resp), 0);
    const uint8_t *r = reinterpret_cast<const uint8_t *>(&resp);
    EXPECT_EQ(GetU16(r), 7);
    EXPECT_EQ(GetDouble(r + 2), 2000.0 + 119 + 0.5);
    EXPECT_EQ(GetU32(r + 18), (uint32_t)kDay + 119 * 300);
    EXPECT_EQ(GetU32(r + 22), (uint32_t)kDay);
    EXPECT_EQ(GetU32(r + 26 + 37 * 5 + 1), (uint32_t)kDay + 5 * 300);
}

}  // namespace
}  // namespace storetest
