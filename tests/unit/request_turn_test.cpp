// The store and request thread's turn at exact times: requests and responses
// on FIFOs of the test's own, a store on a card in a temporary directory,
// and the time handed to each turn by the test.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

// 2026-12-04 00:00:00 UTC, the next midnight, and 10:00 of the first day.
constexpr int32_t kDay = 1796342400;
constexpr int32_t kNextDay = kDay + 86400;
constexpr int32_t kTen = kDay + 10 * 3600;

constexpr size_t kRequestSize = 131;
constexpr size_t kListItemSize = 23;
constexpr size_t kDataSize = 10682;
constexpr size_t kSlotSize = 37;
constexpr size_t kSlotsAt = 26;

time_t g_initclock = 0;
time_t InitClock(time_t *out) {
    if (out != nullptr) *out = g_initclock;
    return g_initclock;
}
void NoPause(unsigned) {}

// Little-endian fields of a response, read at their byte offsets.
uint16_t U16(const std::vector<uint8_t> &b, size_t at) { return (uint16_t)(b.at(at) | b.at(at + 1) << 8); }
uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t)b.at(at) | (uint32_t)b.at(at + 1) << 8 | (uint32_t)b.at(at + 2) << 16 |
           (uint32_t)b.at(at + 3) << 24;
}
double F64(const std::vector<uint8_t> &b, size_t at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | b.at(at + (size_t)i);
    double v;
    memcpy(&v, &bits, sizeof v);
    return v;
}

// The bytes a requester writes: kind, NUL-padded date text, sensor number.
std::vector<uint8_t> RequestBytes(uint8_t kind, const char *date = "", uint16_t num = 0) {
    std::vector<uint8_t> b(kRequestSize, 0);
    b[0] = kind;
    memcpy(&b[1], date, strlen(date));
    b[129] = (uint8_t)(num & 0xFF);
    b[130] = (uint8_t)(num >> 8);
    return b;
}

