// Start-up, the card watch and every way the process stops; the calendar
// helpers that turn times and request dates into day keys; the FIFO wait.
#include "Trendkeep.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "SensorData.h"
#include "StoreData.h"
#include "platform/bmc_services.h"

#define TK_STR2(x) #x
#define TK_STR(x) TK_STR2(x)

// Exported for the platform libraries; the daemon itself never uses it.
unsigned char g_corefeatures[CORE_FEATURES_SIZE] __attribute__((visibility("default"))) = {};

char g_tfmountpath[TK_MOUNT_PATH_SIZE];
uint64_t g_tffreesize;
ClockFn g_clock = time;
SleepFn g_sleepms = [](unsigned milliseconds) {
    struct timespec left = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
};
ThreadCreateFn g_threadcreate = pthread_create;

namespace {

// Guards g_tfmountpath and g_tffreesize: the card watch rewrites them while
// the store thread may be taking its copy.
pthread_mutex_t g_cardmutex = PTHREAD_MUTEX_INITIALIZER;
// Taken by the first stop and never released: later stops wait here until
// the process is gone.
pthread_mutex_t g_stopmutex = PTHREAD_MUTEX_INITIALIZER;

pthread_t g_sensortaskid;
pthread_t g_storetaskid;

int RefreshCardStatus(void) {
    pthread_mutex_lock(&g_cardmutex);
    int rc = CheckTFCardMountStatus(g_tfmountpath, &g_tffreesize);
    pthread_mutex_unlock(&g_cardmutex);
    return rc;
}

// Creates the FIFO at path and makes sure that what stands there afterwards
// really is a FIFO: /var/tmp is writable by everyone, and a link or file
// slipped in between the removal and the creation must not be used.
// Returns 0 on success, -1 with errno set on failure.
int MakeFifo(const char *path) {
    if (mkfifo(path, TK_FIFO_MODE) != 0 && errno != EEXIST) return -1;
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    if (!S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    return 0;
}

}  // namespace

void RemovePathIfPresent(const char *path) {
    struct stat st;
    if (lstat(path, &st) == 0) remove(path);
}

void CopyCardStatus(char mount_path[TK_MOUNT_PATH_SIZE], uint64_t *free_kb) {
    pthread_mutex_lock(&g_cardmutex);
    memcpy(mount_path, g_tfmountpath, TK_MOUNT_PATH_SIZE);
    mount_path[TK_MOUNT_PATH_SIZE - 1] = '\0';
    *free_kb = g_tffreesize;
    pthread_mutex_unlock(&g_cardmutex);
}

void StopProcess(int status, int how) {
    if (StoreLockDepth() > 0) {
        // The store thread stops from inside the store.  If another stop is
        // already running, it waits for the store lock: hand it over and
        // wait for the end with everybody else.
        if (pthread_mutex_trylock(&g_stopmutex) != 0) {
            StoreLockAbandon();
            for (;;) pause();
        }
    } else {
        pthread_mutex_lock(&g_stopmutex);
    }
    // Wait until the store thread is out of the files and FIFOs that
    // CleanUp releases; it never gets them back.
    StoreLock();
    if (how & TK_STOP_DEREGISTER) ProcMonitorDeRegister(TK_PROGRAM_PATH);
    if (how & TK_STOP_CLEANUP) CleanUp();
    fflush(nullptr);
    // The workers are still running: leave without running destructors
    // under their feet.
    _exit(status);
}

void ProcStopHandler(int) { StopProcess(0, TK_STOP_DEREGISTER | TK_STOP_CLEANUP); }

int Init(void) {
    memset(g_tfmountpath, 0, sizeof g_tfmountpath);
    if (RefreshCardStatus() != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][StoreTrendkeep][%s][%d]Check mount path faied!",
                             TK_AT);
        return -1;
    }
    RemovePathIfPresent(TK_REQUEST_FIFO);
    RemovePathIfPresent(TK_RESPONSE_FIFO);
    if (MakeFifo(TK_REQUEST_FIFO) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,
                             "[%s:%d]Error while creating Zelvar trendkeep Request FIFO [errno-%d]\n",
                             __FILE_NAME__, __LINE__, errno);
        return -1;
    }
    if (MakeFifo(TK_RESPONSE_FIFO) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,
                             "[%s:%d]Error while creating Zelvar trendkeep Response FIFO [errno-%d]\n",
                             __FILE_NAME__, __LINE__, errno);
        return -1;
    }
    if (ProcMonitorRegister(TK_PROGRAM_PATH, 0, TK_MONITOR_NAME, ProcStopHandler, 0) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Process Monitor Register Trendkeep fails\n",
                             __FILE_NAME__, __LINE__);
    }
    return 0;
}

