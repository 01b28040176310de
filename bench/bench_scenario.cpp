#include "bench_scenario.h"

#include <fcntl.h>
#include <rrd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TextFormat.h"
#include "Trendkeep.h"

namespace tkbench {

int32_t g_lastday = 0;
time_t g_benchnow = 0;
time_t g_faketime = 0;
time_t g_rrdlast = 0;

namespace {

std::vector<LocalSensorData> g_entries;
LocalDataHdr g_hdr;
std::string g_bound;

time_t FakeClock(time_t *out) {
    if (out != nullptr) *out = g_faketime;
    return g_faketime;
}

void NoSleep(unsigned) {}

// The fill marker names the scenario, so a card from another one is never
// taken for this one.
std::string MarkerText() {
    std::ostringstream s;
    s << "entries " << kEntries << " days " << kFilledDays << " lastday " << g_lastday << " now " << g_benchnow << "\n";
    return s.str();
}

bool HasMarker(const std::string &dir) {
    std::ifstream in(dir + "/filled.ok");
    std::stringstream s;
    s << in.rdbuf();
    return in.good() && s.str() == MarkerText();
}

void WriteMarker(const std::string &dir) {
    std::ofstream out(dir + "/filled.ok");
    out << MarkerText();
}

// Every five-minute slot start from the first filled day up to now.
std::vector<uint32_t> FilledSlots() {
    std::vector<uint32_t> slots;
    uint32_t first = (uint32_t)g_lastday - (uint32_t)(kFilledDays - 1) * DAY_SECONDS;
    uint32_t last = (uint32_t)(g_benchnow / SLOT_SECONDS * SLOT_SECONDS);
    for (uint32_t t = first; t <= last; t += SLOT_SECONDS) slots.push_back(t);
    return slots;
}

}  // namespace

std::string SensorName(int i) {
    if (i == kIpmiSensors) return CPU_UTIL_NAME;
    if (i == kIpmiSensors + 1) return MEM_UTIL_NAME;
    if (i == kIpmiSensors + 2) return IO_UTIL_NAME;
    char name[SENSOR_NAME_SIZE];
    snprintf(name, sizeof name, "Sensor_%03d", i + 1);
    return name;
}

uint16_t SensorNumber(int i) {
    if (i == kIpmiSensors) return CPU_UTIL_NUM;
    if (i == kIpmiSensors + 1) return MEM_UTIL_NUM;
    if (i == kIpmiSensors + 2) return IO_UTIL_NUM;
    return (uint16_t)(i + 1);
}

double FigureAt(int i, uint32_t t) {
    uint32_t step = t / SLOT_SECONDS;
    return 20.0 + (double)(i % 60) + 5.0 * (double)((step + (uint32_t)i) % 17) / 17.0;
}

void SetupProcess(time_t now) {
    setenv("TZ", "UTC0", 1);
    tzset();
    g_clock = FakeClock;
    g_sleepms = NoSleep;
    g_benchnow = now;
    g_lastday = (int32_t)(now / DAY_SECONDS * DAY_SECONDS);
    g_faketime = now;

    g_entries.assign(kEntries, LocalSensorData{});
    for (int i = 0; i < kEntries; ++i) {
        LocalSensorData &e = g_entries[(size_t)i];
        e.InUse = 1;
        snprintf(e.SensorName, sizeof e.SensorName, "%s", SensorName(i).c_str());
        e.SensorNum = SensorNumber(i);
        e.SensorClass = i < kIpmiSensors ? 1 : UTIL_SENSOR_CLASS;
    }
    memset(&g_hdr, 0, sizeof g_hdr);
    g_hdr.ListReady = 1;
    g_hdr.SensorCount = kEntries;
    g_hdr.SensorData = g_entries.data();
}

LocalDataHdr *List() { return &g_hdr; }

void SetFigures(uint32_t t) {
    for (int i = 0; i < kEntries; ++i) {
        LocalSensorData &e = g_entries[(size_t)i];
        double r = FigureAt(i, t);
        e.Valid = 1;
        e.Reading = r;
        e.MaxReading = r + 0.5;
        e.MinReading = r - 0.5;
        e.AvgReading = r;
        e.MaxTime = t + 60;
        e.MinTime = t + 120;
    }
    g_hdr.DataReady = 1;
}

void CloseTkStore() {
    ReleaseStore();
    g_bound.clear();
}

int OpenTkStore(const std::string &dir, time_t now) {
    CloseTkStore();
    std::filesystem::create_directories(dir);
    if (dir.size() >= sizeof g_tfmountpath) {
        fprintf(stderr, "bench: card path too long for the store: %s\n", dir.c_str());
        return -1;
    }
    snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", dir.c_str());
    g_tffreesize = 1ull << 40;
    g_faketime = now;
    int rc = InitSensorDataRecordSt(&RecordStore.SensorArr, &g_hdr);
    g_faketime = g_benchnow;
    if (rc == 0) g_bound = dir;
    return rc;
}

const std::string &BoundCard() { return g_bound; }

std::string TkFilePath(const std::string &dir, int i) { return dir + "/" RECORD_DIR "/" + SensorName(i); }

namespace {}  // namespace

int FillTkCard(const std::string &dir, bool reuse) {
    if (reuse && HasMarker(dir)) return OpenTkStore(dir, g_benchnow);
    double started = tk::MonotonicSeconds();
    RemoveTree(dir);
    std::vector<uint32_t> slots = FilledSlots();
    if (OpenTkStore(dir, slots.front()) != 0) return -1;
    RecordTimeFile *rt = RecordStore.RecordTimeMap;
    // The store thread's turns, one per five minutes, without the waits.
    // The recorder's plain search writes the same bytes as its speed-ups
    // (the unit tests hold them to it) but keeps the files mapped in: the
    // speed-ups let go of each file's pages every round, as the daemon
    // must, which would cost a minute and more over nine days of rounds.
    int speedups = g_storespeedups;
    g_storespeedups = 0;
    for (uint32_t t : slots) {
        int32_t day = (int32_t)(t / DAY_SECONDS * DAY_SECONDS);
        g_faketime = t;
        if ((int32_t)rt->RecordDay != day) {
            SwitchRecordDay(RecordStore.SensorArr, RecordStore.RecordCount, day, 0);
            rt->RecordDay = (uint32_t)day;
        }
        SetFigures(t);
        RecordSensorsDataToMem(&g_hdr, RecordStore.SensorArr, t, (uint32_t)day);
        rt->RecordSlot = t;
    }
    g_storespeedups = speedups;
    g_faketime = g_benchnow;
    UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount);
    msync(rt, sizeof *rt, MS_SYNC);
    WriteMarker(dir);
    fprintf(stderr, "bench: %s filled in %.1f s\n", dir.c_str(), tk::MonotonicSeconds() - started);
    return 0;
}

