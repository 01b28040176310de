// Start-up, the card watch and every way the process stops; the calendar
// helpers that turn times and request dates into day keys; the FIFO wait.
#include "Trendkeep.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "SensorData.h"
#include "StoreData.h"
#include "platform/bmc_services.h"

// The tools build only the calendar at the end of this file
// (TRENDKEEP_SHARED_RULES_ONLY), so that they name days exactly as the
// store keys them.
#ifndef TRENDKEEP_SHARED_RULES_ONLY

#define TK_STR2(x) #x
#define TK_STR(x) TK_STR2(x)

// Exported for the platform libraries; the daemon itself never uses it.
unsigned char g_corefeatures[CORE_FEATURES_SIZE] __attribute__((visibility("default"))) = {};

char g_tfmountpath[TK_MOUNT_PATH_SIZE];
uint64_t g_tffreesize;
ClockFn g_clock = time;
SleepFn g_sleepms = [](unsigned milliseconds) {
    struct timespec left = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {}
};
ThreadCreateFn g_threadcreate = pthread_create;
MonotonicFn g_monotonicms = MonotonicMs;

int64_t MonotonicMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int ClockIsSet(int64_t t) { return t >= TK_CLOCK_FLOOR && t <= INT32_MAX ? 1 : 0; }

bool IsOwnFifoFd(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_uid == geteuid();
}

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

// True when what stands at path is a FIFO of the daemon's user, as seen on
// a descriptor of the entry itself (O_PATH opens nothing; a link is not
// followed).
bool IsOwnFifo(const char *path) {
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1) return false;
    bool own = IsOwnFifoFd(fd);
    close(fd);
    return own;
}

// How often a fresh name is drawn when one is taken, and how often the
// FIFO is put in place when others keep changing what stands there.
const int kFreshNameAttempts = 100;
const int kPlaceAttempts = 10;

// Writes "<path>.<six random letters or digits>" to out.
void FreshName(const char *path, char *out, size_t size) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != (ssize_t)sizeof random) {
        // No random source (a kernel before getrandom): the name need only
        // be new, and a name taken is drawn again.
        uint64_t mix = ((uint64_t)MonotonicMs() * 2654435761u) ^ ((uint64_t)getpid() << 20);
        memcpy(random, &mix, sizeof random);
    }
    char suffix[sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) suffix[i] = kLetters[random[i] % (sizeof kLetters - 1)];
    suffix[sizeof random] = '\0';
    snprintf(out, size, "%s.%s", path, suffix);
}

// What stood at path before the FIFO took its place now stands at aside:
// a FIFO of ours from an earlier run goes; anything else stays there,
// neither followed nor emptied, and is said.
void SetAside(const char *path, const char *aside) {
    if (IsOwnFifo(aside)) {
        unlink(aside);
        return;
    }
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "[%s:%d]Moved what stood at %s aside to %s\n", __FILE_NAME__, __LINE__,
                         path, aside);
}

// Makes the FIFO at path.  /var/tmp is writable by everyone, and the path
// may hold anything another user left there: a link, a file, a directory
// with files in it, or an entry that changes all the while.  So the FIFO
// is made under a fresh name of its own beside path, which nobody else
// can have made, and then put in place in one step: exchanged with what
// stands at path (SetAside), or renamed there when nothing does.  Once in
// place, the sticky directory keeps others from replacing it.  Returns 0
// on success, -1 with errno set on failure (EEXIST when others kept the
// path).
int MakeFifo(const char *path) {
    char fresh[PATH_MAX];
    int made = -1;
    for (int attempt = 0; made != 0 && attempt < kFreshNameAttempts; ++attempt) {
        FreshName(path, fresh, sizeof fresh);
        made = mkfifo(fresh, TK_FIFO_MODE);
        if (made != 0 && errno != EEXIST) return -1;
    }
    if (made != 0) return -1;
    for (int attempt = 0; attempt < kPlaceAttempts; ++attempt) {
        if (renameat2(AT_FDCWD, fresh, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
            SetAside(path, fresh);
            return 0;
        }
        // Nothing there, or a file system that cannot exchange: a rename
        // replaces all but a directory, which is moved aside first.
        if ((errno == ENOENT || errno == EINVAL) && rename(fresh, path) == 0) return 0;
        if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) {
            char aside[PATH_MAX];
            FreshName(path, aside, sizeof aside);
            if (rename(path, aside) == 0) SetAside(path, aside);
        } else if (errno != ENOENT) {
            int err = errno;
            unlink(fresh);
            errno = err;
            return -1;
        }
    }
    unlink(fresh);
    errno = EEXIST;
    return -1;
}

// ---------------------------------------------------------------------------
// Bus errors on the store's mappings

volatile sig_atomic_t g_storemappingfaulted = 0;
size_t g_pagesize = 4096;
// Written and read only on the store thread (the handler runs on the
// thread whose access faulted).
RecordTimeFile g_recordtimecopy;

