// What the fuzz targets share beside the fake platform: the daemon's clock
// and pauses in the harness's hands, the sensor data list, a store with
// history, and card trees laid out as the input says.
#ifndef TRENDKEEP_FUZZ_SUPPORT_H
#define TRENDKEEP_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "platform/bmc_services.h"
#include "test_support.h"

namespace fuzz {

inline time_t g_now;  // what the daemon's clock says
inline const std::vector<FakeSensor> kSensors = {{1, "CPU0_Temp"},
                                                 {48, "FAN1_Speed"},
                                                 {2, "CPU"},
                                                 {112, "PSU1_Input_Power_W"}};

// The card, under /dev/shm where synchronous flushes cost nothing, in a
// zone that changes its clocks.
inline const std::string &Card() {
    static TempDir card(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    SetTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    g_clock = [](time_t *out) {
        if (out != nullptr) *out = g_now;
        return g_now;
    };
    g_sleepms = [](unsigned) {};
    g_fake.CardPath = card.path();
    CheckTFCardMountStatus(g_tfmountpath, &g_tffreesize);  // as the card watch leaves them
    return card.path();
}

// Builds the list of these sensors through the fake IPMI library.
inline void BuildList(const std::vector<FakeSensor> &sensors) {
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

// The store on the card, with slots five-minute samples from start on.
inline void StoreWithHistory(time_t start, int slots) {
    Card();
    BuildList(kSensors);
    g_now = start;
    int none[2];  // no requests while the history is made
    if (InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr) != 0 || pipe(none) != 0) abort();
    RecordStore.RequestFifoFd = none[0];
    for (uint32_t k = 0, sampled = 0; k < (uint32_t)slots; ++k) {
        for (FakeSensor &s : g_fake.Sensors) s.Reading = k % 5 ? s.Num * 10.0 + k % 7 - 1.25 : 0.0;
        g_fake.Cpu = (uint8_t)k;
        g_now = start + k * SLOT_SECONDS;
        SampleIfNewMinute(&g_localdatahdr, g_now, &sampled);
        StoreLoopTurn((int32_t)g_now, 0);
    }
    close(none[0]);
    close(none[1]);
    RecordStore.RequestFifoFd = -1;
}

// Empties dir and lays out in it what the input says, at the store's paths,
// at leading parts of sensor names and at names of the input: directories,
// FIFOs, links inside dir, and files of any size with day keys and slot
// times near the chosen time and bytes of the input.  Returns that time.
inline time_t MakeCardTree(FuzzedDataProvider &in, const std::string &dir) {
    static const char *const kPaths[] = {"DataRecord",
                                         RECORD_DIR,
                                         RECORD_DIR "/DataTime",
                                         RECORD_DIR "/DataTime/RecordTime",
                                         RECORD_DIR "/CPU0_Temp",
                                         RECORD_DIR "/CPU",
                                         RECORD_DIR "/CPU0",
                                         RECORD_DIR "/FAN1_Speed",
                                         RECORD_DIR "/CPU_Utilization",
                                         RECORD_DIR "/IO_Util",
                                         RECORD_DIR "/DataTime/CPU0_Temp"};
    static const size_t kSizes[] = {0, 1, 8, 23, 4096, SENSOR_FILE_SIZE - 1, SENSOR_FILE_SIZE, SENSOR_FILE_SIZE + 1};
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    mkdir(dir.c_str(), 0755);
    time_t now =
        in.ConsumeBool() ? in.ConsumeIntegral<int32_t>() : 1792540800 + in.ConsumeIntegralInRange(0, 30 * 86400);
    for (int k = in.ConsumeIntegralInRange(0, 12); k > 0; --k) {
        std::string path = dir + "/" + in.PickValueInArray(kPaths);
        std::string own = in.ConsumeBool() ? in.ConsumeRandomLengthString(24) : "";
        for (char &c : own) c = c == '/' || c == '\0' ? '_' : c;
        if (!own.empty()) path = dir + "/" RECORD_DIR "/x" + own;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        int kind = in.ConsumeIntegralInRange(0, 3);
        if (kind == 0) mkdir(path.c_str(), 0755);
        if (kind == 1) mkfifo(path.c_str(), 0644);
        if (kind == 2) (void)!symlink((dir + "/" + in.PickValueInArray(kPaths)).c_str(), path.c_str());
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

}  // namespace fuzz

#endif
