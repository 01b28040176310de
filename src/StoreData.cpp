// The history store on the TF card and the request service on the FIFOs.
#include "StoreData.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Trendkeep.h"
#include "platform/bmc_services.h"

void SensorFileName(const char *name, char out[SENSOR_FILE_NAME_SIZE]) {
    // A name from the controller may hold a '/', or be "", "." or "..":
    // as a file name it would leave the record directory or not exist at
    // all.  A name that is an entry the store itself keeps in the record
    // directory would take that entry's place; on a FAT card, names differ
    // only in more than letter case.  Such names get a stable stand-in;
    // every other name is its own file name.
    if (name[0] == '\0') {
        snprintf(out, SENSOR_FILE_NAME_SIZE, "%s", "_empty_");
    } else if (strcmp(name, ".") == 0) {
        snprintf(out, SENSOR_FILE_NAME_SIZE, "%s", "_dot_");
    } else if (strcmp(name, "..") == 0) {
        snprintf(out, SENSOR_FILE_NAME_SIZE, "%s", "_dotdot_");
    } else if (strcasecmp(name, RECORD_TIME_DIR) == 0) {
        snprintf(out, SENSOR_FILE_NAME_SIZE, "_%s_", name);
    } else {
        size_t i = 0;
        for (; name[i] != '\0' && i < SENSOR_FILE_NAME_SIZE - 1; ++i) out[i] = name[i] == '/' ? '_' : name[i];
        out[i] = '\0';
    }
}

int OpenEntryAt(int dir_fd, const char *name, int flags, mode_t type, struct stat *st) {
    memset(st, 0, sizeof *st);
    int path_fd;
    do {
        path_fd = openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    } while (path_fd == -1 && errno == EINTR);
    if (path_fd == -1) return -1;
    if (fstat(path_fd, st) != 0) {
        int err = errno;
        memset(st, 0, sizeof *st);
        close(path_fd);
        errno = err;
        return -1;
    }
    if ((st->st_mode & S_IFMT) != type) {
        close(path_fd);
        errno = S_ISLNK(st->st_mode) ? ELOOP : EINVAL;
        return -1;
    }
    // The descriptor's own name in /proc is a way to that very file,
    // whatever has happened to the entry since.
    char self[40];
    snprintf(self, sizeof self, "/proc/self/fd/%d", path_fd);
    int open_flags = (flags & ~(O_NOFOLLOW | O_CREAT | O_EXCL | O_TRUNC)) | O_NOCTTY | O_CLOEXEC;
    int fd;
    do {
        fd = open(self, open_flags);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0) {
        // No /proc: the entry is opened again by name, never waiting and
        // never following a link, and checked to be the same file below.
        do {
            fd = openat(dir_fd, name, open_flags | O_NOFOLLOW | O_NONBLOCK);
        } while (fd == -1 && errno == EINTR);
    }
    int err = errno;
    close(path_fd);
    struct stat opened;
    if (fd != -1 && (fstat(fd, &opened) != 0 || opened.st_dev != st->st_dev || opened.st_ino != st->st_ino)) {
        close(fd);
        fd = -1;
        err = EAGAIN;
    }
    errno = err;
    return fd;
}

// The tools build only the rules above (TRENDKEEP_SHARED_RULES_ONLY), so
// that they find a sensor's file as the daemon names it and open what a
// card holds as the daemon does.
#ifndef TRENDKEEP_SHARED_RULES_ONLY

RecordStoreState RecordStore = {0, -1, nullptr, nullptr, -1};
int RecordTimeFd = -1;

namespace {

// The store lock.  Each thread counts how deep it holds it, so the store
// thread can stop the process from inside the store without deadlocking.
pthread_mutex_t g_storemutex = PTHREAD_MUTEX_INITIALIZER;
thread_local int t_storedepth = 0;

}  // namespace

void StoreLock(void) {
    if (t_storedepth++ == 0) pthread_mutex_lock(&g_storemutex);
}

