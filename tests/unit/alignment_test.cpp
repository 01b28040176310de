// The packed records at every address modulo 8.
//
// On the BMC's 32-bit ARM a double loaded or stored through a pointer to an
// unaligned address faults (VLDR, VSTR, LDRD and LDM need alignment), and
// the card's records put their doubles at odd offsets.  Each test here
// places the records at each of the eight addresses modulo 8 in a byte
// buffer and drives the store and sensor list functions on them, checking
// the values through raw little-endian bytes at the records' absolute
// offsets.  A double touched through a pointer instead of as a member of
// the packed record faults here under qemu-arm, and is reported by
// UndefinedBehaviorSanitizer's alignment check on x86-64.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

// The value of a packed field.  gtest's assertions take their operands by
// reference, and a reference bound to a packed field is an unaligned
// pointer that the compiler lets through without a word (a double read
// through it faults on ARM): hand them copies.
template <typename T>
T Val(T v) {
    return v;
}

// Raw little-endian reads and writes, independent of the records.
uint16_t RawU16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t RawU32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
int32_t RawI32(const uint8_t *p) { return (int32_t)RawU32(p); }
double RawDouble(const uint8_t *p) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    double v;
    memcpy(&v, &bits, sizeof v);
    return v;
}
void PutRawU16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

// A zeroed buffer whose usable part starts at a chosen address modulo 8.
class OffsetBuffer {
public:
    OffsetBuffer(size_t size, unsigned mod8) : raw_(static_cast<uint8_t *>(calloc(size + 16, 1))) {
        uintptr_t at = reinterpret_cast<uintptr_t>(raw_);
        bytes_ = raw_ + ((mod8 + 8 - at % 8) % 8);
    }
    ~OffsetBuffer() { free(raw_); }
    OffsetBuffer(const OffsetBuffer &) = delete;
    OffsetBuffer &operator=(const OffsetBuffer &) = delete;

    uint8_t *bytes() const { return bytes_; }
    template <typename T>
    T *as() const {
        return reinterpret_cast<T *>(bytes_);
    }

private:
    uint8_t *raw_;
    uint8_t *bytes_;
};

// Absolute offsets in the card's and the pipe's records.
constexpr size_t kBlockBase = 23;
constexpr size_t kBlockSize = 10685;
constexpr size_t kSlotSize = 37;
size_t BlockAt(int d) { return kBlockBase + kBlockSize * (size_t)d; }
size_t FileSlotAt(int d, int s) { return BlockAt(d) + 29 + kSlotSize * (size_t)s; }
constexpr size_t kQuerySlots = 34;
constexpr size_t kResponseSlots = 26;

struct Figures {
    uint8_t Recorded;
    uint32_t SlotTime;
    double Reading, Max, Min, Avg;
};
Figures SlotBytes(const uint8_t *slot) {
    return {slot[0], RawU32(slot + 1), RawDouble(slot + 5), RawDouble(slot + 13), RawDouble(slot + 21),
            RawDouble(slot + 29)};
}

// The index of the day block of a file that holds day_key, or -1.
int BlockOfDay(const uint8_t *file, int32_t day_key) {
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        if (RawI32(file + BlockAt(d)) == day_key) return d;
    }
    return -1;
}

time_t FixedNow;
time_t FixedClock(time_t *out) {
    if (out != nullptr) *out = FixedNow;
    return FixedNow;
}
void NoSleep(unsigned) {}