std::string DateText(int32_t t) {
    time_t tt = t;
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

class RequestTurnTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        saved_hdr_ = g_localdatahdr;
        saved_clock_ = g_clock;
        saved_pause_ = g_sleepms;
        g_clock = InitClock;
        g_sleepms = NoPause;
        snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", card_.path().c_str());
        g_tffreesize = 1ull << 30;

        AddEntry(1, "CPU0_Temp", 0);
        AddEntry(2, "Outlet_Temperature_", 1);
        AddEntry(CPU_UTIL_NUM, CPU_UTIL_NAME, UTIL_SENSOR_CLASS);
        g_localdatahdr = LocalDataHdr{};
        g_localdatahdr.SensorData = entries_.data();
        g_localdatahdr.SensorCount = (uint32_t)entries_.size();
        g_localdatahdr.ListReady = 1;

        std::string request = fifos_.path() + "/request", response = fifos_.path() + "/response";
        ASSERT_EQ(mkfifo(request.c_str(), 0600), 0);
        ASSERT_EQ(mkfifo(response.c_str(), 0600), 0);
        RecordStore.RequestFifoFd = open(request.c_str(), O_RDWR | O_NONBLOCK);
        RecordStore.ResponseFifoFd = open(response.c_str(), O_RDWR | O_NONBLOCK);
        requester_ = open(request.c_str(), O_RDWR | O_NONBLOCK);
        reader_ = open(response.c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(RecordStore.RequestFifoFd, 0);
        ASSERT_GE(RecordStore.ResponseFifoFd, 0);
        ASSERT_GE(requester_, 0);
        ASSERT_GE(reader_, 0);
    }

    void TearDown() override {
        // Released by hand: CleanUp would also remove the daemon's FIFO
        // paths, which other tests on this machine may be using.
        if (RecordStore.SensorArr != nullptr) {
            UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
            free(RecordStore.SensorArr);
            RecordStore.SensorArr = nullptr;
        }
        if (RecordStore.RecordTimeMap != nullptr) {
            munmap(RecordStore.RecordTimeMap, RECORD_TIME_SIZE);
            RecordStore.RecordTimeMap = nullptr;
        }
        for (int *fd : {&RecordStore.RequestFifoFd, &RecordStore.ResponseFifoFd, &requester_, &reader_}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
        RecordStore.RecordCount = 0;
        g_localdatahdr = saved_hdr_;
        g_clock = saved_clock_;
        g_sleepms = saved_pause_;
    }

    void AddEntry(uint16_t num, const char *name, uint8_t cls) {
        LocalSensorData e = {};
        e.InUse = 1;
        snprintf(e.SensorName, sizeof e.SensorName, "%s", name);
        e.SensorNum = num;
        e.SensorClass = cls;
        entries_.push_back(e);
    }

    // Initialises the store at now and runs the thread's first turn there.
    void StartStore(int32_t now) {
        g_initclock = now;
        ASSERT_EQ(InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr), 0);
        StoreLoopTurn(now, 0);
        ASSERT_EQ((int32_t)RecordStore.RecordTimeMap->RecordDay, (int32_t)DayStartTime(now));
    }

    void Send(const std::vector<uint8_t> &bytes) { Send(bytes.data(), bytes.size()); }
    void Send(const void *bytes, size_t n) { ASSERT_EQ(write(requester_, bytes, n), (ssize_t)n); }

    // Everything the daemon has written to the response FIFO so far.
    std::vector<uint8_t> Responses() {
        std::vector<uint8_t> all;
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(reader_, buf, sizeof buf)) > 0) all.insert(all.end(), buf, buf + n);
        return all;
    }

    int Pending(int fd) {
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        return n;
    }

    DayBlock *Block(uint32_t i, int32_t day) {
        for (DayBlock &b : RecordStore.SensorArr[i].Map->Days) {
            if (b.DayKey == day) return &b;
        }
        return nullptr;
    }

    // Writes a recorded slot of file i whose figures all derive from v.
    void Record(uint32_t i, int32_t day, int s, double v) {
        SampleSlot &slot = Block(i, day)->Slots[s];
        slot.Recorded = 1;
        slot.Reading = v;
        slot.MaxReading = v + 1;
        slot.MinReading = v - 1;
        slot.AvgReading = v + 0.5;
    }

    std::vector<uint8_t> SlotBytes(const SampleSlot &slot) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(&slot);
        return std::vector<uint8_t>(p, p + sizeof slot);
    }

    TempDir card_;
    TempDir fifos_;
    ScopedTimeZone tz_{"UTC0"};
    std::vector<LocalSensorData> entries_;
    int requester_ = -1;
    int reader_ = -1;

private:
    LocalDataHdr saved_hdr_ = {};
    ClockFn saved_clock_ = nullptr;
    SleepFn saved_pause_ = nullptr;
};

TEST_F(RequestTurnTest, CountAndListResponsesByteForByte) {
    StartStore(kTen);
    Send(RequestBytes(SENSOR_COUNT_REQ));
    StoreLoopTurn(kTen + 1, 0);
    EXPECT_EQ(Responses(), (std::vector<uint8_t>{3, 0, 0, 0}));

    Send(RequestBytes(SENSOR_LIST_REQ));
    StoreLoopTurn(kTen + 2, 0);
    std::vector<uint8_t> list = Responses();
    ASSERT_EQ(list.size(), 3 * kListItemSize);
    struct Want {
        uint16_t Num;
        const char *Name;  // 16 bytes shown, then zeros up to 20
        uint8_t Class;
    } want[] = {{1, "CPU0_Temp", 0}, {2, "Outlet_Temperatu", 1}, {0xFFFF, "CPU_Utilization", 3}};
    for (size_t i = 0; i < 3; ++i) {
        size_t at = i * kListItemSize;
        EXPECT_EQ(U16(list, at), want[i].Num) << i;
        std::vector<uint8_t> name(20, 0);
        memcpy(name.data(), want[i].Name, strlen(want[i].Name));
        EXPECT_EQ(std::vector<uint8_t>(list.begin() + at + 2, list.begin() + at + 22), name) << i;
        EXPECT_EQ(list[at + 22], want[i].Class) << i;
    }
}