// Polled, not pthread_mutex_timedlock: that one measures against the wall
// clock, which may be set back while a stop waits.
int StoreLockWithin(unsigned ms) {
    const unsigned kPollMs = 10;
    if (t_storedepth == 0) {
        for (unsigned waited = 0; pthread_mutex_trylock(&g_storemutex) != 0; waited += kPollMs) {
            if (waited >= ms) return -1;
            struct timespec pause = {0, (long)kPollMs * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    ++t_storedepth;
    return 0;
}

void StoreUnlock(void) {
    if (--t_storedepth == 0) pthread_mutex_unlock(&g_storemutex);
}

int StoreLockDepth(void) { return t_storedepth; }

void StoreLockAbandon(void) {
    if (t_storedepth > 0) {
        t_storedepth = 0;
        pthread_mutex_unlock(&g_storemutex);
    }
}

int UnMmap(StoreHandler **arr, uint32_t count) {
    if (arr == nullptr || *arr == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "[%s][%d]Sensor arr is null,no need to Unmmap\n", __func__, __LINE__);
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        StoreHandler &h = (*arr)[i];
        if (h.Map != nullptr) {
            munmap(h.Map, SENSOR_FILE_SIZE);
            h.Map = nullptr;
        }
        if (h.Fd != -1) {
            sigwrap_close(h.Fd);
            h.Fd = -1;
        }
    }
    return 0;
}

namespace {
// Why the store records nothing in a turn: nothing (it records), a clock
// that cannot be read or reads beyond what the store's 32-bit times hold
// (2038 on), or a clock not yet set.  Either would switch every file to a
// day before all others and empty the whole card.  A store released
// forgets it: the next one says again why it holds.
enum ClockState { kClockSet, kClockOutOfRange, kClockNotSet };
ClockState g_clockstate = kClockSet;
}  // namespace

int ReleaseStore(void) {
    g_clockstate = kClockSet;
    if (RecordTimeFd != -1) {
        sigwrap_close(RecordTimeFd);
        RecordTimeFd = -1;
    }
    if (RecordStore.SensorArr != nullptr) {
        UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
        free(RecordStore.SensorArr);
        RecordStore.SensorArr = nullptr;
        RecordStore.RecordCount = 0;
    }
    if (RecordStore.RecordTimeMap != nullptr) {
        munmap(RecordStore.RecordTimeMap, RECORD_TIME_SIZE);
        RecordStore.RecordTimeMap = nullptr;
    }
    if (RecordStore.RequestFifoFd != -1) {
        sigwrap_close(RecordStore.RequestFifoFd);
        RecordStore.RequestFifoFd = -1;
    }
    if (RecordStore.ResponseFifoFd != -1) {
        sigwrap_close(RecordStore.ResponseFifoFd);
        RecordStore.ResponseFifoFd = -1;
    }
    return 0;
}

int CleanUp(void) {
    ReleaseStore();
    RemovePathIfPresent(TK_REQUEST_FIFO);
    RemovePathIfPresent(TK_RESPONSE_FIFO);
    return 0;
}

// ---------------------------------------------------------------------------
// Store initialisation

int ZelvarCommandToBuff(const char *cmd, char *buf, int size) {
    if (cmd == nullptr || buf == nullptr || size <= 0) return -1;
    FILE *out = popen(cmd, "r");
    if (out == nullptr) return -1;
    if (fgets(buf, size, out) == nullptr) buf[0] = '\0';
    // Read the rest too: a command whose output fills the pipe would
    // otherwise never end, and pclose would wait for it for ever.
    char rest[256];
    while (fread(rest, 1, sizeof rest, out) > 0) {}
    pclose(out);
    return 0;
}

namespace {

const unsigned kListPollMs = 1000;
// The day-time directory below the mount path, and the permission bits of
// the files the store creates (those the platform gives its own files).
const char kTimeDirRel[] = RECORD_DIR "/" RECORD_TIME_DIR;
const mode_t kStoreFileMode = 0644;
const mode_t kStoreDirMode = 0755;

bool ListIsReady(LocalDataHdr *hdr) {
    pthread_mutex_lock(&g_sensordatamutex);
    bool ready = hdr->ListReady == 1;
    pthread_mutex_unlock(&g_sensordatamutex);
    return ready;
}

// openat, carried on across interruptions as the platform's open is.
int OpenAt(int dir_fd, const char *name, int flags) {
    int fd;
    do {
        fd = (flags & O_CREAT) != 0 ? openat(dir_fd, name, flags, kStoreFileMode) : openat(dir_fd, name, flags);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

// How often a component of a store directory is made and opened again
// when something else keeps taking its place.
const int kStoreDirAttempts = 3;

// Opens the directory rel ("a/b") below the card's mount path.  The mount
// path is the system's and may be followed; every entry below it is the
// card's, chosen by whoever wrote the card (or writes to it now), so each
// component is opened only as a real directory, never through a link, in
// the directory opened before it.  With make, a missing component is made
// there (mkdirat), never at the end of a path: a link planted on the way,
// even while this runs, cannot lead the creation off the card.  A
// component that is anything else (a link, a file, a FIFO) is removed
// first, the entry itself and never what a link points to.  Returns the
// descriptor, or -1.
int OpenStoreDir(const char *mount, const char *rel, bool make) {
    int fd = OpenAt(AT_FDCWD, mount[0] != '\0' ? mount : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const char *part = rel; fd != -1 && *part != '\0';) {
        std::string name(part, strcspn(part, "/"));
        part += name.size();
        if (*part == '/') ++part;
        int next = OpenAt(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        for (int attempt = 0; make && next == -1 && attempt < kStoreDirAttempts; ++attempt) {
            struct stat st;
            if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
                unlinkat(fd, name.c_str(), 0);
            }
            mkdirat(fd, name.c_str(), kStoreDirMode);
            next = OpenAt(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        sigwrap_close(fd);
        fd = next;
    }
    return fd;
}

bool IsDirectoryEntry(int dir_fd, const struct dirent *de) {
    if (de->d_type == DT_DIR) return true;
    if (de->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dir_fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// A store file the daemon may take as it stands: a regular file (no link,
// FIFO or device) of exactly the format's size, made by the daemon's own
// user, and with no other name (through a hard link, writes would reach a
// file elsewhere).
bool IsOwnStoreFile(const struct stat &st, off_t size) {
    return S_ISREG(st.st_mode) && st.st_size == size && st.st_uid == geteuid() && st.st_nlink == 1;
}

// Gives a freshly created file its length.  A file that cannot get it is
// not used: mapped short, its first access would kill the process with
// SIGBUS.  Returns fd, or -1 with fd closed.
int SizeNewFile(int fd, off_t size) {
    if (fd == -1) return -1;
    if (ftruncate(fd, size) != 0) {
        sigwrap_close(fd);
        return -1;
    }
    return fd;
}

// Opens the store file name of the directory dir_fd with flags when it is
// our own of the given size (IsOwnStoreFile).  Anything else standing
// there (another size or owner, a link, a FIFO) is removed and the file
// created again, empty, with create_flags.  Only a regular file is ever
// opened (OpenEntryAt), never a device or FIFO swapped in since the entry
// was looked at.  A file of ours that cannot be opened, or an entry that
// cannot even be looked at (a failing medium), is left alone: it may hold
// history.  Returns the descriptor, or -1.
int OpenStoreFile(int dir_fd, const char *name, off_t size, int flags, int create_flags) {
    if (dir_fd == -1) return -1;
    struct stat st;
    int fd = OpenEntryAt(dir_fd, name, flags, S_IFREG, &st);
    bool own = IsOwnStoreFile(st, size);
    if (fd != -1 && own) return fd;
    if (fd != -1) sigwrap_close(fd);
    bool looked_at = (st.st_mode & S_IFMT) != 0;
    if (fd == -1 && (own || (!looked_at && errno != ENOENT))) return -1;
    unlinkat(dir_fd, name, 0);
    return SizeNewFile(OpenAt(dir_fd, name, create_flags | O_EXCL | O_NOFOLLOW | O_CLOEXEC), size);
}

// Finds the first entry of the record directory dir_fd, directories aside,
// whose name is file_name or a leading part of it; copies its name to
// match.  Returns 1 when found, 0 when not, -1 when the directory cannot
// be read.
int FindSensorFileEntry(int dir_fd, const char *file_name, std::string *match) {
    // A directory stream of its own: each scan reads from the start.
    int fd = OpenAt(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd == -1 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd != -1) sigwrap_close(fd);
        return -1;
    }
    int found = 0;
    while (struct dirent *de = readdir(d)) {
        if (IsDirectoryEntry(dirfd(d), de)) continue;
        if (strncmp(de->d_name, file_name, strlen(de->d_name)) == 0) {
            *match = de->d_name;
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

void StampSlots(DayBlock *block, uint32_t day_key) {
    for (int s = 0; s < SLOTS_PER_DAY; ++s) block->Slots[s].SlotTime = day_key + (uint32_t)(SLOT_SECONDS * s);
}

}  // namespace

DayBlock *BlockForDay(SensorDataFile *file, int32_t day_key) {
    for (DayBlock &block : file->Days) {
        if (block.DayKey == day_key) return &block;
    }
    for (DayBlock &block : file->Days) {
        if (block.DayKey == 0) return &block;
    }
    // A block dated after the day was recorded under a clock that ran
    // ahead.  Never the oldest, it would otherwise outlive every real day,
    // and each new day would take the one block of real history left.
    for (DayBlock &block : file->Days) {
        if (block.DayKey > day_key) return &block;
    }
    DayBlock *oldest = &file->Days[0];
    for (DayBlock &block : file->Days) {
        if (block.DayKey < oldest->DayKey) oldest = &block;
    }
    return oldest;
}

namespace {

void CopyHeaderName(const SensorDataFile *file, char name[SENSOR_NAME_SIZE + 1]) {
    memcpy(name, file->Header.SensorName, SENSOR_NAME_SIZE);
    name[SENSOR_NAME_SIZE] = '\0';
}

}  // namespace

int PrepareRecordDayBlock(StoreHandler **arr, LocalDataHdr *hdr, RecordTimeFile *rt, uint32_t i) {
    SensorDataFile *file = (*arr)[i].Map;
    const LocalSensorData &e = hdr->SensorData[i];
    size_t len = strnlen(e.SensorName, SENSOR_NAME_SIZE - 1);
    if (strncmp(file->Header.SensorName, e.SensorName, len) != 0) {
        memcpy(file->Header.SensorName, e.SensorName, len);
        file->Header.SensorName[len] = '\0';
    }
    if (file->Header.SensorNum != e.SensorNum) file->Header.SensorNum = e.SensorNum;
    file->Header.SensorClass = e.SensorClass;

    uint32_t recorded_day = rt->RecordDay;
    if (recorded_day != 0) {
        for (DayBlock &block : file->Days) {
            if (block.DayKey == (int32_t)recorded_day) {
                StampSlots(&block, recorded_day);
                return 0;
            }
        }
    }
    // The recorded day is not held: take a block for today as the day
    // switch would (a new file gives block 0).  Its old contents stay until
    // the day switch of the first turn clears it.  A block that holds today
    // already (a start that ended before its first turn) is taken as it is.
    // A clock not yet set names no today: no block is taken, none emptied.
    time_t now = g_clock(nullptr);
    int32_t today = ClockIsSet(now) ? (int32_t)DayStartTime(now) : 0;
    if (today <= 0) return 0;
    DayBlock *block = BlockForDay(file, today);
    block->DayKey = today;
    StampSlots(block, (uint32_t)today);
    return 0;
}

namespace {

// The store's start is one operation of the design, InitSensorDataRecordSt:
// its steps below log under that name.
const char kInitFunc[] = "InitSensorDataRecordSt";
#define TK_INIT_AT __FILE_NAME__, __LINE__, kInitFunc, __LINE__

// Ends the process, deregistered, when the card cannot hold all n sensor
// data files and the record time file.  Every start asks for the full size
// of all files, those already on the card included, and equality is not
// enough.  64-bit, so no sensor count can wrap the need.
void CheckCardSpace(uint32_t n, uint64_t free_kb) {
    uint64_t need = (uint64_t)n * SENSOR_FILE_SIZE + RECORD_TIME_SIZE;
    uint64_t free_bytes = free_kb * 1024;
    if (free_bytes <= need) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL,
                                   "[%s][%d]TF card free size not enough,need:%lld(byte),Free:%lld(byte)\n", kInitFunc,
                                   __LINE__, (long long)need, (long long)free_bytes);
        StopProcess(1, TK_STOP_DEREGISTER);
    }
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL,
                               "[%s][%d]TF card free size is enough,need:%lld(byte),Free:%lld(byte)\n", kInitFunc,
                               __LINE__, (long long)need, (long long)free_bytes);
}

// Opens the record time file in the day-time directory, or creates it with
// zeros, making the directories first when they are missing, maps it
// into RecordStore.RecordTimeMap and flushes it once.  The descriptors are closed again on every path.
// Returns 0 on success, -1 on failure.
int MapRecordTimeFile(const char *mount) {
    char time_dir[128] = {};
    snprintf(time_dir, sizeof time_dir, "%s/%s/%s", mount, RECORD_DIR, RECORD_TIME_DIR);
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "[%s][%d]Record Time Path:%s\n", kInitFunc, __LINE__, time_dir);
    // Makes the record directory too.
    int dir_fd = OpenStoreDir(mount, kTimeDirRel, true);
    RecordTimeFd = OpenStoreFile(dir_fd, RECORD_TIME_FILE, RECORD_TIME_SIZE, STORE_OPEN_RW, STORE_OPEN_RW_CREATE);
    if (dir_fd != -1) sigwrap_close(dir_fd);
    if (RecordTimeFd == -1) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Open record time file failed\n", TK_INIT_AT);
        return -1;
    }
    void *map = mmap(nullptr, RECORD_TIME_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, RecordTimeFd, 0);
    sigwrap_close(RecordTimeFd);
    RecordTimeFd = -1;
    if (map == MAP_FAILED) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Mmap record time file failed\n", TK_INIT_AT);
        return -1;
    }
    RecordStore.RecordTimeMap = static_cast<RecordTimeFile *>(map);
    if (msync(RecordStore.RecordTimeMap, RECORD_TIME_SIZE, MS_SYNC | MS_INVALIDATE) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Update record time to file falied while init\n",
                             TK_INIT_AT);  // frozen text: see Trendkeep.h
        return -1;
    }
    return 0;
}

// Allocates the sensor array of n handlers, none open or mapped yet.
// Returns 0 on success, -1 on failure.
int AllocStoreHandlers(StoreHandler **arr, uint32_t n) {
    *arr = static_cast<StoreHandler *>(calloc(n ? n : 1, sizeof(StoreHandler)));
    if (*arr == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Alloc Sensor arr to store handler space failed\n",
                             TK_INIT_AT);
        return -1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        (*arr)[i].Fd = -1;
        (*arr)[i].Map = nullptr;
    }
    return 0;
}

// Opens the sensor data file file_name in the record directory, making the
// directory when it is missing.
// A file the scan finds is kept when it is ours and of the format's size;
// anything else, or only a leading part of the name matching, starts the
// sensor's own file afresh.  Returns the descriptor, or -1.
int OpenSensorFile(const char *mount, const char *record_dir, const char *file_name) {
    std::string match;
    int dir_fd = OpenStoreDir(mount, RECORD_DIR, true);
    bool found = dir_fd != -1 && FindSensorFileEntry(dir_fd, file_name, &match) == 1;
    int fd;
    if (found) {
        fd = OpenStoreFile(dir_fd, file_name, SENSOR_FILE_SIZE, STORE_OPEN_RW_SYNC, STORE_OPEN_RW_CREATE_SYNC);
    } else {
        fd = OpenStoreFile(dir_fd, file_name, SENSOR_FILE_SIZE, STORE_OPEN_RW, STORE_OPEN_RW_CREATE);
    }
    if (dir_fd != -1) sigwrap_close(dir_fd);
    if (fd == -1) {
        char file_path[512] = {};
        snprintf(file_path, sizeof file_path, "%s/%s", record_dir, file_name);
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Create sensor data file %s failed\n", TK_INIT_AT,
                             found ? match.c_str() : file_path);
    }
    return fd;
}

// Maps list entry i's file from fd into the sensor array (the descriptor
// is closed once mapped), brings its header and day block in line and
// flushes it.  Returns 0 on success, -1 on failure.
int MapSensorFile(StoreHandler **arr, LocalDataHdr *hdr, uint32_t i, int fd, const char *entry_name) {
    StoreHandler &h = (*arr)[i];
    h.Fd = fd;
    void *map = mmap(nullptr, SENSOR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, h.Fd, 0);
    if (map == MAP_FAILED) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Mmap failed,index:%d,sensornum:%d,sensorname:%s\n",
                             TK_INIT_AT, (int)i, (int)hdr->SensorData[i].SensorNum, entry_name);
        return -1;
    }
    h.Map = static_cast<SensorDataFile *>(map);
    sigwrap_close(h.Fd);
    h.Fd = -1;
    PrepareRecordDayBlock(arr, hdr, RecordStore.RecordTimeMap, i);
    h.SensorNum = h.Map->Header.SensorNum;
    if (msync(h.Map, SENSOR_FILE_SIZE, MS_SYNC | MS_INVALIDATE) != 0) {
        char header_name[SENSOR_NAME_SIZE + 1];
        CopyHeaderName(h.Map, header_name);
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,  // frozen text: see Trendkeep.h
                             "[%s:%d][%s][%d]Update mem to file falied,index:%d,sensornum:%d,sensorname:%s\n",
                             TK_INIT_AT, (int)i, (int)h.Map->Header.SensorNum, header_name);
        return -1;
    }
    ReleaseFilePages(h.Map);
    return 0;
}