// Every test of this file runs once for each address modulo 8.  The store
// and list globals the functions use are saved and given back; the zone
// is UTC.
class PackedAlignment : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        ResetFakePlatform();
        saved_store_ = RecordStore;
        saved_hdr_ = g_localdatahdr;
        saved_count_ = g_sensorcount;
        saved_clock_ = g_clock;
        saved_sleep_ = g_sleepms;
        g_clock = FixedClock;
        g_sleepms = NoSleep;
        day_ = LocalTime(2026, 12, 4);
        FixedNow = day_ + 10 * 3600;
    }
    void TearDown() override {
        for (int fd : fds_) close(fd);
        RecordStore = saved_store_;
        g_localdatahdr = saved_hdr_;
        g_sensorcount = saved_count_;
        g_clock = saved_clock_;
        g_sleepms = saved_sleep_;
        ResetFakePlatform();
    }

    unsigned Mod8() const { return GetParam(); }

    // A pipe whose ends do not block; closed at the end of the test.
    void Pipe(int *read_end, int *write_end) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        for (int fd : p) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fds_.push_back(fd);
        }
        *read_end = p[0];
        *write_end = p[1];
    }

    // Two IPMI sensors and the three utilisation entries, as the list
    // builder lays them out, in the caller's buffer (65-byte entries: their
    // doubles fall on every residue), and the fake controller behind them.
    void BuildEntries(OffsetBuffer &entries) {
        LocalSensorData *e = entries.as<LocalSensorData>();
        const struct {
            const char *Name;
            uint16_t Num;
            uint8_t Class;
        } sensors[] = {{"CPU0_Temp", 7, 0}, {"FAN1", 9, 1}, {CPU_UTIL_NAME, CPU_UTIL_NUM, UTIL_SENSOR_CLASS},
                     {MEM_UTIL_NAME, MEM_UTIL_NUM, UTIL_SENSOR_CLASS}, {IO_UTIL_NAME, IO_UTIL_NUM, UTIL_SENSOR_CLASS}};
        for (size_t i = 0; i < kEntries; ++i) {
            e[i].InUse = 1;
            snprintf(e[i].SensorName, sizeof e[i].SensorName, "%s", sensors[i].Name);
            e[i].SensorNum = sensors[i].Num;
            e[i].SensorClass = sensors[i].Class;
        }
        g_sensorcount = 2;
        g_fake.Sensors = {FakeSensor{7, "CPU0_Temp", 0.0}, FakeSensor{9, "FAN1", 0.0}};
        g_fake.SensorCount = 2;
    }

    // One sampling pass at time t with the two IPMI readings and the
    // three utilisation bytes.
    static void Sample(LocalDataHdr *hdr, uint32_t t, double temp, double fan, uint8_t cpu, uint8_t mem, uint8_t io) {
        g_fake.Sensors[0].Reading = temp;
        g_fake.Sensors[1].Reading = fan;
        g_fake.Cpu = cpu;
        g_fake.Mem = mem;
        g_fake.Io = io;
        pthread_mutex_lock(&g_sensordatamutex);
        ASSERT_EQ(UpdateSensorReadingToLocalStruct(hdr, t), 0);
        UpdateCUPSToLocalStruct(hdr, t);
        pthread_mutex_unlock(&g_sensordatamutex);
    }

    // One sensor data file per entry, each at its own address modulo 8,
    // with its header written as the store writes it.
    void BuildFiles(std::vector<std::unique_ptr<OffsetBuffer>> &files, std::vector<StoreHandler> &arr,
                    const LocalSensorData *e) {
        for (size_t i = 0; i < kEntries; ++i) {
            files.push_back(std::make_unique<OffsetBuffer>(sizeof(SensorDataFile), (Mod8() + 5 * (unsigned)i) % 8));
            SensorDataFile *f = files.back()->as<SensorDataFile>();
            f->Header.SensorNum = e[i].SensorNum;
            memcpy(f->Header.SensorName, e[i].SensorName, SENSOR_NAME_SIZE);
            f->Header.SensorClass = e[i].SensorClass;
            arr.push_back(StoreHandler{-1, f});
        }
    }

    static constexpr size_t kEntries = 5;
    ScopedTimeZone tz_{"UTC0"};
    time_t day_ = 0;
    std::vector<int> fds_;

private:
    RecordStoreState saved_store_{};
    LocalDataHdr saved_hdr_{};
    uint32_t saved_count_ = 0;
    ClockFn saved_clock_ = nullptr;
    SleepFn saved_sleep_ = nullptr;
};

