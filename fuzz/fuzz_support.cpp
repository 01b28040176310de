#include "fuzz_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "SensorData.h"
#include "Trendkeep.h"
#include "platform/bmc_services.h"
#include "platform/libipmi.h"
#include "platform/zelvar_redis.h"

namespace {

std::mutex g_cardmutex;
std::string g_card = "/nonexistent";

}  // namespace

// ---------------------------------------------------------------------------
// The platform: quiet debug output, plain descriptor calls, a card that is
// always there with plenty of room, and an IPMI library without sensors
// (the targets build the list themselves).

extern "C" {

void IDBG_LINUXAPP_DbgOut(int, const char *fmt, ...) {
    // Formatted all the same, so that a format that does not fit its
    // arguments shows up under the sanitizers.
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
}

void IDBG_LINUXAPP_MaintenceOut(int, const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
}

int sigwrap_open(const char *path, int flags) { return open(path, flags | O_CLOEXEC, 0644); }
ssize_t sigwrap_read(int fd, void *buf, size_t count) { return read(fd, buf, count); }
ssize_t sigwrap_write(int fd, const void *buf, size_t count) { return write(fd, buf, count); }
int sigwrap_close(int fd) { return close(fd); }
int sigwrap_select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout) {
    return select(nfds, r, w, e, timeout);
}
int daemon_init(void) { return 0; }
int save_pid(const char *) { return 0; }
int ProcMonitorRegister(const char *, int, const char *, ProcMonitorStopHandler, int) { return 0; }
int ProcMonitorDeRegister(const char *) { return 0; }

int CheckTFCardMountStatus(char *mount_path, uint64_t *free_kb) {
    std::lock_guard<std::mutex> lock(g_cardmutex);
    snprintf(mount_path, 64, "%s", g_card.c_str());
    *free_kb = 1ull << 32;
    return 0;
}

int LIBIPMI_Create_IPMI_Local_Session(IPMI20_SESSION_T *, const char *, const char *, uint8_t *, int, int, int) {
    return -1;
}
int LIBIPMI_HL_GetSensorCount(IPMI20_SESSION_T *, uint32_t *, int) { return -1; }
int LIBIPMI_HL_GetAllSensorReadings(IPMI20_SESSION_T *, uint8_t *, uint32_t *, int) { return -1; }
int LIBIPMI_HL_AMIGetSensorInfo(IPMI20_SESSION_T *, uint8_t *, uint32_t *, int) { return -1; }
int LIBIPMI_CloseSession(IPMI20_SESSION_T *) { return 0; }
int zelvar_redis_info_basic_interface(int, int, int, int, int, void *, int, int) { return -1; }

}  // extern "C"

namespace fuzz {

time_t g_now = 0;
LocalSensorData *g_keptlist = nullptr;

std::vector<uint8_t> Input::Bytes(size_t n) {
    if (n > left_) n = left_;
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return out;
}

void SetUpDaemon(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
    g_clock = [](time_t *out) -> time_t {
        if (out) *out = g_now;
        return g_now;
    };
    g_sleepms = [](unsigned) {};
}

void SetCard(const std::string &path) {
    {
        std::lock_guard<std::mutex> lock(g_cardmutex);
        g_card = path;
    }
    // What the card watch of the main thread would have left for the store.
    CheckTFCardMountStatus(g_tfmountpath, &g_tffreesize);
}

std::string MakeTempDir(const char *prefix) {
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string templ = base + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    return buf.data();
}

void RemoveTree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent *de = readdir(d)) {
                if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) names.push_back(de->d_name);
            }
            closedir(d);
            for (const std::string &n : names) RemoveTree(path + "/" + n);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

const std::vector<ListSensor> &DefaultSensors() {
    static const std::vector<ListSensor> sensors = {
        {"CPU0_Temp", 1, 0},
        {"FAN1_Speed", 48, 1},
        {"CPU", 2, 0},  // a leading part of another sensor's name
        {"PSU1_Input_Power_W", 112, 2},
    };
    return sensors;
}