int TrendkeepMain(void) {
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "[Trendkeep][%d]Trendkeep Program started!\n", __LINE__);
    if (daemon_init() != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Error Daemonizing !!!\n", __FILE_NAME__,
                                   __LINE__);
    }
    save_pid(TK_PID_FILE);
    if (Init() != 0) StopProcess(2, TK_STOP_CLEANUP);

    pthread_mutex_init(&g_sensordatamutex, nullptr);
    if (g_threadcreate(&g_sensortaskid, nullptr, SensorDataTask, nullptr) != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%s]Create thread SensorDataTask failed!", "main",
                                   TK_STR(__LINE__));
        StopProcess(255, TK_STOP_CLEANUP);
    }
    if (g_threadcreate(&g_storetaskid, nullptr, StoreSensorsDataToFileRecord, nullptr) != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL,
                                   "[%s][%s]Create thread StoreSensorsDataToFileRecord failed!", "main",
                                   TK_STR(__LINE__));
        StopProcess(255, TK_STOP_CLEANUP);
    }

    while (RefreshCardStatus() == 0) g_sleepms(TK_CARD_WATCH_SECONDS * 1000);
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Check TFCard mount status failed!Program will exit!\n",
                               __FILE_NAME__, __LINE__);
    StopProcess(1, TK_STOP_DEREGISTER | TK_STOP_CLEANUP);
}

#ifndef TRENDKEEP_NO_MAIN
int main(void) { return TrendkeepMain(); }
#endif

// ---------------------------------------------------------------------------
// Calendar

namespace {

// Orders local dates; only year, month and day count.
int CompareDate(const struct tm &a, int year, int mon, int mday) {
    if (a.tm_year != year) return a.tm_year < year ? -1 : 1;
    if (a.tm_mon != mon) return a.tm_mon < mon ? -1 : 1;
    if (a.tm_mday != mday) return a.tm_mday < mday ? -1 : 1;
    return 0;
}

// First second of the local date year/mon/mday (struct tm conventions, may
// be out of range: mktime normalises them).  mktime chooses the
// daylight-saving flag, so the day key is the same whatever time of the
// day it is asked for.  Where midnight does not exist (a zone that springs
// forward at 00:00) the first existing second of the date is searched for.
// Returns -1 when the system cannot represent the date.
time_t LocalDateStart(int year, int mon, int mday) {
    // Noon always exists: it gives the normalised date and a time on it.
    struct tm noon = {};
    noon.tm_year = year;
    noon.tm_mon = mon;
    noon.tm_mday = mday;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    // mktime signals a date it cannot represent only through errno: with a
    // 32-bit time_t it may leave the fields as they were.
    errno = 0;
    time_t noon_t = mktime(&noon);
    if (noon_t == (time_t)-1 && errno != 0) return -1;
    year = noon.tm_year;
    mon = noon.tm_mon;
    mday = noon.tm_mday;

    struct tm midnight = {};
    midnight.tm_year = year;
    midnight.tm_mon = mon;
    midnight.tm_mday = mday;
    midnight.tm_isdst = -1;
    errno = 0;
    time_t t = mktime(&midnight);
    struct tm check, before;
    time_t prev = t - 1;
    if (t != (time_t)-1 && localtime_r(&t, &check) != nullptr && CompareDate(check, year, mon, mday) == 0 &&
        localtime_r(&prev, &before) != nullptr && CompareDate(before, year, mon, mday) < 0) {
        return t;
    }
    // Midnight is skipped on this date, or it comes twice (a fall-back at
    // 01:00 to 00:00) and mktime took the later one: find the first second
    // whose date is this one.  Local dates never go back across this
    // search, so bisecting from two days before noon finds it.
    time_t lo = noon_t - 2 * 86400;  // an earlier date
    time_t hi = noon_t;              // this date
    while (hi - lo > 1) {
        time_t mid = lo + (hi - lo) / 2;
        if (localtime_r(&mid, &check) == nullptr) return -1;
        if (CompareDate(check, year, mon, mday) < 0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return hi;
}

// Reads one "%d" field as scanf would (leading white space, optional sign,
// at least one digit), saturating instead of overflowing.  Returns the
// position after it, or null when no number stands there.
const char *ReadInt(const char *p, int *out) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return nullptr;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v < 100000000000LL) v = v * 10 + (*p - '0');
    }
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *out = (int)v;
    return p;
}

}  // namespace

time_t DayStartTime(time_t t) {
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return -1;
    return LocalDateStart(tm.tm_year, tm.tm_mon, tm.tm_mday);
}

time_t DateTextToDayStart(const char *text) {
    if (text == nullptr) return TK_NO_DAY_KEY;
    char buf[TK_DATE_TEXT_SIZE + 1];
    size_t n = strnlen(text, TK_DATE_TEXT_SIZE);
    memcpy(buf, text, n);
    buf[n] = '\0';

    // "%d-%d-%dT%d:%d:%d": only year, month and day are needed.
    int year = 0, month = 0, day = 0;
    const char *p = ReadInt(buf, &year);
    if (p == nullptr || *p++ != '-') return TK_NO_DAY_KEY;
    p = ReadInt(p, &month);
    if (p == nullptr || *p++ != '-') return TK_NO_DAY_KEY;
    p = ReadInt(p, &day);
    if (p == nullptr) return TK_NO_DAY_KEY;

    // Far beyond any date the store can hold; also keeps year - 1900 and
    // month - 1 from overflowing.
    const int kLimit = 1000000;
    if (year < -kLimit || year > kLimit || month < -kLimit || month > kLimit || day < -kLimit || day > kLimit) {
        return TK_NO_DAY_KEY;
    }
    time_t key = LocalDateStart(year - 1900, month - 1, day);
    if (key == (time_t)-1 || key < INT32_MIN || key > INT32_MAX) return TK_NO_DAY_KEY;
    return key;
}

int WaitFdReadable(int fd, struct timeval *timeout) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    return sigwrap_select(fd + 1, &readable, nullptr, nullptr, timeout);
}