TEST_F(RequestTurnTest, NothingIsAnsweredForOtherKindsOrWhileTheListIsNotReady) {
    StartStore(kTen);
    for (uint8_t kind : {0, 3, 5, 255}) {
        Send(RequestBytes(kind, "2026-12-04T10:00:00", 1));
        StoreLoopTurn(kTen + kind, 0);
        EXPECT_TRUE(Responses().empty()) << (int)kind;
    }
    EXPECT_EQ(Pending(requester_), 0);

    g_localdatahdr.ListReady = 0;
    Send(RequestBytes(SENSOR_COUNT_REQ));
    StoreLoopTurn(kTen + 10, 0);
    Send(RequestBytes(SENSOR_LIST_REQ));
    StoreLoopTurn(kTen + 11, 0);
    EXPECT_TRUE(Responses().empty());
    EXPECT_EQ(Pending(requester_), 0);
}

TEST_F(RequestTurnTest, DataResponseCarriesEachFieldAtItsOffset) {
    StartStore(kTen);
    Record(0, kDay, 5, 40.0);
    DayBlock *b = Block(0, kDay);
    b->DayMax = 99.25;
    b->DayMaxTime = kDay + 1500;
    b->DayMin = -3.5;
    b->DayMinTime = kDay + 1560;
    Send(RequestBytes(SENSOR_DATA_REQ, "2026-12-04T08:00:00", 1));
    StoreLoopTurn(kTen + 120, 0);
    std::vector<uint8_t> r = Responses();
    ASSERT_EQ(r.size(), kDataSize);
    EXPECT_EQ(U16(r, 0), 1);
    EXPECT_EQ(F64(r, 2), 99.25);
    EXPECT_EQ(F64(r, 10), -3.5);
    EXPECT_EQ(U32(r, 18), (uint32_t)kDay + 1500);
    EXPECT_EQ(U32(r, 22), (uint32_t)kDay + 1560);
    size_t slot = kSlotsAt + 5 * kSlotSize;
    EXPECT_EQ(r[slot], 1);
    EXPECT_EQ(U32(r, slot + 1), (uint32_t)kDay + 1500);
    EXPECT_EQ(F64(r, slot + 5), 40.0);
    EXPECT_EQ(F64(r, slot + 13), 41.0);
    EXPECT_EQ(F64(r, slot + 21), 39.0);
    EXPECT_EQ(F64(r, slot + 29), 40.5);
    // An unrecorded slot of the window: no sample, but its own start.
    size_t empty = kSlotsAt + 4 * kSlotSize;
    EXPECT_EQ(r[empty], 0);
    EXPECT_EQ(U32(r, empty + 1), (uint32_t)kDay + 1200);
}

TEST_F(RequestTurnTest, TodayAt1002ReportsTheSlotsBefore1000) {
    StartStore(kTen - 600);
    for (int s : {118, 119, 120}) Record(0, kDay, s, 10.0 * s);
    std::vector<uint8_t> request = RequestBytes(SENSOR_DATA_REQ, "2026-12-04T10:02:00", 1);

    Send(request);
    StoreLoopTurn(kTen + 120, 0);
    std::vector<uint8_t> r = Responses();
    ASSERT_EQ(r.size(), kDataSize);
    const DayBlock *b = Block(0, kDay);
    for (int s = 0; s < 120; ++s) {
        std::vector<uint8_t> got(r.begin() + kSlotsAt + s * kSlotSize, r.begin() + kSlotsAt + (s + 1) * kSlotSize);
        ASSERT_EQ(got, SlotBytes(b->Slots[s])) << "slot " << s;
    }
    for (size_t at = kSlotsAt + 120 * kSlotSize; at < kDataSize; ++at) ASSERT_EQ(r[at], 0) << "byte " << at;

    // The slot of 10:00 is first reported by a request at 10:05.
    Send(request);
    StoreLoopTurn(kTen + 299, 0);
    EXPECT_EQ(Responses().at(kSlotsAt + 120 * kSlotSize), 0);
    Send(request);
    StoreLoopTurn(kTen + 300, 0);
    r = Responses();
    ASSERT_EQ(r.size(), kDataSize);
    EXPECT_EQ(r[kSlotsAt + 120 * kSlotSize], 1);
    EXPECT_EQ(F64(r, kSlotsAt + 120 * kSlotSize + 5), 1200.0);
}

