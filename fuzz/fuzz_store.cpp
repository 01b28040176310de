// The store over whatever a card holds, in a zone with summer time, an odd offset or a change at midnight: its
// initialisation with odd lists, day switches, history queries, readings of any value, requests whole, cut short or
// run together, turn after turn; the card reader's check of the card; a date text alone in its field.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <filesystem>

#include "CardCheck.h"
#include "CardReader.h"
#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "platform/bmc_services.h"
#include "test_support.h"

namespace {

time_t g_now;  // what the daemon's clock says
const std::vector<FakeSensor> kSensors = {{1, "CPU0_Temp"}, {48, "FAN1_Speed"}, {2, "CPU"}, {112, "PSU1_W"}};
const char *const kZones[] = {"CET-1CEST,M3.5.0,M10.5.0/3", "<+0530>-5:30",
                              "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", "<-03>3<-02>,M11.1.0/0,M2.3.0/0",
                              "<+14>-14"};

const std::string &Card() {  // under /dev/shm, where synchronous flushes cost nothing
    static TempDir card(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    g_clock = [](time_t *out) {
        if (out != nullptr) *out = g_now;
        return g_now;
    };
    g_sleepms = [](unsigned) {};
    g_fake.CardPath = card.path();
    CheckTFCardMountStatus(g_tfmountpath, &g_tffreesize);  // as the card watch leaves them
    return card.path();
}

void BuildList(const std::vector<FakeSensor> &sensors) {  // through the fake IPMI library
    static LocalSensorData *kept;  // aligned: the leak checker misses the packed header's pointer
    free(kept);
    g_localdatahdr = {};
    g_sensorcount = 0;
    g_fake.Sensors = sensors;
    g_fake.SensorCount = (uint32_t)sensors.size() + 1;  // never 0, which keeps the build waiting
    for (const FakeSensor &s : sensors) g_fake.DevIds[s.Num] = (uint16_t)(0x3000 + 0x100 * s.Num);
    InitSensorDataList(&g_localdatahdr);
    kept = g_localdatahdr.SensorData;
}

// Lays out in an emptied dir, at the store's paths and at names of the input, directories, FIFOs, links and
// files of any size with day keys and slot times near a time of the input, and bytes of it.  Returns the time.
time_t MakeCardTree(FuzzedDataProvider &in, const std::string &dir) {
    static const char *const kNames[] = {
        "",      "/DataTime",   "/DataTime/RecordTime", "/CPU0_Temp", "/CPU",
        "/CPU0", "/FAN1_Speed", "/CPU_Utilization",     "/IO_Util",   "/DataTime/CPU0_Temp"};
    static const size_t kSizes[] = {0, 1, 8, 23, 4096, SENSOR_FILE_SIZE - 1, SENSOR_FILE_SIZE, SENSOR_FILE_SIZE + 1};
    const std::string record = dir + "/" RECORD_DIR;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    mkdir(dir.c_str(), 0755);
    time_t now =
        in.ConsumeBool() ? in.ConsumeIntegral<int32_t>() : 1792540800 + in.ConsumeIntegralInRange(0, 30 * 86400);
    for (int k = in.ConsumeIntegralInRange(0, 12); k > 0; --k) {
        std::string path = record + in.PickValueInArray(kNames);
        std::string own = in.ConsumeBool() ? in.ConsumeRandomLengthString(24) : "";
        for (char &c : own) c = c == '/' || c == '\0' ? '_' : c;
        if (!own.empty()) path = record + "/x" + own;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        int kind = in.ConsumeIntegralInRange(0, 3);
        if (kind == 0) mkdir(path.c_str(), 0755);
        if (kind == 1) mkfifo(path.c_str(), 0644);
        if (kind == 2) (void)!symlink((record + in.PickValueInArray(kNames)).c_str(), path.c_str());
        if (kind < 3) continue;
        std::vector<uint8_t> b(in.PickValueInArray(kSizes));
        auto put = [&](size_t at, const void *p, size_t n) { memcpy(&b[at], p, std::min(n, b.size() - at)); };
        for (int d = 0; b.size() >= sizeof(SensorDataFile) && d < DAYS_PER_FILE; ++d) {
            size_t at = offsetof(SensorDataFile, Days) + d * sizeof(DayBlock);
            uint32_t key = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                            : (uint32_t)DayStartTime(now - 86400 * in.ConsumeIntegralInRange(0, 9));
            put(at, &key, 4);
            for (size_t s = 0; s < SLOTS_PER_DAY && in.ConsumeBool(); ++s, key += SLOT_SECONDS)
                put(at + offsetof(DayBlock, Slots) + s * sizeof(SampleSlot) + offsetof(SampleSlot, SlotTime), &key, 4);
        }
        for (int p = in.ConsumeIntegralInRange(0, 7); p > 0 && !b.empty(); --p) {
            size_t at = in.ConsumeIntegralInRange<size_t>(0, b.size() - 1);
            std::string bytes = in.ConsumeRandomLengthString(48);
            put(at, bytes.data(), bytes.size());
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        (void)!write(fd, b.data(), b.size());
        close(fd);
    }
    return now;
}

void CheckCard(const std::string &card) {  // a card that cannot be read is reported, not a fault
    try {
        tk::CheckCard(tk::LoadCard(card));
    } catch (const std::exception &) {}
}

int32_t DayNear(FuzzedDataProvider &in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<int32_t>();
    return (int32_t)DayStartTime(g_now + 86400 * in.ConsumeIntegralInRange(-10, 10));
}

// Readings of any bits, then turns over request bytes from a requester gone: a record cut short ends with the pipe.
void Turns(FuzzedDataProvider &in) {
    const int32_t now = (int32_t)(g_now + in.ConsumeIntegralInRange(-2 * 86400, 2 * 86400));
    for (FakeSensor &s : g_fake.Sensors) s.Reading = std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    UpdateSensorReadingToLocalStruct(&g_localdatahdr, (uint32_t)now);
    std::string bytes = in.ConsumeRandomLengthString(sizeof(PipeRequest) * 8);
    int request[2];
    int response[2];
    if (pipe2(request, O_NONBLOCK | O_CLOEXEC) != 0 || pipe2(response, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    fcntl(response[1], F_SETPIPE_SZ, 1 << 20);
    (void)!write(request[1], bytes.data(), bytes.size());
    close(request[1]);
    RecordStore.RequestFifoFd = request[0];
    RecordStore.ResponseFifoFd = response[1];
    char sink[16384];
    for (int turn = 0; turn < 9; ++turn) {
        StoreLoopTurn(now, 0);
        while (read(response[0], sink, sizeof sink) > 0) {}
    }
    close(request[0]);
    close(response[0]);
    close(response[1]);
    RecordStore.RequestFifoFd = -1;
    RecordStore.ResponseFifoFd = -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    SetTimeZone(in.PickValueInArray(kZones));
    std::vector<char> field(TK_DATE_TEXT_SIZE);  // alone in its heap block: a read past a text with no NUL is caught
    std::string text = in.ConsumeBytesAsString(field.size());
    memcpy(field.data(), text.data(), text.size());
    DateTextToDayStart(field.data());
    std::vector<FakeSensor> sensors = kSensors;
    int list = in.ConsumeIntegralInRange(0, 3);
    if (list == 1) sensors.clear();
    if (list == 2) sensors = {{1, "CPU0_Temp"}, {1, "CPU0_Temp"}, {3, "C"}};
    if (list == 3) sensors.insert(sensors.begin(), {in.ConsumeIntegral<uint8_t>(), in.ConsumeRandomLengthString(30)});
    const std::string &card = Card();
    g_fake.Messages.clear();
    BuildList(sensors);
    g_now = MakeCardTree(in, card);
    CheckCard(card);
    const uint32_t count =
        InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr) == 0 ? RecordStore.RecordCount : 0;
    for (int ops = 0; count > 0 && in.remaining_bytes() > 0 && ops < 8; ++ops) {
        int op = in.ConsumeIntegralInRange(0, 2);
        if (op == 0) SwitchRecordDay(RecordStore.SensorArr, count, DayNear(in), in.ConsumeBool());
        if (op == 1) Turns(in);
        if (op != 2) continue;
        SensorDataQuery query = {};
        query.SensorNum = in.ConsumeBool() ? in.ConsumeIntegral<uint16_t>() : sensors.empty() ? 0 : sensors[0].Num;
        SetQueryWindow(&query, DayNear(in), (int32_t)(g_now + in.ConsumeIntegralInRange(-20 * 86400, 20 * 86400)));
        SearchSensorDataFromFile(RecordStore.SensorArr, &query, count);
    }
    ReleaseStore();
    return 0;
}