// Opens, maps and prepares the sensor data file of every list entry, in
// list order.  Returns 0 on success, -1 at the first failure.
int SetUpSensorFiles(StoreHandler **arr, LocalDataHdr *hdr, uint32_t n, const char *mount) {
    char record_dir[128] = {};
    snprintf(record_dir, sizeof record_dir, "%s/%s", mount, RECORD_DIR);
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "[%s][%d]RecordDir Path:%s\n", kInitFunc, __LINE__, record_dir);
    for (uint32_t i = 0; i < n; ++i) {
        char entry_name[SENSOR_NAME_SIZE];
        memcpy(entry_name, hdr->SensorData[i].SensorName, SENSOR_NAME_SIZE);
        entry_name[SENSOR_NAME_SIZE - 1] = '\0';
        char file_name[SENSOR_FILE_NAME_SIZE];
        SensorFileName(entry_name, file_name);
        int fd = OpenSensorFile(mount, record_dir, file_name);
        if (fd == -1 || MapSensorFile(arr, hdr, i, fd, entry_name) != 0) return -1;
    }
    return 0;
}

// Undoes a start that failed part-way: the sensor array's mappings and
// descriptors, the array, and the record time mapping.
void UndoStoreInit(StoreHandler **arr, uint32_t n) {
    if (*arr != nullptr) {
        UnMmap(arr, n);
        free(*arr);
        *arr = nullptr;
    }
    if (RecordStore.RecordTimeMap != nullptr) {
        munmap(RecordStore.RecordTimeMap, RECORD_TIME_SIZE);
        RecordStore.RecordTimeMap = nullptr;
    }
}

}  // namespace