TEST_F(RequestTurnTest, TheNewDayIsAnsweredOnlyFromTheSecondTurnAfterMidnight) {
    StartStore(kNextDay - 30);
    std::vector<uint8_t> today = RequestBytes(SENSOR_DATA_REQ, DateText(kNextDay).c_str(), 2);

    // The first turn of the new day reads the request before it switches
    // the day: the day is not held yet.
    Send(today);
    StoreLoopTurn(kNextDay, 0);
    EXPECT_TRUE(Responses().empty());
    EXPECT_EQ(Pending(requester_), 0);
    EXPECT_EQ((int32_t)RecordStore.RecordTimeMap->RecordDay, kNextDay);
    EXPECT_EQ(g_fake.Count("Request datatime invalied"), 1);

    Send(today);
    StoreLoopTurn(kNextDay + 1, 0);
    std::vector<uint8_t> r = Responses();
    ASSERT_EQ(r.size(), kDataSize);
    EXPECT_EQ(U16(r, 0), 2);

    // Yesterday, asked at midnight exactly, is the whole day.
    Send(RequestBytes(SENSOR_DATA_REQ, DateText(kDay).c_str(), 2));
    StoreLoopTurn(kNextDay, 0);
    r = Responses();
    ASSERT_EQ(r.size(), kDataSize);
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        ASSERT_EQ(U32(r, kSlotsAt + s * kSlotSize + 1), (uint32_t)(kDay + 300 * s)) << "slot " << s;
    }
}