// Replaces the mapping [base, base + len) by zero-filled anonymous memory
// when addr lies in it.  Returns true when it did.
bool ReplaceMappingHolding(void *base, size_t len, uintptr_t addr) {
    if (base == nullptr) return false;
    uintptr_t start = reinterpret_cast<uintptr_t>(base);
    size_t mapped = (len + g_pagesize - 1) / g_pagesize * g_pagesize;
    if (addr < start || addr - start >= mapped) return false;
    return mmap(base, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == base;
}

// Runs on the thread whose access faulted.  Only the store thread touches
// the store's mappings, and the array and mappings it looks at change only
// on that thread (or in a stop, after the store thread has left them).
void OnBusError(int sig, siginfo_t *info, void *) {
    int saved_errno = errno;
    // Only a page that cannot be read in: an access beyond the end of a
    // cut file, or a medium that failed.  A misaligned access is a bug and
    // keeps its default action.
    bool lost_page = info->si_code == BUS_ADRERR || info->si_code == BUS_OBJERR;
    uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
    bool replaced = false;
    StoreHandler *arr = RecordStore.SensorArr;
    for (uint32_t i = 0; lost_page && !replaced && arr != nullptr && i < RecordStore.RecordCount; ++i) {
        replaced = ReplaceMappingHolding(arr[i].Map, SENSOR_FILE_SIZE, addr);
    }
    RecordTimeFile *times = RecordStore.RecordTimeMap;
    if (lost_page && !replaced && ReplaceMappingHolding(times, RECORD_TIME_SIZE, addr)) {
        memcpy(static_cast<void *>(times), &g_recordtimecopy, sizeof g_recordtimecopy);
        replaced = true;
    }
    if (replaced) {
        g_storemappingfaulted = 1;
        errno = saved_errno;
        return;
    }
    // Not ours: die of it as if no handler were installed.  The signal is
    // blocked while the handler runs and is taken on return.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    errno = saved_errno;
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
    // CleanUp releases; it never gets them back.  A store thread that stays
    // inside its turn (waiting for the list mutex across a hung IPMI
    // exchange, say) may still be using them: release nothing then, and let
    // the exit do it.  Everything flushed is on the card already.
    bool store_left = StoreLockWithin(TK_STOP_WAIT_MS) == 0;
    if (how & TK_STOP_DEREGISTER) ProcMonitorDeRegister(TK_PROGRAM_PATH);
    if (how & TK_STOP_CLEANUP) {
        if (store_left) {
            CleanUp();
        } else {
            RemovePathIfPresent(TK_REQUEST_FIFO);
            RemovePathIfPresent(TK_RESPONSE_FIFO);
        }
    }
    fflush(nullptr);
    // The workers are still running: leave without running destructors
    // under their feet.
    _exit(status);
}

void ProcStopHandler(int) { StopProcess(0, TK_STOP_DEREGISTER | TK_STOP_CLEANUP); }

void StopOnCardLoss(void) {
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Check TFCard mount status failed!Program will exit!\n",
                               __FILE_NAME__, __LINE__);
    StopProcess(1, TK_STOP_DEREGISTER | TK_STOP_CLEANUP);
}

void InstallStoreBusErrorHandler(void) {
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_pagesize = (size_t)page;
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

int StoreMappingFaulted(void) { return g_storemappingfaulted != 0; }

void KeepRecordTimeCopy(void) {
    RecordTimeFile *times = RecordStore.RecordTimeMap;
    if (times != nullptr) memcpy(&g_recordtimecopy, static_cast<void *>(times), sizeof g_recordtimecopy);
}

int Init(void) {
    memset(g_tfmountpath, 0, sizeof g_tfmountpath);
    if (RefreshCardStatus() != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][StoreTrendkeep][%s][%d]Check mount path faied!",
                             TK_AT);  // frozen text: see Trendkeep.h
        return -1;
    }
    // What stands at the FIFO paths (a FIFO of an earlier run, or others'
    // entries) is replaced in the same step as the FIFO is put in place.
    if (MakeFifo(TK_REQUEST_FIFO) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Error while creating Zelvar trendkeep Request FIFO [errno-%d]\n",
                             __FILE_NAME__, __LINE__, errno);
        return -1;
    }
    if (MakeFifo(TK_RESPONSE_FIFO) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Error while creating Zelvar trendkeep Response FIFO [errno-%d]\n",
                             __FILE_NAME__, __LINE__, errno);
        return -1;
    }
    if (ProcMonitorRegister(TK_PROGRAM_PATH, 0, TK_MONITOR_NAME, ProcStopHandler, 0) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Process Monitor Register Trendkeep fails\n", __FILE_NAME__,
                             __LINE__);
    }
    return 0;
}

