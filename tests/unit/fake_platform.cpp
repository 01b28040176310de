#include "fake_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

#include "platform/bmc_services.h"
#include "platform/libipmi.h"
#include "platform/zelvar_redis.h"

FakePlatform g_fake;
std::recursive_mutex g_fakemutex;

void ResetFakePlatform() {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake = FakePlatform();
}

int FakePlatform::Count(const std::string &text) const {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    int n = 0;
    for (const auto &m : Messages) n += m.Text.find(text) != std::string::npos;
    return n;
}

namespace {

void Record(char kind, int level, const char *fmt, va_list ap) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.Messages.push_back({kind, level, buf});
    if (g_fake.EchoMessages) fprintf(stderr, "%c %d %s\n", kind, level, buf);
}

}  // namespace

extern "C" {

void IDBG_LINUXAPP_DbgOut(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Record('D', level, fmt, ap);
    va_end(ap);
}

void IDBG_LINUXAPP_MaintenceOut(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Record('M', level, fmt, ap);
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

int ProcMonitorRegister(const char *, int, const char *, ProcMonitorStopHandler, int) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    if (g_fake.RegisterResult == 0) ++g_fake.Registered;
    return g_fake.RegisterResult;
}

int ProcMonitorDeRegister(const char *path) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    ++g_fake.Deregistered;
    if (g_fake.OnDeregister) g_fake.OnDeregister(path);
    return 0;
}

int CheckTFCardMountStatus(char *mount_path, uint64_t *free_kb) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    ++g_fake.CardChecks;
    if (!g_fake.CardMounted) return -1;
    snprintf(mount_path, 64, "%s", g_fake.CardPath.c_str());
    *free_kb = g_fake.CardFreeKb;
    return 0;
}

int LIBIPMI_Create_IPMI_Local_Session(IPMI20_SESSION_T *, const char *, const char *, uint8_t *, int, int,
                                      int) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.IpmiCalls.push_back("open");
    if (g_fake.FailSession) return 1;
    ++g_fake.SessionsOpen;
    ++g_fake.SessionsOpened;
    return 0;
}

int LIBIPMI_HL_GetSensorCount(IPMI20_SESSION_T *, uint32_t *count, int) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.IpmiCalls.push_back("count");
    if (!g_fake.CountAnswers.empty()) {
        int answer = g_fake.CountAnswers.front();
        g_fake.CountAnswers.erase(g_fake.CountAnswers.begin());
        if (answer < 0) return 1;
        *count = (uint32_t)answer;
        return 0;
    }
    if (g_fake.FailCount) return 1;
    *count = g_fake.SensorCount;
    return 0;
}

int LIBIPMI_HL_GetAllSensorReadings(IPMI20_SESSION_T *, uint8_t *buf, uint32_t *count, int) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.IpmiCalls.push_back("readings");
    if (g_fake.FailReadings) return 1;
    uint32_t n = 0;
    for (const auto &s : g_fake.Sensors) {
        if (n == *count) break;
        uint8_t *rec = buf + (size_t)n * IPMI_SENSOR_READING_SIZE;
        rec[IPMI_READING_NUM_OFFSET] = s.Num;
        // The name may fill its whole room without a terminator.
        memcpy(rec + IPMI_READING_NAME_OFFSET, s.Name.data(),
               s.Name.size() < IPMI_READING_NAME_MAX ? s.Name.size() : IPMI_READING_NAME_MAX);
        memcpy(rec + IPMI_READING_VALUE_OFFSET, &s.Reading, sizeof(double));
        rec[IPMI_READING_SKIP_OFFSET] = s.Skip;
        ++n;
    }
    *count = g_fake.ReadingCountOverride ? g_fake.ReadingCountOverride : n;
    return 0;
}

int LIBIPMI_HL_AMIGetSensorInfo(IPMI20_SESSION_T *, uint8_t *buf, uint32_t *count, int) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.IpmiCalls.push_back("info");
    if (g_fake.FailInfo) return 1;
    uint32_t n = 0;
    for (const auto &s : g_fake.Sensors) {
        if (!s.HasInfo) continue;
        if (n == *count) break;
        uint8_t *rec = buf + (size_t)n * IPMI_SENSOR_INFO_SIZE;
        rec[IPMI_INFO_RECORD_TYPE_OFFSET] = s.RecordType;
        rec[IPMI_INFO_SENSOR_NUM_OFFSET] = s.Num;
        ++n;
    }
    *count = g_fake.InfoCountOverride ? g_fake.InfoCountOverride : n;
    return 0;
}

int LIBIPMI_CloseSession(IPMI20_SESSION_T *) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.IpmiCalls.push_back("close");
    --g_fake.SessionsOpen;
    return 0;
}

int zelvar_redis_info_basic_interface(int a, int b, int c, int d, int e, void *result, int size, int f) {
    std::lock_guard<std::recursive_mutex> lock(g_fakemutex);
    g_fake.StoreCalls.push_back({a, b, c, d, e, size, f});
    const uint8_t *bytes = static_cast<const uint8_t *>(result);
    g_fake.StoreBuffersZeroed.push_back(size > 0 &&
                                        std::all_of(bytes, bytes + size, [](uint8_t x) { return x == 0; }));
    if (a == 1 && b == 0 && d == 0 && e == 0 && size == ZELVAR_DEVREC_SIZE && f == 1) {
        auto it = g_fake.DevIds.find(c);
        if (it != g_fake.DevIds.end()) {
            uint16_t id = it->second;
            memcpy(static_cast<uint8_t *>(result) + ZELVAR_DEVREC_DEVID_OFFSET, &id, 2);
        }
        if (it == g_fake.DevIds.end() || g_fake.FailDevIds.count(c)) return 1;
        return 0;
    }
    if (a == 1 && b == 9 && c == 0 && d == 0 && size == 1 && f == 1) {
        if (g_fake.FailUtil.count(e)) return 1;
        uint8_t v = e == ZELVAR_UTIL_CPU ? g_fake.Cpu : e == ZELVAR_UTIL_MEM ? g_fake.Mem : g_fake.Io;
        *static_cast<uint8_t *>(result) = v;
        return 0;
    }
    return 1;
}

}  // extern "C"