TEST_F(RequestTurnTest, OneRequestIsAnsweredPerTurnInTheOrderWritten) {
    StartStore(kTen);
    std::vector<uint8_t> both = RequestBytes(SENSOR_LIST_REQ);
    std::vector<uint8_t> count = RequestBytes(SENSOR_COUNT_REQ);
    both.insert(both.end(), count.begin(), count.end());
    Send(both);
    StoreLoopTurn(kTen + 1, 0);
    EXPECT_EQ(Responses().size(), 3 * kListItemSize);
    EXPECT_EQ(Pending(requester_), (int)kRequestSize);
    StoreLoopTurn(kTen + 2, 0);
    EXPECT_EQ(Responses(), (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST_F(RequestTurnTest, AResponseNobodyReadsIsDroppedAndLogged) {
    StartStore(kTen);
    std::vector<uint8_t> fill(4096, 0xAA);
    size_t filled = 0;
    ssize_t n;
    while ((n = write(reader_, fill.data(), fill.size())) > 0) filled += (size_t)n;
    while ((n = write(reader_, fill.data(), 1)) > 0) filled += (size_t)n;

    Send(RequestBytes(SENSOR_LIST_REQ));
    StoreLoopTurn(kTen + 300, 0);  // returns: the write is bounded
    EXPECT_EQ(g_fake.Count("Write Sensor list to pipe:/var/tmp/pipe_cups_to_restful failed,write len = 0"), 1);
    // The turn went on to record the boundary.
    EXPECT_EQ(RecordStore.RecordTimeMap->RecordSlot, (uint32_t)kTen + 300);
    // Nothing of the dropped response is left behind the filling.
    EXPECT_EQ(Responses().size(), filled);
    Send(RequestBytes(SENSOR_COUNT_REQ));
    StoreLoopTurn(kTen + 301, 0);
    EXPECT_EQ(Responses(), (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST_F(RequestTurnTest, ARecordWrittenInTwoPiecesIsGathered) {
    std::vector<uint8_t> req = RequestBytes(SENSOR_DATA_REQ, "2026-12-04T17:42:10", 0x1234);
    Send(req.data(), 100);
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Send(req.data() + 100, 31);
    });
    PipeRequest got;
    int rc = ReadPipeRequest(&got);
    rest.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(got.RequestType, SENSOR_DATA_REQ);
    EXPECT_STREQ(got.DateTime, "2026-12-04T17:42:10");
    EXPECT_EQ(uint16_t(got.SensorNum), 0x1234);
    EXPECT_EQ(Pending(requester_), 0);
}

TEST_F(RequestTurnTest, ALoneHalfRecordIsDroppedAndTheNextIsReadWhole) {
    std::vector<uint8_t> half = RequestBytes(SENSOR_COUNT_REQ);
    Send(half.data(), 60);
    PipeRequest got;
    EXPECT_EQ(ReadPipeRequest(&got), -1);
    EXPECT_EQ(Pending(requester_), 0);

    Send(RequestBytes(SENSOR_DATA_REQ, "2026-12-04T00:00:00", 7));
    ASSERT_EQ(ReadPipeRequest(&got), 0);
    EXPECT_EQ(got.RequestType, SENSOR_DATA_REQ);
    EXPECT_STREQ(got.DateTime, "2026-12-04T00:00:00");
    EXPECT_EQ(uint16_t(got.SensorNum), 7);
}

TEST_F(RequestTurnTest, ATurnWithAHalfRecordStillRecordsTheBoundary) {
    StartStore(kTen);
    entries_[0].Valid = 1;
    entries_[0].Reading = entries_[0].MaxReading = entries_[0].MinReading = entries_[0].AvgReading = 21.0;
    g_localdatahdr.DataReady = 1;
    std::vector<uint8_t> half = RequestBytes(SENSOR_COUNT_REQ);
    Send(half.data(), 60);
    StoreLoopTurn(kTen + 300, 0);
    EXPECT_TRUE(Responses().empty());
    EXPECT_EQ(RecordStore.RecordTimeMap->RecordSlot, (uint32_t)kTen + 300);
    EXPECT_EQ(Block(0, kDay)->Slots[121].Recorded, 1);
    double reading = Block(0, kDay)->Slots[121].Reading;  // a copy: never bind a packed field
    EXPECT_EQ(reading, 21.0);

    Send(RequestBytes(SENSOR_COUNT_REQ));
    StoreLoopTurn(kTen + 301, 0);
    EXPECT_EQ(Responses(), (std::vector<uint8_t>{3, 0, 0, 0}));
}

}  // namespace

namespace {

// Regression: a clock past 2038 (or one that cannot be read) once switched
// every file to a day before all others and emptied the whole card.
TEST_F(RequestTurnTest, AClockOutOfRangeKeepsTheHistoryAndStillAnswers) {
    StartStore(kTen);
    Record(0, kDay, 100, 5.0);
    std::vector<uint8_t> before(reinterpret_cast<uint8_t *>(RecordStore.SensorArr[0].Map),
                                reinterpret_cast<uint8_t *>(RecordStore.SensorArr[0].Map) + SENSOR_FILE_SIZE);
    RecordTimeFile times = *RecordStore.RecordTimeMap;
    g_localdatahdr.DataReady = 1;
    Send(RequestBytes(SENSOR_COUNT_REQ));
    StoreLoopTurn(-1, 0);
    StoreLoopTurn(INT32_MIN + 5, 0);
    EXPECT_EQ(Responses(), (std::vector<uint8_t>{3, 0, 0, 0}));
    std::vector<uint8_t> after(reinterpret_cast<uint8_t *>(RecordStore.SensorArr[0].Map),
                               reinterpret_cast<uint8_t *>(RecordStore.SensorArr[0].Map) + SENSOR_FILE_SIZE);
    EXPECT_EQ(before, after);
    EXPECT_EQ(RecordStore.RecordTimeMap->RecordDay, times.RecordDay);
    EXPECT_EQ(RecordStore.RecordTimeMap->RecordSlot, times.RecordSlot);
    EXPECT_EQ(g_fake.Count("Clock out of range"), 1);
}

}  // namespace