// Sampling, recording and the history query, each record at the address
// under test: the list header and entries, the files, the query and the
// response built from it.
TEST_P(PackedAlignment, SampleRecordAndQuery) {
    OffsetBuffer hdr_buf(sizeof(LocalDataHdr), Mod8());
    OffsetBuffer entries(kEntries * sizeof(LocalSensorData), (Mod8() + 3) % 8);
    BuildEntries(entries);
    LocalDataHdr *hdr = hdr_buf.as<LocalDataHdr>();
    hdr->SensorCount = kEntries;
    hdr->SensorData = entries.as<LocalSensorData>();
    hdr->ListReady = 1;

    std::vector<std::unique_ptr<OffsetBuffer>> files;
    std::vector<StoreHandler> arr;
    BuildFiles(files, arr, entries.as<LocalSensorData>());
    RecordStore.RecordCount = (uint32_t)kEntries;

    const int32_t day = (int32_t)day_;
    ASSERT_EQ(SwitchRecordDay(arr.data(), (uint32_t)kEntries, day, 0), 0);

    // Slot 17: three minutes of readings.
    const uint32_t t0 = (uint32_t)day + 17 * 300;
    Sample(hdr, t0, 41.25, 5400.0, 30, 60, 5);
    Sample(hdr, t0 + 60, 43.5, 5460.0, 50, 61, 0);
    Sample(hdr, t0 + 120, 40.75, 5340.0, 40, 59, 7);
    const LocalSensorData &temp = entries.as<LocalSensorData>()[0];
    EXPECT_EQ(Val(temp.Reading), 40.75);
    EXPECT_EQ(Val(temp.MaxReading), 43.5);
    EXPECT_EQ(Val(temp.MinReading), 40.75);
    EXPECT_EQ(Val(temp.AvgReading), 41.5625);
    EXPECT_EQ(Val(temp.MaxTime), t0 + 60);
    EXPECT_EQ(Val(temp.MinTime), t0 + 120);
    EXPECT_EQ(Val(hdr->DataReady), 1);
    EXPECT_EQ(Val(hdr->UpdateTime), t0 + 120);
    pthread_mutex_lock(&g_sensordatamutex);
    RecordSensorsDataToMem(hdr, arr.data(), t0, (uint32_t)day);
    pthread_mutex_unlock(&g_sensordatamutex);
    EXPECT_EQ(Val(hdr->DataReady), 0);

    // Slot 18: readings that widen the day's extremes.
    const uint32_t t1 = t0 + 300;
    Sample(hdr, t1, 39.0, 5700.0, 90, 58, 6);
    Sample(hdr, t1 + 60, 44.0, 5100.0, 10, 62, 6);
    pthread_mutex_lock(&g_sensordatamutex);
    RecordSensorsDataToMem(hdr, arr.data(), t1, (uint32_t)day);
    pthread_mutex_unlock(&g_sensordatamutex);

    // The temperature file, byte for byte at its absolute offsets.
    const uint8_t *f0 = files[0]->bytes();
    int d = BlockOfDay(f0, day);
    ASSERT_GE(d, 0);
    Figures s17 = SlotBytes(f0 + FileSlotAt(d, 17));
    EXPECT_EQ(Val(s17.Recorded), 1);
    EXPECT_EQ(Val(s17.SlotTime), t0);
    EXPECT_EQ(Val(s17.Reading), 40.75);
    EXPECT_EQ(Val(s17.Max), 43.5);
    EXPECT_EQ(Val(s17.Min), 40.75);
    EXPECT_EQ(Val(s17.Avg), 41.5625);
    Figures s18 = SlotBytes(f0 + FileSlotAt(d, 18));
    EXPECT_EQ(Val(s18.Reading), 44.0);
    EXPECT_EQ(Val(s18.Max), 44.0);
    EXPECT_EQ(Val(s18.Min), 39.0);
    EXPECT_EQ(Val(s18.Avg), 41.5);
    const uint8_t *block = f0 + BlockAt(d);
    EXPECT_EQ(block[4], 1);                       // StatsValid
    EXPECT_EQ(RawDouble(block + 5), 44.0);        // DayMax
    EXPECT_EQ(RawDouble(block + 13), 39.0);       // DayMin
    EXPECT_EQ(RawU32(block + 21), t1 + 60);       // DayMaxTime
    EXPECT_EQ(RawU32(block + 25), t1);            // DayMinTime

    // The CPU utilisation file: a zero takes part in its figures.
    const uint8_t *f2 = files[2]->bytes();
    int d2 = BlockOfDay(f2, day);
    ASSERT_GE(d2, 0);
    Figures cpu17 = SlotBytes(f2 + FileSlotAt(d2, 17));
    EXPECT_EQ(Val(cpu17.Reading), 40.0);
    EXPECT_EQ(Val(cpu17.Max), 50.0);
    EXPECT_EQ(Val(cpu17.Min), 30.0);
    EXPECT_EQ(Val(cpu17.Avg), 40.0);  // ((30 + 50) / 2 + 40) / 2
    Figures io17 = SlotBytes(files[4]->bytes() + FileSlotAt(BlockOfDay(files[4]->bytes(), day), 17));
    EXPECT_EQ(Val(io17.Min), 0.0);
    EXPECT_EQ(Val(io17.Avg), 4.75);   // ((5 + 0) / 2 + 7) / 2

    // The history query, at the address under test.
    OffsetBuffer query_buf(sizeof(SensorDataQuery), Mod8());
    SensorDataQuery *query = query_buf.as<SensorDataQuery>();
    query->SensorNum = 7;
    SetQueryWindow(query, day, day + DAY_SECONDS + 10);
    EXPECT_EQ(Val(query->EndTime), day + DAY_LAST_SECOND);
    ASSERT_EQ(SearchSensorDataFromFile(arr.data(), query, (uint32_t)kEntries), 0);
    const uint8_t *q = query_buf.bytes();
    EXPECT_EQ(RawU16(q + 8), 7);
    EXPECT_EQ(RawDouble(q + 10), 44.0);
    EXPECT_EQ(RawDouble(q + 18), 39.0);
    EXPECT_EQ(RawU32(q + 26), t1 + 60);
    EXPECT_EQ(RawU32(q + 30), t1);
    Figures q17 = SlotBytes(q + kQuerySlots + kSlotSize * 17);
    EXPECT_EQ(Val(q17.SlotTime), t0);
    EXPECT_EQ(Val(q17.Avg), 41.5625);
    EXPECT_EQ(Val(query->Slots[18].MinReading), 39.0);
    EXPECT_EQ(Val(query->Slots[17].AvgReading), 41.5625);

    // The response is the query from SensorNum on, byte for byte; read its
    // members where it lands at the address under test.
    OffsetBuffer resp_buf(sizeof(SensorDataResponse), Mod8());
    memcpy(resp_buf.bytes(), q + offsetof(SensorDataQuery, SensorNum), sizeof(SensorDataResponse));
    const SensorDataResponse *resp = resp_buf.as<SensorDataResponse>();
    EXPECT_EQ(Val(resp->SensorNum), 7);
    EXPECT_EQ(Val(resp->MaxValue), 44.0);
    EXPECT_EQ(Val(resp->MinValue), 39.0);
    EXPECT_EQ(Val(resp->MaxTime), t1 + 60);
    EXPECT_EQ(Val(resp->Slots[17].Reading), 40.75);
    EXPECT_EQ(Val(resp->Slots[18].MaxReading), 44.0);
    EXPECT_EQ(RawDouble(resp_buf.bytes() + kResponseSlots + kSlotSize * 18 + 29), 41.5);
}