std::string RrdError() {
    std::string text = rrd_test_error() ? rrd_get_error() : "";
    rrd_clear_error();
    return text;
}

std::string RrdFilePath(const std::string &dir, int i) { return dir + "/" + SensorName(i) + ".rrd"; }

int CreateRrdFile(const std::string &path, time_t last_up) {
    char rows[64];
    snprintf(rows, sizeof rows, "%d", kRrdRows);
    std::string rra_last = std::string("RRA:LAST:0.5:1:") + rows;
    std::string rra_max = std::string("RRA:MAX:0.5:1:") + rows;
    std::string rra_min = std::string("RRA:MIN:0.5:1:") + rows;
    std::string rra_avg = std::string("RRA:AVERAGE:0.5:1:") + rows;
    const char *argv[] = {"DS:value:GAUGE:600:U:U", rra_last.c_str(), rra_max.c_str(), rra_min.c_str(),
                          rra_avg.c_str()};
    return rrd_create_r(path.c_str(), SLOT_SECONDS, last_up, 5, argv);
}

int FillRrdCard(const std::string &dir, bool reuse) {
    if (reuse && HasMarker(dir)) {
        g_rrdlast = rrd_last_r(RrdFilePath(dir, 0).c_str());
        return g_rrdlast > 0 ? 0 : -1;
    }
    double started = tk::MonotonicSeconds();
    RemoveTree(dir);
    std::filesystem::create_directories(dir);
    std::vector<uint32_t> slots = FilledSlots();
    std::vector<std::string> values(slots.size());
    std::vector<const char *> argv(slots.size());
    for (int i = 0; i < kEntries; ++i) {
        std::string path = RrdFilePath(dir, i);
        if (CreateRrdFile(path, (time_t)slots.front() - 1) != 0) {
            fprintf(stderr, "bench: rrd_create_r %s: %s\n", path.c_str(), RrdError().c_str());
            return -1;
        }
        for (size_t k = 0; k < slots.size(); ++k) {
            char v[64];
            snprintf(v, sizeof v, "%u:%.6f", slots[k], FigureAt(i, slots[k]));
            values[k] = v;
            argv[k] = values[k].c_str();
        }
        if (rrd_update_r(path.c_str(), nullptr, (int)argv.size(), argv.data()) != 0) {
            fprintf(stderr, "bench: rrd_update_r %s: %s\n", path.c_str(), RrdError().c_str());
            return -1;
        }
    }
    g_rrdlast = (time_t)slots.back();
    WriteMarker(dir);
    fprintf(stderr, "bench: %s filled in %.1f s\n", dir.c_str(), tk::MonotonicSeconds() - started);
    return 0;
}

long long ProcessWriteBytes() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value;
    while (in >> key >> value) {
        if (key == "write_bytes:") return value;
    }
    return -1;
}

namespace {

std::string DeviceStatPath(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || major(st.st_dev) == 0) return "";
    char p[128];
    snprintf(p, sizeof p, "/sys/dev/block/%u:%u/stat", major(st.st_dev), minor(st.st_dev));
    return p;
}

}  // namespace

long long DeviceWriteBytes(const std::string &path) {
    std::string stat_path = DeviceStatPath(path);
    if (stat_path.empty()) return -1;
    std::ifstream in(stat_path);
    long long f[7];
    for (long long &x : f) {
        if (!(in >> x)) return -1;
    }
    return f[6] * 512;  // sectors written, 512 bytes each whatever the device
}

std::string DeviceName(const std::string &path) {
    std::string stat_path = DeviceStatPath(path);
    if (stat_path.empty()) return "";
    std::error_code ec;
    auto dev = std::filesystem::canonical(std::filesystem::path(stat_path).parent_path(), ec);
    return ec ? std::string() : dev.filename().string();
}

void RemoveTree(const std::string &dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace tkbench