int InitSensorDataRecordSt(StoreHandler **arr, LocalDataHdr *hdr) {
    if (hdr == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]SensorDataList is null\n", TK_AT);
        return -1;
    }
    while (!ListIsReady(hdr)) g_sleepms(kListPollMs);

    // Once ready, the list's shape never changes again.
    pthread_mutex_lock(&g_sensordatamutex);
    uint32_t n = hdr->SensorCount;
    pthread_mutex_unlock(&g_sensordatamutex);
    RecordStore.RecordCount = n;

    char mount[TK_MOUNT_PATH_SIZE];
    uint64_t free_kb = 0;
    CopyCardStatus(mount, &free_kb);
    CheckCardSpace(n, free_kb);

    // Each step runs only when every one before it succeeded, so the
    // failure that is logged is the first one.
    int rc = MapRecordTimeFile(mount);
    if (rc == 0) rc = AllocStoreHandlers(arr, n);
    if (rc == 0) rc = SetUpSensorFiles(arr, hdr, n, mount);
    if (rc != 0) UndoStoreInit(arr, n);
    return rc;
}

#undef TK_INIT_AT

// ---------------------------------------------------------------------------
// Recording

namespace {

// A list entry's key: its number and name bytes, laid out as a file
// header's first bytes.  The entry's file is the first whose header holds
// the key's number and, over the length of the entry's name, its name: the
// first KeyLength bytes of the key.
constexpr size_t kKeySize = sizeof(uint16_t) + SENSOR_NAME_SIZE;
static_assert(offsetof(SensorFileHeader, SensorName) == sizeof(uint16_t) &&
                  offsetof(SensorFileHeader, SensorClass) == kKeySize,
              "a header's number and name are its first bytes");

void EntryKey(const LocalSensorData &e, uint8_t key[kKeySize]) {
    uint16_t num = e.SensorNum;
    memcpy(key, &num, sizeof num);
    memcpy(key + sizeof num, e.SensorName, SENSOR_NAME_SIZE);
}

size_t KeyLength(const LocalSensorData &e) { return sizeof(uint16_t) + strnlen(e.SensorName, SENSOR_NAME_SIZE); }

SensorDataFile *FindEntryFile(StoreHandler *arr, uint32_t count, const LocalSensorData &e) {
    uint8_t key[kKeySize];
    EntryKey(e, key);
    size_t len = KeyLength(e);
    for (uint32_t h = 0; h < count; ++h) {
        SensorDataFile *file = arr[h].Map;
        if (file != nullptr && memcmp(file, key, len) == 0) return file;
    }
    return nullptr;
}

DayBlock *FindDayBlock(SensorDataFile *file, int32_t day_key) {
    for (DayBlock &block : file->Days) {
        if (block.DayKey == day_key) return &block;
    }
    return nullptr;
}

int FindSlot(const DayBlock *block, uint32_t slot_time) {
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        if (block->Slots[s].SlotTime == slot_time) return s;
    }
    return -1;
}

// True when the first n slots of the block carry the times they are
// stamped with, DayKey + 300 * s.  The first slot with time DayKey + 300 * k
// (k < n) is then slot k, which the plain search finds having read slots 0
// to k.  Slots from n on are not read: the plain search of a walk of n
// steps would not read them either, and they may lie beyond what is mapped.
bool SlotsAreStamped(const DayBlock *block, int n) {
    uint32_t expected = (uint32_t)block->DayKey;
    for (int s = 0; s < n; ++s, expected += SLOT_SECONDS) {
        if (block->Slots[s].SlotTime != expected) return false;
    }
    return true;
}

// Which file each list entry records into.  Searching costs a comparison
// with every handler for every entry, every five minutes, although the
// headers and the list's names do not change once the store is up.  So the
// answers are kept, together with a copy of everything the search reads:
// the handler count, each handler's mapping, the number and name bytes of
// each file's header and of each entry.  While all of that is
// unchanged the kept answers are exactly what the search would give; any
// change (a test or a tool rewriting a header, another array) makes the
// recorder search again.  A list longer than the room here is searched
// every time.
constexpr uint32_t kEntryFileRoom = 512;

