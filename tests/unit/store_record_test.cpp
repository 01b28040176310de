// Five-minute recording into the mapped sensor data files: which slot of
// which file an entry's figures land in, how the day's extremes move, what
// is consumed in the list, and the flush.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "store_test_support.h"

namespace storetest {
namespace {

const time_t kDay = 1796342400;  // 2026-12-04T00:00:00Z
const time_t kNow = kDay + 10 * 3600 + 2 * 60;
const uint32_t kSlot120 = (uint32_t)kDay + 120 * 300;  // 10:00

class StoreRecordTest : public StoreTest {
protected:
    // One sensor, initialised at 10:02 on an empty card: block 0 holds
    // today, nothing recorded.
    void InitOne() { ASSERT_EQ(InitStore(list_, kNow), 0); }
    void Record(uint32_t slot_start, uint32_t day_key = (uint32_t)kDay) {
        RecordSensorsDataToMem(list_.hdr(), RecordStore.SensorArr, slot_start, day_key);
    }
    void Record(TestList &list, uint32_t slot_start) {
        RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, slot_start, (uint32_t)kDay);
    }
    // Records one slot of sensor 0 at slot s of today with the given
    // greatest and least readings and their refresh times.
    void RecordMaxMin(int s, double max, uint32_t max_time, double min, uint32_t min_time) {
        list_.SetFigures(0, (max + min) / 2, max, min, (max + min) / 2, max_time, min_time);
        Record((uint32_t)kDay + 300u * (uint32_t)s);
    }
    DayHead Today() const { return HeadOf(FileOf(0), 0); }