// A slot copied between two addresses of every residue keeps its figures.
TEST_P(PackedAlignment, SlotCopies) {
    for (unsigned to_mod = 0; to_mod < 8; ++to_mod) {
        OffsetBuffer from(sizeof(SampleSlot), Mod8());
        OffsetBuffer to(sizeof(SampleSlot), to_mod);
        SampleSlot *a = from.as<SampleSlot>();
        a->Recorded = 1;
        a->SlotTime = 1796342700u;
        a->Reading = 1.5;
        a->MaxReading = -2.25;
        a->MinReading = 1e300;
        a->AvgReading = 0.1;
        *to.as<SampleSlot>() = *a;
        const SampleSlot *b = to.as<SampleSlot>();
        EXPECT_EQ(Val(b->SlotTime), 1796342700u);
        EXPECT_EQ(Val(b->Reading), 1.5);
        EXPECT_EQ(Val(b->MaxReading), -2.25);
        EXPECT_EQ(Val(b->MinReading), 1e300);
        EXPECT_EQ(Val(b->AvgReading), 0.1);
        EXPECT_EQ(RawDouble(to.bytes() + 29), 0.1);
    }
}

// Preparing a file's day block and a day switch that goes back, on a file
// and record time file at the address under test.
TEST_P(PackedAlignment, PrepareAndSwitchDays) {
    OffsetBuffer entries(sizeof(LocalSensorData), Mod8());
    LocalSensorData *e = entries.as<LocalSensorData>();
    e->InUse = 1;
    snprintf(e->SensorName, sizeof e->SensorName, "%s", "PSU_In_Power");
    e->SensorNum = 3;
    e->SensorClass = 2;
    OffsetBuffer hdr_buf(sizeof(LocalDataHdr), (Mod8() + 1) % 8);
    LocalDataHdr *hdr = hdr_buf.as<LocalDataHdr>();
    hdr->SensorCount = 1;
    hdr->SensorData = e;
    hdr->ListReady = 1;

    OffsetBuffer file_buf(sizeof(SensorDataFile), Mod8());
    OffsetBuffer rt_buf(sizeof(RecordTimeFile), (Mod8() + 2) % 8);
    StoreHandler handler{-1, file_buf.as<SensorDataFile>()};
    StoreHandler *arr = &handler;
    RecordTimeFile *rt = rt_buf.as<RecordTimeFile>();

    // A new file: block 0 is taken for today.
    ASSERT_EQ(PrepareRecordDayBlock(&arr, hdr, rt, 0), 0);
    const uint8_t *f = file_buf.bytes();
    EXPECT_EQ(RawU16(f), 3);
    EXPECT_STREQ(reinterpret_cast<const char *>(f + 2), "PSU_In_Power");
    EXPECT_EQ(f[22], 2);
    EXPECT_EQ(RawI32(f + BlockAt(0)), (int32_t)day_);
    EXPECT_EQ(RawU32(f + FileSlotAt(0, 287) + 1), (uint32_t)day_ + 287 * 300);

    // Seven days on, then back to the third: the later days are emptied.
    for (int k = 1; k <= 7; ++k) {
        ASSERT_EQ(SwitchRecordDay(arr, 1, (int32_t)day_ + k * DAY_SECONDS, 0), 0);
    }
    EXPECT_EQ(BlockOfDay(f, (int32_t)day_), -1);  // the oldest made room
    ASSERT_EQ(SwitchRecordDay(arr, 1, (int32_t)day_ + 3 * DAY_SECONDS, 1), 0);
    for (int k = 4; k <= 7; ++k) EXPECT_EQ(BlockOfDay(f, (int32_t)day_ + k * DAY_SECONDS), -1) << k;
    int d3 = BlockOfDay(f, (int32_t)day_ + 3 * DAY_SECONDS);
    ASSERT_GE(d3, 0);
    EXPECT_EQ(RawU32(f + FileSlotAt(d3, 1) + 1), (uint32_t)day_ + 3 * DAY_SECONDS + 300);

    // A restart on the recorded day finds its block again.
    rt->RecordDay = (uint32_t)day_ + 3 * DAY_SECONDS;
    rt->RecordSlot = rt->RecordDay + 600;
    ASSERT_EQ(PrepareRecordDayBlock(&arr, hdr, rt, 0), 0);
    EXPECT_EQ(BlockOfDay(f, (int32_t)day_ + 3 * DAY_SECONDS), d3);
    EXPECT_EQ(RawU32(rt_buf.bytes() + 4), (uint32_t)day_ + 3 * DAY_SECONDS + 600);
}