struct EntryFileCache {
    bool Valid;
    uint32_t HandlerCount;
    uint32_t EntryCount;
    SensorDataFile *Maps[kEntryFileRoom];
    uint8_t HeaderKeys[kEntryFileRoom][kKeySize];
    uint8_t EntryKeys[kEntryFileRoom][kKeySize];
    SensorDataFile *FileOf[kEntryFileRoom];  // null for none
};
EntryFileCache g_entryfiles;

bool EntryFilesStillHold(const EntryFileCache &c, StoreHandler *arr, uint32_t count, const LocalDataHdr *hdr) {
    if (!c.Valid || c.HandlerCount != count || c.EntryCount != hdr->SensorCount) return false;
    for (uint32_t h = 0; h < count; ++h) {
        SensorDataFile *file = arr[h].Map;
        if (file != c.Maps[h]) return false;
        bool same = file == nullptr || memcmp(file, c.HeaderKeys[h], kKeySize) == 0;
        ReleaseFilePages(file);
        if (!same) return false;
    }
    uint8_t key[kKeySize];
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        EntryKey(hdr->SensorData[i], key);
        if (memcmp(key, c.EntryKeys[i], kKeySize) != 0) return false;
    }
    return true;
}

void FindEntryFiles(EntryFileCache *c, StoreHandler *arr, uint32_t count, const LocalDataHdr *hdr) {
    c->Valid = false;
    if (arr == nullptr || count > kEntryFileRoom || hdr->SensorCount > kEntryFileRoom) return;
    c->HandlerCount = count;
    c->EntryCount = hdr->SensorCount;
    for (uint32_t h = 0; h < count; ++h) {
        c->Maps[h] = arr[h].Map;
        if (arr[h].Map != nullptr) memcpy(c->HeaderKeys[h], arr[h].Map, kKeySize);
        ReleaseFilePages(arr[h].Map);
    }
    // FindEntryFile's match, made on the copies of the headers.
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        const LocalSensorData &e = hdr->SensorData[i];
        EntryKey(e, c->EntryKeys[i]);
        size_t len = KeyLength(e);
        c->FileOf[i] = nullptr;
        for (uint32_t h = 0; h < count && c->FileOf[i] == nullptr; ++h) {
            if (c->Maps[h] != nullptr && memcmp(c->HeaderKeys[h], c->EntryKeys[i], len) == 0) c->FileOf[i] = c->Maps[h];
        }
    }
    c->Valid = true;
}

}  // namespace

int g_storespeedups = 1;

void RecordSensorsDataToMem(LocalDataHdr *hdr, StoreHandler *arr, uint32_t slot_start, uint32_t day_key) {
    uint32_t count = RecordStore.RecordCount;
    EntryFileCache &files = g_entryfiles;
    bool fast = g_storespeedups != 0;
    if (fast && arr != nullptr && !EntryFilesStillHold(files, arr, count, hdr)) FindEntryFiles(&files, arr, count, hdr);
    // The recorder writes only behind the headers, so the answers hold for
    // the whole turn.
    bool cached = fast && arr != nullptr && files.Valid;
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        LocalSensorData &e = hdr->SensorData[i];
        SensorDataFile *file = nullptr;
        if (cached) {
            file = files.FileOf[i];
        } else if (arr != nullptr) {
            file = FindEntryFile(arr, count, e);
        }
        DayBlock *block = file ? FindDayBlock(file, (int32_t)day_key) : nullptr;
        int s = block ? FindSlot(block, slot_start) : -1;
        // Only what was measured is recorded: an entry that no refresh
        // could read since the last recording (a sensor unavailable, a
        // controller unreachable, a figure the store did not give) leaves
        // its slot as the day switch made it, unrecorded with zero figures,
        // never its old figures.
        if (s >= 0 && e.InUse == 1 && e.Valid == 1) {
            SampleSlot &slot = block->Slots[s];
            slot.Recorded = 1;
            slot.Reading = e.Reading;
            slot.MaxReading = e.MaxReading;
            slot.MinReading = e.MinReading;
            slot.AvgReading = e.AvgReading;
            // The first slot of the day seeds the extremes with the slot's
            // start; later ones only widen them, with the refresh times.
            double max = slot.MaxReading;
            double min = slot.MinReading;
            if (block->StatsValid == 0) {
                block->DayMax = max;
                block->DayMin = min;
                block->DayMaxTime = slot_start;
                block->DayMinTime = slot_start;
            }
            if (block->DayMax < max) {
                block->DayMax = max;
                block->DayMaxTime = e.MaxTime;
            }
            if (min != 0.0 && block->DayMin > min) {
                block->DayMin = min;
                block->DayMinTime = e.MinTime;
            }
            // Written only when it changes: a store of the same byte would
            // still dirty the block head's page, and the flush would then
            // write two pages of the file each turn instead of one.
            if (!fast || block->StatsValid != 1) block->StatsValid = 1;
        }
        // What was written stays dirty in the page cache for the flush.
        if (cached) ReleaseFilePages(file);
        e.Valid = 0;
    }
    hdr->DataReady = 0;
}

void ReleaseFilePages(SensorDataFile *file) {
    if (file != nullptr) madvise(file, SENSOR_FILE_SIZE, MADV_DONTNEED);
}

