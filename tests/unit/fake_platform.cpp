#include "fake_platform.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "SensorData.h"
#include "platform/bmc_services.h"
#include "platform/libipmi.h"
#include "platform/zelvar_redis.h"

FakePlatform g_fake;
static std::recursive_mutex g_fakemutex;
#define FAKE_LOCKED std::lock_guard<std::recursive_mutex> lock(g_fakemutex)

void ResetFakePlatform() {
    FAKE_LOCKED;
    g_fake = FakePlatform();
}

namespace {

void Record(char kind, int level, const char *fmt, va_list ap) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    FAKE_LOCKED;
    g_fake.Messages.push_back({kind, level, buf});
    if (g_fake.EchoMessages) fprintf(stderr, "%c %d %s\n", kind, level, buf);
}

// Logs a call (and an IPMI call's time-out); true when arranged to fail.
// The list mutex is not recursive: a try from the thread holding it fails.
bool Call(const std::string &what, const std::string &fail, int timeout = -1) {
    FAKE_LOCKED;
    if (timeout >= 0) g_fake.IpmiTimeouts.push_back(timeout);
    g_fake.Calls.push_back(what);
    if (pthread_mutex_trylock(&g_sensordatamutex) == 0) {
        pthread_mutex_unlock(&g_sensordatamutex);
    } else {
        g_fake.CallsUnderListMutex.push_back(what);
    }
    if (g_fake.OnCall) g_fake.OnCall(what);
    return g_fake.Fail.count(fail) > 0;
}

// At most *count reading (or info) records, laid out as the library does.
int WriteRecords(uint8_t *buf, uint32_t *count, bool info) {
    FAKE_LOCKED;
    uint32_t n = 0;
    for (const FakeSensor &s : g_fake.Sensors) {
        if (n == *count || (info && !s.HasInfo)) continue;
        uint8_t *rec = buf + (info ? IPMI_SENSOR_INFO_SIZE : IPMI_SENSOR_READING_SIZE) * n;
        ++n;
        if (info) rec[IPMI_INFO_RECORD_TYPE_OFFSET] = s.RecordType;
        if (info) rec[IPMI_INFO_SENSOR_NUM_OFFSET] = s.Num;
        if (info) continue;
        rec[IPMI_READING_NUM_OFFSET] = s.Num;  // the name may fill its room without a terminator
        memcpy(rec + IPMI_READING_NAME_OFFSET, s.Name.data(), std::min<size_t>(s.Name.size(), IPMI_READING_NAME_MAX));
        memcpy(rec + IPMI_READING_VALUE_OFFSET, &s.Reading, sizeof(double));
        rec[IPMI_READING_SKIP_OFFSET] = s.Skip;
    }
    *count = g_fake.ClaimedCount != 0 ? g_fake.ClaimedCount : n;
    return 0;
}

}  // namespace

extern "C" {

#define FAKE_OUTPUT(name, kind)                  \
    void name(int level, const char *fmt, ...) { \
        va_list ap;                              \
        va_start(ap, fmt);                       \
        Record(kind, level, fmt, ap);            \
        va_end(ap);                              \
    }
FAKE_OUTPUT(IDBG_LINUXAPP_DbgOut, 'D')
FAKE_OUTPUT(IDBG_LINUXAPP_MaintenceOut, 'M')

int sigwrap_open(const char *path, int flags) { return open(path, flags | O_CLOEXEC, 0644); }
ssize_t sigwrap_read(int fd, void *buf, size_t count) { return read(fd, buf, count); }
ssize_t sigwrap_write(int fd, const void *buf, size_t count) { return write(fd, buf, count); }
int sigwrap_close(int fd) { return close(fd); }
int sigwrap_select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t) { return select(n, r, w, e, t); }
int daemon_init(void) { return 0; }

int save_pid(const char *) {
    FAKE_LOCKED;
    if (g_fake.Fail.count("pid") == 0) return 0;
    errno = EACCES;
    return -1;
}

int ProcMonitorRegister(const char *, int, const char *, ProcMonitorStopHandler, int) { return g_fake.RegisterResult; }

int ProcMonitorDeRegister(const char *path) {
    FAKE_LOCKED;
    if (g_fake.OnDeregister) g_fake.OnDeregister(path);
    return 0;
}

int CheckTFCardMountStatus(char *mount_path, uint64_t *free_kb) {
    FAKE_LOCKED;
    if (!g_fake.CardMounted) return -1;
    snprintf(mount_path, 64, "%s", g_fake.CardPath.c_str());
    *free_kb = 1u << 30;
    return 0;
}

int LIBIPMI_Create_IPMI_Local_Session(IPMI20_SESSION_T *, const char *, const char *, uint8_t *, int, int, int t) {
    return Call("open", "session", t);
}

int LIBIPMI_HL_GetSensorCount(IPMI20_SESSION_T *, uint32_t *count, int) {
    FAKE_LOCKED;
    int answer = g_fake.CountAnswers.empty() ? (int)g_fake.SensorCount : g_fake.CountAnswers.front();
    if (!g_fake.CountAnswers.empty()) g_fake.CountAnswers.erase(g_fake.CountAnswers.begin());
    if (Call("count", "count") || answer < 0) return 1;
    *count = (uint32_t)answer;
    return 0;
}

int LIBIPMI_HL_GetAllSensorReadings(IPMI20_SESSION_T *, uint8_t *buf, uint32_t *n, int t) {
    return Call("readings", "readings", t) ? 1 : WriteRecords(buf, n, false);
}

int LIBIPMI_HL_AMIGetSensorInfo(IPMI20_SESSION_T *, uint8_t *buf, uint32_t *n, int t) {
    return Call("info", "info", t) ? 1 : WriteRecords(buf, n, true);
}

int LIBIPMI_CloseSession(IPMI20_SESSION_T *) { return Call("close", ""); }

// Device id records (1, 0, num, 0, 0, 42 bytes, 1) and utilisation figures
// (1, 9, 0, 0, item, 1 byte, 1); any other call is logged as a bad one.
int zelvar_redis_info_basic_interface(int a, int b, int c, int d, int e, void *result, int size, int f) {
    FAKE_LOCKED;
    uint8_t *bytes = static_cast<uint8_t *>(result);
    if (a == 1 && b == 0 && d == 0 && e == 0 && size == ZELVAR_DEVREC_SIZE && f == 1) {
        std::string name = "devid:" + std::to_string(c);
        bool zeroed = std::all_of(bytes, bytes + size, [](uint8_t x) { return x == 0; });
        auto it = g_fake.DevIds.find(c);
        if (it != g_fake.DevIds.end()) memcpy(bytes + ZELVAR_DEVREC_DEVID_OFFSET, &it->second, 2);
        bool failed = Call(zeroed ? name : name + " dirty", name);
        return failed || it == g_fake.DevIds.end();
    }
    const char *item = e == ZELVAR_UTIL_CPU ? "cpu" : e == ZELVAR_UTIL_MEM ? "mem" : e == ZELVAR_UTIL_IO ? "io" : "";
    if (a != 1 || b != 9 || c != 0 || d != 0 || *item == '\0' || size != 1 || f != 1) {
        Call("bad store call", "");
        return 1;
    }
    if (Call(item, item)) return 1;
    *bytes = e == ZELVAR_UTIL_CPU ? g_fake.Cpu : e == ZELVAR_UTIL_MEM ? g_fake.Mem : g_fake.Io;
    return 0;
}

}  // extern "C"