// A whole turn of the store loop: a data request arrives on the request
// FIFO (a pipe here) from a record at the address under test, the answer
// comes from files at odd addresses and is read back into a response at
// the address under test.
TEST_P(PackedAlignment, StoreLoopTurnAnswersARequest) {
    OffsetBuffer entries(kEntries * sizeof(LocalSensorData), (Mod8() + 7) % 8);
    BuildEntries(entries);
    g_localdatahdr = LocalDataHdr{};
    g_localdatahdr.SensorCount = kEntries;
    g_localdatahdr.SensorData = entries.as<LocalSensorData>();
    g_localdatahdr.ListReady = 1;

    std::vector<std::unique_ptr<OffsetBuffer>> files;
    std::vector<StoreHandler> arr;
    BuildFiles(files, arr, entries.as<LocalSensorData>());
    OffsetBuffer rt_buf(sizeof(RecordTimeFile), (Mod8() + 1) % 8);
    int req_read, req_write, resp_read, resp_write;
    Pipe(&req_read, &req_write);
    Pipe(&resp_read, &resp_write);
    RecordStore.RecordCount = (uint32_t)kEntries;
    RecordStore.SensorArr = arr.data();
    RecordStore.RecordTimeMap = rt_buf.as<RecordTimeFile>();
    RecordStore.RequestFifoFd = req_read;
    RecordStore.ResponseFifoFd = resp_write;

    // The first turn of 10:05 switches to the day and records what was
    // sampled since 10:00.
    const uint32_t t = (uint32_t)day_ + 10 * 3600;
    Sample(&g_localdatahdr, t, 20.5, 3000.0, 12, 34, 56);
    Sample(&g_localdatahdr, t + 60, 22.5, 3100.0, 14, 30, 50);
    StoreLoopTurn((int32_t)t + 300, 0);
    EXPECT_EQ(RawU32(rt_buf.bytes()), (uint32_t)day_);
    EXPECT_EQ(RawU32(rt_buf.bytes() + 4), t + 300);

    // The request, written from a record at the address under test.
    OffsetBuffer req_buf(sizeof(PipeRequest), Mod8());
    PipeRequest *req = req_buf.as<PipeRequest>();
    req->RequestType = SENSOR_DATA_REQ;
    snprintf(req->DateTime, sizeof req->DateTime, "%s", "2026-12-04T11:00:00");
    req->SensorNum = 9;
    EXPECT_EQ(RawU16(req_buf.bytes() + 129), 9);
    ASSERT_EQ(write(req_write, req_buf.bytes(), sizeof(PipeRequest)), (ssize_t)sizeof(PipeRequest));
    // At 10:10:30 the window ends at 10:10: the 10:05 slot is in it.
    StoreLoopTurn((int32_t)t + 630, 0);

    OffsetBuffer resp_buf(sizeof(SensorDataResponse), Mod8());
    ASSERT_EQ(read(resp_read, resp_buf.bytes(), sizeof(SensorDataResponse)), (ssize_t)sizeof(SensorDataResponse));
    const SensorDataResponse *resp = resp_buf.as<SensorDataResponse>();
    const int s = 10 * 12 + 1;  // 10:05
    EXPECT_EQ(Val(resp->SensorNum), 9);
    EXPECT_EQ(Val(resp->Slots[s].Recorded), 1);
    EXPECT_EQ(Val(resp->Slots[s].SlotTime), t + 300);
    EXPECT_EQ(Val(resp->Slots[s].Reading), 3100.0);
    EXPECT_EQ(Val(resp->Slots[s].MaxReading), 3100.0);
    EXPECT_EQ(Val(resp->Slots[s].MinReading), 3000.0);
    EXPECT_EQ(Val(resp->Slots[s].AvgReading), 3050.0);
    EXPECT_EQ(Val(resp->MaxValue), 3100.0);
    EXPECT_EQ(Val(resp->MinValue), 3000.0);
    EXPECT_EQ(Val(resp->MaxTime), t + 300);
    EXPECT_EQ(RawDouble(resp_buf.bytes() + 2), 3100.0);
    EXPECT_EQ(Val(resp->Slots[s - 1].SlotTime), t);
    EXPECT_EQ(Val(resp->Slots[s - 1].Recorded), 0);
    // The slot of the turn's time lies beyond the window.
    EXPECT_EQ(Val(resp->Slots[s + 1].SlotTime), 0u);
}