int UpdateMemToFile(StoreHandler *arr, uint32_t count) {
    if (arr == nullptr) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        SensorDataFile *file = arr[i].Map;
        if (file == nullptr) continue;
        if (msync(file, SENSOR_FILE_SIZE, MS_SYNC) < 0) {
            char name[SENSOR_NAME_SIZE + 1];
            CopyHeaderName(file, name);
            IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,
                                 "[%s:%d][%s][%d]Update mem to file failed,index:%d,sensor num:%d,sensor name:%s\n",
                                 TK_AT, (int)i, (int)file->Header.SensorNum, name);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Day switch and history query

int SwitchRecordDay(StoreHandler *arr, uint32_t count, int32_t day_key, int went_back) {
    for (uint32_t i = 0; i < count; ++i) {
        SensorDataFile *file = arr[i].Map;
        if (file == nullptr) continue;
        DayBlock *chosen = BlockForDay(file, day_key);
        chosen->DayKey = day_key;
        memset(chosen->Slots, 0, sizeof chosen->Slots);
        chosen->StatsValid = 0;
        StampSlots(chosen, (uint32_t)day_key);
        if (went_back == 1) {
            for (DayBlock &block : file->Days) {
                if (block.DayKey > day_key) memset(&block, 0, sizeof block);
            }
        }
    }
    return 0;
}

void SetQueryWindow(SensorDataQuery *query, int32_t day_start, int32_t now) {
    query->StartTime = day_start;
    // Under a clock not yet set every day held lies in the past.
    if (!ClockIsSet(now) || (int64_t)now - day_start > DAY_SECONDS) {
        query->EndTime = (int32_t)((int64_t)day_start + DAY_LAST_SECOND);
    } else {
        query->EndTime = (int32_t)((int64_t)now / SLOT_SECONDS * SLOT_SECONDS);
    }
}

namespace {

// The first mapped file of sensor number num, or null.  Only the file
// found is touched.
StoreHandler *FindSensorFile(StoreHandler *arr, uint32_t count, uint16_t num) {
    for (uint32_t i = 0; arr != nullptr && i < count; ++i) {
        if (arr[i].Map != nullptr && arr[i].SensorNum == num && arr[i].Map->Header.SensorNum == num) return &arr[i];
    }
    return nullptr;
}

}  // namespace

int SearchSensorDataFromFile(StoreHandler *arr, SensorDataQuery *query, uint32_t count) {
    uint16_t num = query->SensorNum;
    StoreHandler *found = FindSensorFile(arr, count, num);
    SensorDataFile *file = found != nullptr ? found->Map : nullptr;
    if (file == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Match sensor failed,sensor num:%d\n", TK_AT, (int)num);
        return -1;
    }
    DayBlock *block = FindDayBlock(file, query->StartTime);
    if (block == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Request datatime invalied\n",
                             TK_AT);  // frozen text: see Trendkeep.h
        return 1;
    }
    int32_t end = query->EndTime;
    if (end > query->StartTime) {
        bool first = true;
        // The block's DayKey is StartTime, so where the slots of the walk are
        // stamped as the store stamps them the time of step k lies first in
        // slot k.  Any other block is searched slot by slot.
        int64_t steps = ((int64_t)end - query->StartTime + SLOT_SECONDS - 1) / SLOT_SECONDS;
        int walked = steps < SLOTS_PER_DAY ? (int)steps : SLOTS_PER_DAY;
        bool stamped = g_storespeedups != 0 && SlotsAreStamped(block, walked);
        int64_t t = query->StartTime;
        for (int k = 0; k < SLOTS_PER_DAY && t < end; ++k, t += SLOT_SECONDS) {
            int s = stamped ? k : FindSlot(block, (uint32_t)t);
            if (s < 0) continue;
            // Whether the slot was ever recorded does not matter here: an
            // empty slot of the window counts with its zero readings.
            const SampleSlot &from = block->Slots[s];
            SampleSlot &to = query->Slots[s];
            to = from;
            to.SlotTime = (uint32_t)t;
            double max = from.MaxReading;
            double min = from.MinReading;
            if (first) {
                query->MaxValue = max;
                query->MinValue = min;
                query->MaxTime = (uint32_t)t;
                query->MinTime = (uint32_t)t;
                first = false;
            } else {
                if (query->MaxValue < max) {
                    query->MaxValue = max;
                    query->MaxTime = (uint32_t)t;
                }
                if (query->MinValue > min) {
                    query->MinValue = min;
                    query->MinTime = (uint32_t)t;
                }
            }
        }
    }
    // The day's stored extremes win wherever they were seen within the window.
    if (end >= (int32_t)block->DayMaxTime) {
        query->MaxValue = block->DayMax;
        query->MaxTime = block->DayMaxTime;
    }
    if (end >= (int32_t)block->DayMinTime) {
        query->MinValue = block->DayMin;
        query->MinTime = block->DayMinTime;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Request service

namespace {

// How long a requester may take to finish a record it has begun, and how
// long the response FIFO may stay full before a response is dropped.
const int kPartialRequestWaitMs = 1000;
const int kResponseWriteWaitMs = 1000;
const int kRequestWaitSeconds = 1;

// Opens one of the daemon's FIFOs read-write, never through a link, and
// makes sure it is a FIFO of the daemon's user (IsOwnFifoFd).
// Non-blocking, so that neither a half-written request nor a full response
// FIFO can stop the thread.  Returns the descriptor, or -1.
int OpenFifo(const char *path) {
    int fd = sigwrap_open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return -1;
    if (!IsOwnFifoFd(fd)) {
        sigwrap_close(fd);
        return -1;
    }
    return fd;
}

bool WaitWritable(int fd, int ms) {
    if (fd < 0 || fd >= FD_SETSIZE) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return sigwrap_select(fd + 1, nullptr, &set, nullptr, &tv) > 0;
}

// Writes a whole response to the response FIFO.  A requester that reads
// gets it in one write; one that has stopped reading costs at most about
// a second, after which the rest is dropped.  Returns the bytes written.
ssize_t WriteResponse(const void *buf, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    int64_t deadline = MonotonicMs() + kResponseWriteWaitMs;
    while (done < len) {
        ssize_t n = sigwrap_write(RecordStore.ResponseFifoFd, p + done, len - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        int64_t left = deadline - MonotonicMs();
        if (left <= 0 || !WaitWritable(RecordStore.ResponseFifoFd, (int)left)) break;
    }
    return (ssize_t)done;
}

void LogShortWrite(const char *what, ssize_t written, int line) {
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Write Sensor %s to pipe:%s failed,write len = %d\n",
                         __FILE_NAME__, line, "StoreSensorsDataToFileRecord", line, what, TK_RESPONSE_FIFO,
                         (int)written);
}

void AnswerCount(void) {
    pthread_mutex_lock(&g_sensordatamutex);
    if (g_localdatahdr.ListReady == 1) {
        uint32_t count = g_localdatahdr.SensorCount;
        ssize_t n = WriteResponse(&count, sizeof count);
        if (n != (ssize_t)sizeof count) LogShortWrite("count", n, __LINE__);
    }
    pthread_mutex_unlock(&g_sensordatamutex);
}

void AnswerList(void) {
    pthread_mutex_lock(&g_sensordatamutex);
    if (g_localdatahdr.ListReady == 1) {
        uint32_t count = g_localdatahdr.SensorCount;
        SensorListItem *items = static_cast<SensorListItem *>(calloc(count ? count : 1, sizeof(SensorListItem)));
        if (items == nullptr) {
            IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get sensor count info arr malloc failed\n",
                                 __FILE_NAME__, __LINE__, "StoreSensorsDataToFileRecord", __LINE__);
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                const LocalSensorData &e = g_localdatahdr.SensorData[i];
                items[i].SensorNum = e.SensorNum;
                memcpy(items[i].SensorName, e.SensorName, SENSOR_LIST_NAME_CHARS);
                items[i].SensorClass = e.SensorClass;
            }
            size_t len = (size_t)count * sizeof(SensorListItem);
            ssize_t n = WriteResponse(items, len);
            if (n != (ssize_t)len) LogShortWrite("list", n, __LINE__);
            free(items);
        }
    }
    pthread_mutex_unlock(&g_sensordatamutex);
}

void AnswerData(const PipeRequest &req, int32_t now, SensorDataResponse *resp, SensorDataQuery *query) {
    memset(resp, 0, sizeof *resp);
    memset(query, 0, sizeof *query);
    resp->SensorNum = req.SensorNum;
    query->SensorNum = req.SensorNum;
    SetQueryWindow(query, (int32_t)DateTextToDayStart(req.DateTime), now);
    int found = SearchSensorDataFromFile(RecordStore.SensorArr, query, RecordStore.RecordCount);
    StoreHandler *read = FindSensorFile(RecordStore.SensorArr, RecordStore.RecordCount, req.SensorNum);
    if (read != nullptr) ReleaseFilePages(read->Map);
    if (found != 0) return;
    // From SensorNum on the query is the response, byte for byte.
    memcpy(resp, &query->SensorNum, sizeof *resp);
    ssize_t n = WriteResponse(resp, sizeof *resp);
    if (n != (ssize_t)sizeof *resp) LogShortWrite("data", n, __LINE__);
}

void FlushRecordTime(int line) {
    if (msync(RecordStore.RecordTimeMap, RECORD_TIME_SIZE, MS_SYNC | MS_INVALIDATE) < 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Update record day time to file failed\n", __FILE_NAME__,
                             line, "StoreSensorsDataToFileRecord", line);
    }
}

