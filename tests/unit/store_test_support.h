// Helpers of the history store tests: a fixture with a card in a temporary
// directory and an exact clock, a sensor data list owned by the test, byte
// access to the store's files at their absolute positions, mapped files
// made by the test itself, and unpacked copies of the packed records.
#ifndef TRENDKEEP_TESTS_STORE_TEST_SUPPORT_H
#define TRENDKEEP_TESTS_STORE_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "test_support.h"

namespace storetest {

// Absolute positions in a sensor data file.
constexpr size_t kFileSize = 74818;
constexpr size_t kBlockSize = 10685;
constexpr size_t kSlotSize = 37;
constexpr size_t kHeaderSize = 23;
inline size_t BlockOffset(int d) { return kHeaderSize + kBlockSize * (size_t)d; }
inline size_t SlotOffset(int d, int s) { return 52 + kBlockSize * (size_t)d + kSlotSize * (size_t)s; }
inline size_t SlotTimeOffset(int d, int s) { return SlotOffset(d, s) + 1; }

// The time the store's clock answers.
extern time_t g_now;
time_t FakeClock(time_t *out);

// Little-endian reads and writes of raw bytes.
uint16_t GetU16(const uint8_t *p);
uint32_t GetU32(const uint8_t *p);
inline int32_t GetI32(const uint8_t *p) { return (int32_t)GetU32(p); }
double GetDouble(const uint8_t *p);
void PutU16(uint8_t *p, uint16_t v);
void PutU32(uint8_t *p, uint32_t v);
void PutDouble(uint8_t *p, double v);

// Whole files, read and written with plain file input and output.
std::vector<uint8_t> ReadBytes(const std::string &path);
void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes);
// Overwrites bytes of a file at offset, leaving the rest as it is.
void PatchBytes(const std::string &path, size_t offset, const std::vector<uint8_t> &bytes);
long FileSizeOf(const std::string &path);  // -1 when it does not exist
bool IsDirectory(const std::string &path);
std::vector<std::string> DirectoryNames(const std::string &dir);  // sorted, without . and ..
// The bytes of a mapping, as a vector.
std::vector<uint8_t> MapBytes(const void *map, size_t size = kFileSize);
bool AllZero(const uint8_t *p, size_t n);

// True when text is pattern, where each '#' of the pattern stands for one
// or more decimal digits (the line numbers in a message's prefix).
bool MatchesPattern(const std::string &text, const std::string &pattern);

// A sensor data list that the test owns.  Entries start in use, not valid
// and with zero figures.
struct SensorSpec {
    std::string Name;
    uint16_t Num;
    uint8_t Class;
};
class TestList {
public:
    explicit TestList(const std::vector<SensorSpec> &rules);
    TestList(const TestList &) = delete;
    TestList &operator=(const TestList &) = delete;
    LocalDataHdr *hdr() { return &hdr_; }
    LocalSensorData &at(size_t i) { return entries_[i]; }
    size_t size() const { return entries_.size(); }
    // Sets an entry's figures as the refreshes would leave them, marks it
    // valid and the list refreshed.
    void SetFigures(size_t i, double reading, double max, double min, double avg, uint32_t max_time,
                    uint32_t min_time);

private:
    std::vector<LocalSensorData> entries_;
    LocalDataHdr hdr_;
};

// Unpacked copies of the packed records.
struct Slot {
    unsigned Recorded;
    uint32_t SlotTime;
    double Reading, Max, Min, Avg;
};
struct DayHead {
    int32_t DayKey;
    unsigned StatsValid;
    double DayMax, DayMin;
    uint32_t DayMaxTime, DayMinTime;
};
Slot SlotOf(const SensorDataFile *file, int d, int s);
DayHead HeadOf(const SensorDataFile *file, int d);
std::string HeaderName(const SensorDataFile *file);  // up to the NUL

// Writes a slot's contents (not its SlotTime) and a block's head through
// the packed records.
void FillSlot(SensorDataFile *file, int d, int s, double reading, double max, double min, double avg);
void SetExtremes(SensorDataFile *file, int d, unsigned stats_valid, double max, uint32_t max_time, double min,
                 uint32_t min_time);
// Keys block d to day_key with its slots stamped, as a prepared block.
void KeyBlock(SensorDataFile *file, int d, int32_t day_key);

// A 74818-byte sensor data file that the test creates, all zero, and maps
// as the store does.
class MappedFile {
public:
    MappedFile(const std::string &path, uint16_t num, const char *name);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    SensorDataFile *map() const { return map_; }

private:
    SensorDataFile *map_ = nullptr;
};

// Releases whatever the store holds (mappings, array, record time
// mapping, descriptor) without touching the FIFO paths, and clears
// RecordCount.
void ReleaseStore();

// A card in a temporary directory with plenty of room, the store's clock
// at g_now, its pauses free, and the zone UTC.  The store is released
// after each test.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Initialises the store for list at the fake time now.
    int InitStore(TestList &list, time_t now);
    SensorDataFile *FileOf(uint32_t i) const { return RecordStore.SensorArr[i].Map; }

    std::string RecordDir() const { return dir_.path() + "/DataRecord/SensorHistory"; }
    std::string TimeDir() const { return RecordDir() + "/DataTime"; }
    std::string TimeFile() const { return TimeDir() + "/RecordTime"; }
    std::string SensorPath(const std::string &file_name) const { return RecordDir() + "/" + file_name; }

    TempDir dir_;
    ScopedTimeZone tz_{"UTC0"};

private:
    ClockFn saved_clock_ = nullptr;
    SleepFn saved_sleep_ = nullptr;
};

}  // namespace storetest

#endif