// A request record gathered from the request FIFO into a record at the
// address under test, in two writes.
TEST_P(PackedAlignment, ReadPipeRequestIntoAnyAddress) {
    int rd, wr;
    Pipe(&rd, &wr);
    RecordStore.RequestFifoFd = rd;
    uint8_t raw[sizeof(PipeRequest)] = {};
    raw[0] = SENSOR_DATA_REQ;
    memcpy(raw + 1, "2026-12-04T00:00:00", 19);
    PutRawU16(raw + 129, 0xFFFE);
    ASSERT_EQ(write(wr, raw, 100), 100);
    ASSERT_EQ(write(wr, raw + 100, sizeof raw - 100), (ssize_t)(sizeof raw - 100));
    OffsetBuffer req_buf(sizeof(PipeRequest), Mod8());
    PipeRequest *req = req_buf.as<PipeRequest>();
    ASSERT_EQ(ReadPipeRequest(req), 0);
    EXPECT_EQ(Val(req->RequestType), SENSOR_DATA_REQ);
    EXPECT_STREQ(req->DateTime, "2026-12-04T00:00:00");
    EXPECT_EQ(Val(req->SensorNum), 0xFFFE);
}

// The list builder writing its header at the address under test.
TEST_P(PackedAlignment, BuildListIntoAnyAddress) {
    g_sensorcount = 0;
    g_fake.Sensors = {FakeSensor{4, "Inlet_Temp", 25.0}, FakeSensor{5, "FAN2", 4800.0}};
    g_fake.SensorCount = 2;
    g_fake.DevIds = {{4, 0x3001}, {5, 0x5002}};
    OffsetBuffer hdr_buf(sizeof(LocalDataHdr), Mod8());
    LocalDataHdr *hdr = hdr_buf.as<LocalDataHdr>();
    ASSERT_EQ(InitSensorDataList(hdr), 0);
    EXPECT_EQ(Val(hdr->ListReady), 1);
    ASSERT_EQ(Val(hdr->SensorCount), 5u);
    LocalSensorData *e = hdr->SensorData;
    EXPECT_STREQ(e[1].SensorName, "FAN2");
    EXPECT_EQ(Val(e[1].SensorClass), 1);
    EXPECT_EQ(Val(e[4].SensorNum), IO_UTIL_NUM);
    pthread_mutex_lock(&g_sensordatamutex);
    EXPECT_EQ(UpdateSensorReadingToLocalStruct(hdr, 1796342400u), 0);
    pthread_mutex_unlock(&g_sensordatamutex);
    EXPECT_EQ(Val(e[0].Reading), 25.0);
    EXPECT_EQ(Val(e[1].AvgReading), 4800.0);
    EXPECT_EQ(RawDouble(reinterpret_cast<const uint8_t *>(&e[1]) + 57), 4800.0);
    free(hdr->SensorData);
}

INSTANTIATE_TEST_SUITE_P(EveryAddressModulo8, PackedAlignment, ::testing::Range(0u, 8u),
                         [](const ::testing::TestParamInfo<unsigned> &info) {
                             return "at" + std::to_string(info.param);
                         });

}  // namespace