// The thread's buffers, reused every turn.
struct TurnBuffers {
    PipeRequest Request;
    SensorDataResponse Response;
    SensorDataQuery Query;
};

}  // namespace

namespace {

// Framing.  The protocol has no marker between records: each is 131 bytes
// read after the one before.  A stray byte written by anyone between two
// requests shifts every later record, so that each would swallow the start
// of the next.  A record that cannot be a request shows the stream has lost
// its framing; the reader then starts the record again where a request
// plausibly begins within it, so a stray byte costs at most the request it
// touched.

bool IsRequestKind(uint8_t kind) {
    return kind == SENSOR_COUNT_REQ || kind == SENSOR_LIST_REQ || kind == SENSOR_DATA_REQ;
}

// A character of a "%d-%d-%dT%d:%d:%d" date text.
bool IsDateTextChar(uint8_t c) { return (c >= '0' && c <= '9') || c == '-' || c == 'T' || c == ':' || c == ' '; }

// True when the n bytes at text are as a requester leaves its date text: a
// run of date characters and then only NULs (a text that fills all 128
// bytes has no terminator and is not).
bool IsCleanDateText(const uint8_t *text, size_t n) {
    size_t i = 0;
    while (i < n && IsDateTextChar(text[i])) ++i;
    if (i == TK_DATE_TEXT_SIZE) return false;
    for (; i < n; ++i) {
        if (text[i] != 0) return false;
    }
    return true;
}

// True when a whole record is one as a requester writes it: a clean date
// text and, for a data request, one that names a date.  A record of a kind
// the daemon does not know counts as framed too: it is read and dropped
// whole.
bool IsFramed(const PipeRequest &req) {
    if (!IsCleanDateText(reinterpret_cast<const uint8_t *>(req.DateTime), TK_DATE_TEXT_SIZE)) return false;
    if (req.RequestType == SENSOR_DATA_REQ) return DateTextToDayStart(req.DateTime) != TK_NO_DAY_KEY;
    return true;
}

// Where, after its first byte, the record at p plausibly begins a request:
// a request kind, then a clean date text as far as the record goes (a data
// request's starting with a digit).  A record that itself begins with a
// request kind may be that request with a text the daemon cannot use (a
// data request naming no date, its sensor number looking like a kind): a
// start within it needs kResyncEvidence bytes to judge by.  The start is
// only tried: the record completed from there is judged again.  Returns
// the offset, or 0 when there is none.
const size_t kResyncEvidence = 8;
size_t ResyncOffset(const uint8_t *p) {
    size_t last = IsRequestKind(p[0]) ? sizeof(PipeRequest) - kResyncEvidence : sizeof(PipeRequest) - 1;
    for (size_t k = 1; k <= last; ++k) {
        if (!IsRequestKind(p[k])) continue;
        const uint8_t *text = p + k + 1;
        size_t n = sizeof(PipeRequest) - k - 1;
        if (n > TK_DATE_TEXT_SIZE) n = TK_DATE_TEXT_SIZE;
        if (p[k] == SENSOR_DATA_REQ && n > 0 && !(text[0] >= '0' && text[0] <= '9')) continue;
        if (IsCleanDateText(text, n)) return k;
    }
    return 0;
}

// Gathers bytes from the request FIFO into the record at p until it holds
// all of them, *got counting those it has.  A record already begun may
// finish in a later write of the requester, within one bound for the whole
// record from its first byte (*deadline, set then; a new start after lost
// framing included): bounding each gap instead would let a requester that
// trickles a byte at a time hold the thread for minutes.  Returns true once
// the record is whole.
bool FillRequest(uint8_t *p, size_t *got, int64_t *deadline) {
    while (*got < sizeof(PipeRequest)) {
        ssize_t n = sigwrap_read(RecordStore.RequestFifoFd, p + *got, sizeof(PipeRequest) - *got);
        if (n > 0) {
            if (*deadline == 0) *deadline = MonotonicMs() + kPartialRequestWaitMs;
            *got += (size_t)n;
            continue;
        }
        int64_t left = *deadline - MonotonicMs();
        if (*got > 0 && n < 0 && errno == EAGAIN && left > 0) {
            struct timeval wait = {(time_t)(left / 1000), (suseconds_t)(left % 1000 * 1000)};
            if (WaitFdReadable(RecordStore.RequestFifoFd, &wait) > 0) continue;
        }
        return false;
    }
    return true;
}

}  // namespace

int ReadPipeRequest(PipeRequest *req) {
    memset(req, 0, sizeof *req);
    uint8_t *p = reinterpret_cast<uint8_t *>(req);
    size_t got = 0;
    int64_t deadline = 0;
    // The first whole record as it came, for when no request follows it.
    PipeRequest as_read;
    bool whole = false;
    for (;;) {
        if (!FillRequest(p, &got, &deadline)) {
            if (!whole) return -1;
            *req = as_read;
            return 0;
        }
        if (IsFramed(*req)) return 0;
        if (!whole) as_read = *req;
        whole = true;
        size_t k = ResyncOffset(p);
        // A record that is not as a requester writes it and holds no start
        // of one goes to the turn as it came, and so does one whose tried
        // start does not make a request: a requester may leave other bytes
        // in a text the daemon does not read (that of a count or list
        // request, or behind the terminator).
        if (k == 0) {
            *req = as_read;
            return 0;
        }
        memmove(p, p + k, sizeof *req - k);
        memset(p + sizeof *req - k, 0, k);
        got = sizeof *req - k;
    }
}