    TestList list_{{{"CPU_Temp", 7, 1}}};
};

TEST_F(StoreRecordTest, CopiesTheFiguresIntoTheSlotOfTheSlotStart) {
    InitOne();
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    list_.SetFigures(0, 41.5, 44.25, 39.0, 41.125, kSlot120 - 200, kSlot120 - 100);
    Record(kSlot120);

    Slot slot = SlotOf(FileOf(0), 0, 120);
    EXPECT_EQ(slot.Recorded, 1u);
    EXPECT_EQ(slot.SlotTime, kSlot120);
    EXPECT_EQ(slot.Reading, 41.5);
    EXPECT_EQ(slot.Max, 44.25);
    EXPECT_EQ(slot.Min, 39.0);
    EXPECT_EQ(slot.Avg, 41.125);
    // Only that slot and the block's head changed.
    std::vector<uint8_t> after = MapBytes(FileOf(0));
    for (size_t i = 0; i < kFileSize; ++i) {
        bool in_slot = i >= SlotOffset(0, 120) && i < SlotOffset(0, 121);
        bool in_head = i >= BlockOffset(0) + 4 && i < BlockOffset(0) + 29;
        if (!in_slot && !in_head && before[i] != after[i]) {
            ADD_FAILURE() << "byte " << i << " changed";
            break;
        }
    }
}

TEST_F(StoreRecordTest, ClearsValidOfEveryEntryAndDataReady) {
    // Entry 1 is not in use, entry 2 has no file of its own (another
    // number), entry 3 is recorded.
    TestList list({{"A", 1, 1}, {"B", 2, 1}, {"C", 3, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    TestList recorded({{"A", 1, 1}, {"B", 2, 1}, {"Z", 99, 1}, {"C", 3, 1}});
    for (size_t i = 0; i < recorded.size(); ++i) recorded.SetFigures(i, 1, 1, 1, 1, 0, 0);
    recorded.at(1).InUse = 0;
    RecordSensorsDataToMem(recorded.hdr(), RecordStore.SensorArr, kSlot120, (uint32_t)kDay);
    for (size_t i = 0; i < recorded.size(); ++i) EXPECT_EQ(recorded.at(i).Valid, 0) << i;
    EXPECT_EQ(recorded.hdr()->DataReady, 0);
    EXPECT_EQ(SlotOf(FileOf(0), 0, 120).Recorded, 1u);
    EXPECT_EQ(SlotOf(FileOf(1), 0, 120).Recorded, 0u);
    EXPECT_EQ(SlotOf(FileOf(2), 0, 120).Recorded, 1u);
}

TEST_F(StoreRecordTest, FirstSlotOfTheDaySeedsTheExtremesWithTheSlotStart) {
    InitOne();
    // Old extremes of the block that the day switch left behind.
    SetExtremes(FileOf(0), 0, 0, 500.0, 1, -500.0, 2);
    RecordMaxMin(120, 44.0, kSlot120 - 250, 39.0, kSlot120 - 120);
    DayHead h = Today();
    EXPECT_EQ(h.StatsValid, 1u);
    EXPECT_EQ(h.DayMax, 44.0);
    EXPECT_EQ(h.DayMin, 39.0);
    EXPECT_EQ(h.DayMaxTime, kSlot120);
    EXPECT_EQ(h.DayMinTime, kSlot120);
}

TEST_F(StoreRecordTest, LaterSlotsOnlyWidenTheExtremesWithTheRefreshTimes) {
    InitOne();
    RecordMaxMin(10, 10.0, 1000, 5.0, 1001);
    // Greater maximum, greater minimum.
    RecordMaxMin(11, 12.0, 2000, 6.0, 2001);
    DayHead h = Today();
    EXPECT_EQ(h.DayMax, 12.0);
    EXPECT_EQ(h.DayMaxTime, 2000u);
    EXPECT_EQ(h.DayMin, 5.0);
    EXPECT_EQ(h.DayMinTime, (uint32_t)kDay + 3000);
    // Smaller maximum, smaller minimum.
    RecordMaxMin(12, 11.0, 3000, 4.0, 3001);
    h = Today();
    EXPECT_EQ(h.DayMax, 12.0);
    EXPECT_EQ(h.DayMaxTime, 2000u);
    EXPECT_EQ(h.DayMin, 4.0);
    EXPECT_EQ(h.DayMinTime, 3001u);
    // Negative minimum.
    RecordMaxMin(13, -1.0, 4000, -2.5, 4001);
    h = Today();
    EXPECT_EQ(h.DayMin, -2.5);
    EXPECT_EQ(h.DayMinTime, 4001u);
}

TEST_F(StoreRecordTest, TiesKeepTheEarlierTimes) {
    InitOne();
    RecordMaxMin(10, 10.0, 1000, 5.0, 1001);
    RecordMaxMin(11, 12.0, 2000, 4.0, 2001);
    RecordMaxMin(12, 12.0, 3000, 4.0, 3001);
    DayHead h = Today();
    EXPECT_EQ(h.DayMaxTime, 2000u);
    EXPECT_EQ(h.DayMinTime, 2001u);
}

TEST_F(StoreRecordTest, ZeroMinimumOfTheFirstSlotStaysUntilANegativeOne) {
    InitOne();
    RecordMaxMin(10, 3.0, 1000, 0.0, 1001);
    DayHead h = Today();
    EXPECT_EQ(h.DayMin, 0.0);
    RecordMaxMin(11, 3.0, 2000, 1.0, 2001);
    RecordMaxMin(12, 3.0, 3000, 0.0, 3001);
    h = Today();
    EXPECT_EQ(h.DayMin, 0.0);
    EXPECT_EQ(h.DayMinTime, (uint32_t)kDay + 3000);
    RecordMaxMin(13, 3.0, 4000, -0.5, 4001);
    h = Today();
    EXPECT_EQ(h.DayMin, -0.5);
    EXPECT_EQ(h.DayMinTime, 4001u);
}

TEST_F(StoreRecordTest, ZeroMinimumOfALaterSlotNeverLowersTheDayMinimum) {
    InitOne();
    RecordMaxMin(10, 9.0, 1000, 5.0, 1001);
    RecordMaxMin(11, 9.0, 2000, 0.0, 2001);
    RecordMaxMin(12, 9.0, 3000, -0.0, 3001);
    DayHead h = Today();
    EXPECT_EQ(h.DayMin, 5.0);
    EXPECT_EQ(h.DayMinTime, (uint32_t)kDay + 3000);
    // The slots themselves hold the zero minima.
    double min = SlotOf(FileOf(0), 0, 11).Min;
    EXPECT_EQ(min, 0.0);
}

TEST_F(StoreRecordTest, SameSlotAgainOverwritesItAndOnlyWidensTheExtremes) {
    InitOne();
    RecordMaxMin(120, 10.0, 1000, 5.0, 1001);
    RecordMaxMin(120, 8.0, 2000, 6.0, 2001);
    Slot slot = SlotOf(FileOf(0), 0, 120);
    EXPECT_EQ(slot.Max, 8.0);
    EXPECT_EQ(slot.Min, 6.0);
    DayHead h = Today();
    EXPECT_EQ(h.DayMax, 10.0);
    EXPECT_EQ(h.DayMin, 5.0);
}

TEST_F(StoreRecordTest, EntryNotInUseIsNotRecorded) {
    InitOne();
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    list_.SetFigures(0, 1, 2, 3, 4, 5, 6);
    list_.at(0).InUse = 0;
    Record(kSlot120);
    EXPECT_EQ(MapBytes(FileOf(0)), before);
    EXPECT_EQ(list_.at(0).Valid, 0);
}

TEST_F(StoreRecordTest, NothingIsWrittenWithoutAFileADayOrASlot) {
    InitOne();
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    // Another number, and a name that the file's header does not start with.
    TestList strangers({{"CPU_Temp", 8, 1}, {"CPU_Temp2", 7, 1}});
    strangers.SetFigures(0, 1, 2, 3, 4, 5, 6);
    strangers.SetFigures(1, 1, 2, 3, 4, 5, 6);
    RecordSensorsDataToMem(strangers.hdr(), RecordStore.SensorArr, kSlot120, (uint32_t)kDay);
    EXPECT_EQ(MapBytes(FileOf(0)), before);
    EXPECT_EQ(strangers.at(0).Valid, 0);
    EXPECT_EQ(strangers.at(1).Valid, 0);

    list_.SetFigures(0, 1, 2, 3, 4, 5, 6);
    Record(kSlot120, (uint32_t)(kDay + 86400));  // a day no block holds
    list_.SetFigures(0, 1, 2, 3, 4, 5, 6);
    Record(kSlot120 + 150);  // not on a slot of the day
    list_.SetFigures(0, 1, 2, 3, 4, 5, 6);
    Record((uint32_t)kDay + 86400);  // past the day's last slot
    EXPECT_EQ(MapBytes(FileOf(0)), before);
    EXPECT_EQ(list_.at(0).Valid, 0);
    EXPECT_EQ(list_.hdr()->DataReady, 0);
}

TEST_F(StoreRecordTest, ZoneOffsetOffTheFiveMinuteGridRecordsNothing) {
    // Two minutes east of UTC: local midnight lies 120 s off every slot start.
    ScopedTimeZone tz("XMT-0:02");
    const time_t day = kDay - 120;
    ASSERT_EQ(InitStore(list_, day + 36120), 0);
    ASSERT_EQ(HeadOf(FileOf(0), 0).DayKey, (int32_t)day);
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    for (uint32_t slot_start = (uint32_t)kDay; slot_start < (uint32_t)(kDay + 86400); slot_start += 300 * 37) {
        list_.SetFigures(0, 1, 2, 3, 4, 5, 6);
        Record(slot_start, (uint32_t)day);
    }
    EXPECT_EQ(MapBytes(FileOf(0)), before);
}

TEST_F(StoreRecordTest, EmptyListOnlyClearsDataReady) {
    InitOne();
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    TestList empty({});
    empty.hdr()->DataReady = 1;
    RecordSensorsDataToMem(empty.hdr(), RecordStore.SensorArr, kSlot120, (uint32_t)kDay);
    EXPECT_EQ(empty.hdr()->DataReady, 0);
    EXPECT_EQ(MapBytes(FileOf(0)), before);
}

TEST_F(StoreRecordTest, SameNumberAndALeadingPartOfTheNameHitTheFirstMatchingFile) {
    TestList list({{"CPU_Temp", 5, 1}, {"CPU", 5, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    ASSERT_EQ(HeaderName(FileOf(1)), "CPU");
    std::vector<uint8_t> cpu_before = MapBytes(FileOf(1));
    list.SetFigures(0, 10, 11, 9, 10, 0, 0);
    list.SetFigures(1, 20, 21, 19, 20, 0, 0);
    RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, kSlot120, (uint32_t)kDay);
    // "CPU" matches the header of CPU_Temp's file first: its figures land
    // there, over those of CPU_Temp.
    Slot slot = SlotOf(FileOf(0), 0, 120);
    EXPECT_EQ(slot.Reading, 20.0);
    EXPECT_EQ(MapBytes(FileOf(1)), cpu_before);
    DayHead h = HeadOf(FileOf(0), 0);
    EXPECT_EQ(h.DayMax, 21.0);
    EXPECT_EQ(h.DayMin, 9.0);
}

// The file of an entry is the one whose header matches at the time of the
// recording: a header changed since the previous turn counts as it is now.
// Here the name loses its characters from the fifth on, so the header no
// longer starts with the entry's name.
TEST_F(StoreRecordTest, HeaderNameCutBetweenTurnsIsNoLongerMatched) {
    TestList list({{"ABCDEFGH", 5, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    list.SetFigures(0, 1, 2, 3, 4, 0, 0);
    Record(list, kSlot120);
    ASSERT_EQ(SlotOf(FileOf(0), 0, 120).Recorded, 1u);

    FileOf(0)->Header.SensorName[4] = '\0';
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    list.SetFigures(0, 5, 6, 7, 8, 0, 0);
    Record(list, kSlot120 + 300);
    EXPECT_EQ(MapBytes(FileOf(0)), before);
}

// The same for a name of 17 characters that loses its last one: the change
// lies in the last four bytes of the header's name.
TEST_F(StoreRecordTest, HeaderNameCutAfterItsSixteenthCharacterIsNoLongerMatched) {
    TestList list({{"ABCDEFGHIJKLMNOPQ", 5, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    list.SetFigures(0, 1, 2, 3, 4, 0, 0);
    Record(list, kSlot120);
    ASSERT_EQ(SlotOf(FileOf(0), 0, 120).Recorded, 1u);

    FileOf(0)->Header.SensorName[16] = '\0';
    ASSERT_EQ(HeaderName(FileOf(0)), "ABCDEFGHIJKLMNOP");
    std::vector<uint8_t> before = MapBytes(FileOf(0));
    list.SetFigures(0, 5, 6, 7, 8, 0, 0);
    Record(list, kSlot120 + 300);
    EXPECT_EQ(MapBytes(FileOf(0)), before);
}

TEST_F(StoreRecordTest, FlushReachesTheFilesAndReportsOnlyAMissingArray) {
    TestList list({{"A", 1, 1}, {"B", 2, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    list.SetFigures(0, 1.5, 2.5, 0.5, 1.25, 0, 0);
    list.SetFigures(1, 3.5, 4.5, 2.5, 3.25, 0, 0);
    RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, kSlot120, (uint32_t)kDay);
    EXPECT_EQ(UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount), 0);
    EXPECT_EQ(ReadBytes(SensorPath("A")), MapBytes(FileOf(0)));
    EXPECT_EQ(ReadBytes(SensorPath("B")), MapBytes(FileOf(1)));
    EXPECT_EQ(UpdateMemToFile(nullptr, 2), -1);
    // A handler without a mapping is passed over.
    StoreHandler partial[2] = {{-1, nullptr}, RecordStore.SensorArr[1]};
    EXPECT_EQ(UpdateMemToFile(partial, 2), 0);
    EXPECT_EQ(UpdateMemToFile(RecordStore.SensorArr, 0), 0);
    for (const auto &m : g_fake.Messages) EXPECT_NE(m.Kind, 'D') << m.Text;
}

}  // namespace
}  // namespace storetest