int TrendkeepMain(void) {
    // Writes to a peer that has gone (standard error a pipe whose reader
    // left, a FIFO) must fail with EPIPE, not end the daemon: its FIFOs
    // would be left behind and nothing deregistered.
    signal(SIGPIPE, SIG_IGN);
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "[Trendkeep][%d]Trendkeep Program started!\n", __LINE__);
    if (daemon_init() != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Error Daemonizing !!!\n", __FILE_NAME__, __LINE__);
    }
    if (save_pid(TK_PID_FILE) != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Save pid file %s failed [errno-%d]\n", __FILE_NAME__,
                                   __LINE__, TK_PID_FILE, errno);
    }
    if (Init() != 0) StopProcess(2, TK_STOP_CLEANUP);
    InstallStoreBusErrorHandler();

    // g_sensordatamutex is ready from the start (a static initialiser): a
    // second initialisation here could wipe a hold a thread already had.
    if (g_threadcreate(&g_sensortaskid, nullptr, SensorDataTask, nullptr) != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%s]Create thread SensorDataTask failed!", "main",
                                   TK_STR(__LINE__));
        StopProcess(255, TK_STOP_CLEANUP);
    }
    if (g_threadcreate(&g_storetaskid, nullptr, StoreSensorsDataToFileRecord, nullptr) != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%s]Create thread StoreSensorsDataToFileRecord failed!",
                                   "main", TK_STR(__LINE__));
        StopProcess(255, TK_STOP_CLEANUP);
    }

    while (RefreshCardStatus() == 0) g_sleepms(TK_CARD_WATCH_SECONDS * 1000);
    StopOnCardLoss();
}

#ifndef TRENDKEEP_NO_MAIN
int main(void) { return TrendkeepMain(); }
#endif

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

#endif  // TRENDKEEP_SHARED_RULES_ONLY

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

// Where t falls against the local date year/mon/mday: below 0 before it, 0
// on it, above 0 after it.  Returns false when t cannot be broken down.
bool CompareTimeToDate(time_t t, int year, int mon, int mday, int *order) {
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return false;
    *order = CompareDate(tm, year, mon, mday);
    return true;
}

// True when t is the first second of the local date year/mon/mday.
bool IsFirstSecondOf(time_t t, int year, int mon, int mday) {
    int on = 1, before = 0;
    if (t == std::numeric_limits<time_t>::min()) return false;
    return CompareTimeToDate(t, year, mon, mday, &on) && on == 0 &&
           CompareTimeToDate(t - 1, year, mon, mday, &before) && before < 0;
}

// Days from 1970-01-01 to the proleptic Gregorian date y-m-d (m 1 to 12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The date that lies days after 1970-01-01, in struct tm conventions.
void CivilFromDays(int64_t days, int *year, int *mon, int *mday) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = (int)(yoe + era * 400 + (m <= 2) - 1900);
    *mon = (int)(m - 1);
    *mday = (int)(doy - (153 * mp + 2) / 5 + 1);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// First second of the local date year/mon/mday (struct tm conventions,
// out-of-range months and days counted on as mktime does).  Only the
// date's own midnight, or a second near it, is ever converted: with a
// 32-bit time_t the last date that has a key (2038-01-19 in UTC) has no
// representable noon.  mktime chooses the daylight-saving flag, so the day
// key is the same whatever time of the day it is asked for.  Where midnight
// does not exist (a zone that springs forward at 00:00), or comes twice and
// mktime took the later one, the first second of the date is searched for.
// Returns -1 when the system cannot represent it.
time_t LocalDateStart(int year, int mon, int mday) {
    int64_t full_year = (int64_t)year + 1900 + FloorDiv(mon, 12);
    int64_t days = DaysFromCivil(full_year, mon - FloorDiv(mon, 12) * 12 + 1, 1) + ((int64_t)mday - 1);
    CivilFromDays(days, &year, &mon, &mday);

    struct tm midnight = {};
    midnight.tm_year = year;
    midnight.tm_mon = mon;
    midnight.tm_mday = mday;
    midnight.tm_isdst = -1;
    time_t t = mktime(&midnight);
    if (IsFirstSecondOf(t, year, mon, mday)) return t;

    // Local time is never more than about a day away from UTC, so two days
    // either side of the date's UTC midnight lie on an earlier and on a
    // later (or the same) local date.  Local dates never go back across
    // this search, so bisecting finds the date's first second.
    const int64_t kMin = std::numeric_limits<time_t>::min();
    const int64_t kMax = std::numeric_limits<time_t>::max();
    int64_t utc_midnight = days * 86400;
    time_t lo = (time_t)std::max(kMin, utc_midnight - 2 * 86400);
    time_t hi = (time_t)std::min(kMax, utc_midnight + 2 * 86400);
    int order = 0;
    if (!CompareTimeToDate(lo, year, mon, mday, &order) || order >= 0) return -1;
    if (!CompareTimeToDate(hi, year, mon, mday, &order) || order < 0) return -1;
    while (hi - lo > 1) {
        time_t mid = lo + (hi - lo) / 2;
        if (!CompareTimeToDate(mid, year, mon, mday, &order)) return -1;
        if (order < 0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    // A date that the zone skips altogether has no first second.
    if (!CompareTimeToDate(hi, year, mon, mday, &order) || order != 0) return -1;
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