namespace {

// Decides whether the turn at now, of day day_key, may switch days and
// record; says so once when recording stops and once when it resumes.
// Returns true when the turn must leave the card alone.
bool HoldRecording(int32_t now, int32_t day_key) {
    ClockState state = kClockSet;
    if (now <= 0 || day_key <= 0) {
        state = kClockOutOfRange;
    } else if (!ClockIsSet(now)) {
        state = kClockNotSet;
    }
    if (state == g_clockstate) return state != kClockSet;
        // Said as the turn's own.
#define TK_TURN_AT __FILE_NAME__, __LINE__, "StoreLoopTurn", __LINE__
    if (state == kClockOutOfRange) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Clock out of range:%d, history kept, nothing recorded\n",
                             TK_TURN_AT, (int)now);
    } else if (state == kClockNotSet) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,
                             "[%s:%d][%s][%d]Clock not set:%d is before %d, history kept, nothing recorded\n",
                             TK_TURN_AT, (int)now, (int)TK_CLOCK_FLOOR);
    } else {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "[%s:%d][%s][%d]Clock set:%d, recording resumes\n", TK_TURN_AT,
                             (int)now);
    }
#undef TK_TURN_AT
    g_clockstate = state;
    return state != kClockSet;
}

}  // namespace

int StoreLoopTurn(int32_t now, int wait_seconds) {
    static TurnBuffers buffers;
    int32_t day_key = (int32_t)DayStartTime(now);
    struct timeval wait = {wait_seconds, 0};
    int ready = WaitFdReadable(RecordStore.RequestFifoFd, &wait);
    int32_t slot_start = now / SLOT_SECONDS * SLOT_SECONDS;

    int served = ready > 0 && ReadPipeRequest(&buffers.Request) == 0 ? 1 : 0;
    if (served == 1) {
        switch (buffers.Request.RequestType) {
        case SENSOR_LIST_REQ: AnswerList(); break;
        case SENSOR_DATA_REQ: AnswerData(buffers.Request, now, &buffers.Response, &buffers.Query); break;
        case SENSOR_COUNT_REQ: AnswerCount(); break;
        default: break;
        }
    }

    if (HoldRecording(now, day_key)) return served;
    RecordTimeFile *rt = RecordStore.RecordTimeMap;
    StoreHandler *arr = RecordStore.SensorArr;
    if ((int32_t)rt->RecordDay != day_key) {
        int went_back = (int32_t)rt->RecordDay > day_key ? 1 : 0;
        // File by file, so that the process never holds more than one
        // file's fresh block: the flush below writes them all.
        for (uint32_t i = 0; arr != nullptr && i < RecordStore.RecordCount; ++i) {
            SwitchRecordDay(&arr[i], 1, day_key, went_back);
            ReleaseFilePages(arr[i].Map);
        }
        rt->RecordDay = (uint32_t)day_key;
        FlushRecordTime(__LINE__);
    }
    if ((int32_t)rt->RecordSlot != slot_start) {
        pthread_mutex_lock(&g_sensordatamutex);
        if (g_localdatahdr.DataReady == 1) {
            RecordSensorsDataToMem(&g_localdatahdr, RecordStore.SensorArr, (uint32_t)slot_start, (uint32_t)day_key);
        }
        pthread_mutex_unlock(&g_sensordatamutex);
        if (arr != nullptr) UpdateMemToFile(arr, RecordStore.RecordCount);
        for (uint32_t i = 0; arr != nullptr && i < RecordStore.RecordCount; ++i) ReleaseFilePages(arr[i].Map);
        rt->RecordSlot = (uint32_t)slot_start;
        FlushRecordTime(__LINE__);
    }
    return served;
}

namespace {

// The store thread's pacing.  After a turn that read a request the thread
// goes straight on to the next one, so that what is queued is answered at
// the pace of the FIFOs; after kBusyBudgetMs of turns without a pause, and
// after every turn that read nothing, it pauses kTurnSleepMs.  Every turn
// records, so a queue however long delays neither the day switch nor the
// recording by more than one answer; the pauses leave the locks to the
// other threads and keep an idle daemon's cost where it was.
const unsigned kTurnSleepMs = 100;
const int64_t kBusyBudgetMs = 1000;

struct TurnPace {
    bool Busy;          // the turns go on without a pause
    int64_t BusySince;  // g_monotonicms() when they began
};

// The pause after a turn that did (served 1) or did not read a request,
// at monotonic time now_ms: 0 or kTurnSleepMs.
unsigned TurnPauseMs(TurnPace *pace, int served, int64_t now_ms) {
    if (served == 1) {
        if (!pace->Busy) {
            pace->Busy = true;
            pace->BusySince = now_ms;
        }
        if (now_ms - pace->BusySince < kBusyBudgetMs) return 0;
    }
    pace->Busy = false;
    return kTurnSleepMs;
}

}  // namespace

void *StoreSensorsDataToFileRecord(void *) {
    StoreLock();
    RecordStore.RequestFifoFd = OpenFifo(TK_REQUEST_FIFO);
    if (RecordStore.RequestFifoFd == -1) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Error opening named pipe %s\n", __FILE_NAME__, __LINE__,
                             TK_REQUEST_FIFO);
        StopProcess(1, TK_STOP_CLEANUP);
    }
    RecordStore.ResponseFifoFd = OpenFifo(TK_RESPONSE_FIFO);
    if (RecordStore.ResponseFifoFd == -1) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d]Error opening named pipe %s\n", __FILE_NAME__, __LINE__,
                             TK_RESPONSE_FIFO);
        StopProcess(1, TK_STOP_CLEANUP);
    }
    StoreUnlock();

    // The list may take long to build; a stop must not wait for it.
    while (!ListIsReady(&g_localdatahdr)) g_sleepms(kListPollMs);

    StoreLock();
    int init = InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr);
    // A store file cut short under its mapping, or a failing medium: the
    // card is as good as gone.
    if (StoreMappingFaulted()) StopOnCardLoss();
    if (init != 0) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "[%s][%d]Init sensor data to db list failed,program will exit\n",
                                   __func__, __LINE__);
        StopProcess(1, TK_STOP_CLEANUP);
    }
    StoreUnlock();

    TurnPace pace = {};
    for (;;) {
        // A clock beyond the 32-bit times goes in as -1, which the turn
        // takes for a clock out of range, not wrapped to some other time.
        int64_t clock = g_clock(nullptr);
        int32_t now = clock > 0 && clock <= INT32_MAX ? (int32_t)clock : -1;
        StoreLock();
        KeepRecordTimeCopy();
        int served = StoreLoopTurn(now, kRequestWaitSeconds);
        if (StoreMappingFaulted()) StopOnCardLoss();
        StoreUnlock();
        unsigned pause = TurnPauseMs(&pace, served, g_monotonicms());
        if (pause > 0) g_sleepms(pause);
    }
}

#endif  // TRENDKEEP_SHARED_RULES_ONLY