void BuildList(const std::vector<ListSensor> &sensors) {
    pthread_mutex_lock(&g_sensordatamutex);
    free(g_localdatahdr.SensorData);
    memset(&g_localdatahdr, 0, sizeof g_localdatahdr);
    size_t n = sensors.size() + UTIL_ENTRY_COUNT;
    LocalSensorData *e = static_cast<LocalSensorData *>(calloc(n, sizeof(LocalSensorData)));
    for (size_t i = 0; i < sensors.size(); ++i) {
        snprintf(e[i].SensorName, sizeof e[i].SensorName, "%s", sensors[i].Name);
        e[i].SensorNum = sensors[i].Num;
        e[i].SensorClass = sensors[i].Class;
        e[i].InUse = 1;
    }
    const char *util[] = {CPU_UTIL_NAME, MEM_UTIL_NAME, IO_UTIL_NAME};
    const uint16_t nums[] = {CPU_UTIL_NUM, MEM_UTIL_NUM, IO_UTIL_NUM};
    for (size_t k = 0; k < 3; ++k) {
        LocalSensorData &u = e[sensors.size() + k];
        snprintf(u.SensorName, sizeof u.SensorName, "%s", util[k]);
        u.SensorNum = nums[k];
        u.SensorClass = UTIL_SENSOR_CLASS;
        u.InUse = 1;
    }
    g_localdatahdr.SensorData = e;
    // The header is packed: the leak checker does not see a pointer at its
    // unaligned offset, so an aligned copy keeps the list reachable.
    g_keptlist = e;
    g_localdatahdr.SensorCount = (uint32_t)n;
    g_sensorcount = (uint32_t)sensors.size();
    g_localdatahdr.ListReady = 1;
    pthread_mutex_unlock(&g_sensordatamutex);
}

void ReleaseStore() {
    if (RecordStore.SensorArr != nullptr) {
        UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
        free(RecordStore.SensorArr);
        RecordStore.SensorArr = nullptr;
    }
    if (RecordStore.RecordTimeMap != nullptr) {
        munmap(RecordStore.RecordTimeMap, RECORD_TIME_SIZE);
        RecordStore.RecordTimeMap = nullptr;
    }
    if (RecordTimeFd != -1) {
        close(RecordTimeFd);
        RecordTimeFd = -1;
    }
    RecordStore.RecordCount = 0;
}

std::string BuildStoreWithHistory(time_t start, int slots) {
    std::string card = MakeTempDir("tk-fuzz-card");
    SetCard(card);
    BuildList(DefaultSensors());
    g_now = start;
    if (InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr) != 0) {
        fprintf(stderr, "fuzz: the store could not be built on %s\n", card.c_str());
        abort();
    }
    // No requests while the history is made: a FIFO that never has any.
    int none[2];
    if (pipe2(none, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    RecordStore.RequestFifoFd = none[0];
    for (int k = 0; k < slots; ++k) {
        g_now = start + (time_t)k * 300;
        pthread_mutex_lock(&g_sensordatamutex);
        for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) {
            LocalSensorData &e = g_localdatahdr.SensorData[i];
            e.Reading = 10.0 * i + k;
            e.MaxReading = e.Reading + 1.5;
            e.MinReading = k % 5 == 0 ? 0.0 : e.Reading - 1.25;
            e.AvgReading = e.Reading + 0.125;
            e.MaxTime = e.MinTime = (uint32_t)g_now;
            e.Valid = 1;
        }
        g_localdatahdr.DataReady = 1;
        pthread_mutex_unlock(&g_sensordatamutex);
        StoreLoopTurn((int32_t)g_now, 0);
    }
    close(none[0]);
    close(none[1]);
    RecordStore.RequestFifoFd = -1;
    return card;
}

}  // namespace fuzz
