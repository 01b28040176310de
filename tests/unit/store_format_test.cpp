// The byte layout of the store's files: what the packed records put where,
// checked against the absolute positions that readers of the card use.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "StoreData.h"
#include "store_test_support.h"

namespace storetest {
namespace {

// A 74818-byte buffer written only through the packed records, read back
// only through byte positions and little-endian decoding.
TEST(StoreFormat, RecordsLandAtTheAbsolutePositionsOfTheFile) {
    std::vector<uint8_t> buf(kFileSize, 0);
    SensorDataFile *file = reinterpret_cast<SensorDataFile *>(buf.data());
    file->Header.SensorNum = 0xFFFE;
    memcpy(file->Header.SensorName, "MEM_Utilization", 16);
    file->Header.SensorClass = 3;
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        DayBlock &b = file->Days[d];
        b.DayKey = -1000 - d;  // negative: the sign bit must land in the top byte
        b.StatsValid = (uint8_t)(0xA0 + d);
        b.DayMax = 1000.5 + d;
        b.DayMin = -0.25 - d;
        b.DayMaxTime = 0xA1B2C3D0u + (uint32_t)d;
        b.DayMinTime = 0x01020300u + (uint32_t)d;
        for (int s : {0, 1, 143, 287}) {
            SampleSlot &slot = b.Slots[s];
            slot.Recorded = (uint8_t)(d + 1);
            slot.SlotTime = 0x80000000u + (uint32_t)(d * 1000 + s);
            slot.Reading = d * 1000 + s + 0.5;
            slot.MaxReading = d * 1000 + s + 0.75;
            slot.MinReading = -(d * 1000 + s + 0.125);
            slot.AvgReading = d * 1000 + s + 0.375;
        }
    }

    const uint8_t *p = buf.data();
    EXPECT_EQ(p[0], 0xFE);
    EXPECT_EQ(p[1], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 2)), "MEM_Utilization");
    EXPECT_EQ(p[22], 3);
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        const uint8_t *b = p + 23 + 10685 * d;
        EXPECT_EQ(GetI32(b), -1000 - d) << d;
        EXPECT_EQ(b[3], 0xFF) << d;
        EXPECT_EQ(b[4], 0xA0 + d) << d;
        EXPECT_EQ(GetDouble(b + 5), 1000.5 + d) << d;
        EXPECT_EQ(GetDouble(b + 13), -0.25 - d) << d;
        EXPECT_EQ(GetU32(b + 21), 0xA1B2C3D0u + (uint32_t)d) << d;
        EXPECT_EQ(b[21], 0xD0 + d) << d;
        EXPECT_EQ(GetU32(b + 25), 0x01020300u + (uint32_t)d) << d;
        for (int s : {0, 1, 143, 287}) {
            const uint8_t *slot = p + 52 + 10685 * d + 37 * s;
            EXPECT_EQ(slot[0], d + 1) << d << "/" << s;
            EXPECT_EQ(GetU32(p + 53 + 10685 * d + 37 * s), 0x80000000u + (uint32_t)(d * 1000 + s)) << d << "/" << s;
            EXPECT_EQ(slot[4], 0x80) << d << "/" << s;
            EXPECT_EQ(GetDouble(slot + 5), d * 1000 + s + 0.5) << d << "/" << s;
            EXPECT_EQ(GetDouble(slot + 13), d * 1000 + s + 0.75) << d << "/" << s;
            EXPECT_EQ(GetDouble(slot + 21), -(d * 1000 + s + 0.125)) << d << "/" << s;
            EXPECT_EQ(GetDouble(slot + 29), d * 1000 + s + 0.375) << d << "/" << s;
        }
        // The neighbours of the written slots were left alone.
        EXPECT_TRUE(AllZero(p + 52 + 10685 * d + 37 * 2, 37)) << d;
        EXPECT_TRUE(AllZero(p + 52 + 10685 * d + 37 * 142, 37)) << d;
    }
    // The last slot of the last block ends the file.
    EXPECT_EQ(52 + 10685 * 6 + 37 * 287 + 37, (int)kFileSize);
    EXPECT_EQ(GetDouble(p + kFileSize - 8), 6 * 1000 + 287 + 0.375);
}

// Record time file: RecordDay then RecordSlot, little-endian.
TEST(StoreFormat, RecordTimeFileIsTheDayThenTheSlot) {
    std::vector<uint8_t> buf(8, 0);
    RecordTimeFile *rt = reinterpret_cast<RecordTimeFile *>(buf.data());
    rt->RecordDay = 0x6B120280u;
    rt->RecordSlot = 0x6B12904Cu;
    EXPECT_EQ(buf, (std::vector<uint8_t>{0x80, 0x02, 0x12, 0x6B, 0x4C, 0x90, 0x12, 0x6B}));
}

// Slot 121 (10:05) of 4 December 2026 (UTC), as the recorder writes it for
// a sensor whose latest reading was 21.5, greatest 23.25, least -1 and
// average 22.125; it lies in block 0 at absolute offset 52 + 37 * 121 = 4529:
//
//   4529  01                        Recorded    1
//   4530  4c 90 12 6b               SlotTime    0x6b12904c = 1796378700
//                                               = 1796342400 (day key) + 121 * 300
//   4534  00 00 00 00 00 80 35 40   Reading     21.5
//   4542  00 00 00 00 00 40 37 40   MaxReading  23.25
//   4550  00 00 00 00 00 00 f0 bf   MinReading  -1.0
//   4558  00 00 00 00 00 20 36 40   AvgReading  22.125
const std::vector<uint8_t> kGoldenSlot = {
    0x01, 0x4c, 0x90, 0x12, 0x6b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x35, 0x40,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x37, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xf0, 0xbf, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x36, 0x40,
};

using StoreFormatFileTest = StoreTest;

TEST_F(StoreFormatFileTest, RecordedSlotOnTheCardMatchesTheGoldenBytes) {
    const time_t day = 1796342400;  // 2026-12-04T00:00:00Z
    TestList list({{"Inlet_Temp", 12, 1}});
    ASSERT_EQ(InitStore(list, day + 10 * 3600 + 7 * 60), 0);
    list.SetFigures(0, 21.5, 23.25, -1.0, 22.125, (uint32_t)day + 36400, (uint32_t)day + 36500);
    RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, (uint32_t)day + 36300, (uint32_t)day);
    ASSERT_EQ(UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount), 0);

    std::vector<uint8_t> bytes = ReadBytes(SensorPath("Inlet_Temp"));
    ASSERT_EQ(bytes.size(), kFileSize);
    ASSERT_EQ(SlotOffset(0, 121), 4529u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4529, bytes.begin() + 4529 + 37), kGoldenSlot);
}

}  // namespace
}  // namespace storetest
