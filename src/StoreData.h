// The history store on the TF card and the request service on the two FIFOs.
//
// Card layout, under the card's mount path:
//
//   DataRecord/SensorHistory/            record directory
//       <SensorName>                     one sensor data file per list entry, 74818 bytes
//       DataTime/RecordTime              record time file, 8 bytes
//
// Sensor data file: a header and seven day blocks, in no time order.
//
//   OFFSET SIZE  FIELD
//        0     2 SensorNum        uint16
//        2    20 SensorName       NUL-terminated; bytes behind the NUL mean nothing
//       22     1 SensorClass      uint8
//       23 10685 DayBlock[0..6]   block d at 23 + 10685*d
//
// Day block (offsets within the block):
//
//        0     4 DayKey           int32 local midnight of the day held, 0 = empty
//        4     1 StatsValid       1 once the day's extremes were seeded
//        5     8 DayMax           double
//       13     8 DayMin           double, least non-zero minimum
//       21     4 DayMaxTime       uint32
//       25     4 DayMinTime       uint32
//       29 10656 SampleSlot[288]  slot s at 29 + 37*s, covers DayKey + 300*s
//
// Sample slot:
//
//        0     1 Recorded         1 once written for this day
//        1     4 SlotTime         uint32 DayKey + 300*s; slots are found by it
//        5     8 Reading          double, latest reading
//       13     8 MaxReading       double
//       21     8 MinReading       double, least non-zero reading
//       29     8 AvgReading       double, running average
//
// Record time file:  0 4 RecordDay (day key last switched to), 4 4 RecordSlot
// (five-minute slot start last processed); both 0 in a new file.
//
// Everything is little-endian and packed; doubles lie at unaligned offsets
// and are only ever touched as members of the packed records below, never
// through a pointer to the field.
#ifndef TRENDKEEP_STOREDATA_H
#define TRENDKEEP_STOREDATA_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include "SensorData.h"

#define RECORD_DIR "DataRecord/SensorHistory"
#define RECORD_TIME_DIR "DataTime"
#define RECORD_TIME_FILE "RecordTime"

#define DAYS_PER_FILE 7
#define SLOTS_PER_DAY 288
#define SLOT_SECONDS 300
#define DAY_SECONDS 86400
#define DAY_LAST_SECOND 86399

// Open flags with the values they have on Linux ARM (and x86).
#define STORE_OPEN_RW 02
#define STORE_OPEN_RW_CREATE 0102
#define STORE_OPEN_RW_CREATE_SYNC 04010102
#define STORE_OPEN_RW_SYNC 04010002

#pragma pack(push, 1)

typedef struct SampleSlot {
    uint8_t Recorded;
    uint32_t SlotTime;
    double Reading;
    double MaxReading;
    double MinReading;
    double AvgReading;
} SampleSlot;

typedef struct DayBlock {
    int32_t DayKey;
    uint8_t StatsValid;
    double DayMax;
    double DayMin;
    uint32_t DayMaxTime;
    uint32_t DayMinTime;
    SampleSlot Slots[SLOTS_PER_DAY];
} DayBlock;

typedef struct SensorFileHeader {
    uint16_t SensorNum;
    char SensorName[SENSOR_NAME_SIZE];
    uint8_t SensorClass;
} SensorFileHeader;

typedef struct SensorDataFile {
    SensorFileHeader Header;
    DayBlock Days[DAYS_PER_FILE];
} SensorDataFile;

typedef struct RecordTimeFile {
    uint32_t RecordDay;
    uint32_t RecordSlot;
} RecordTimeFile;

// History query: inputs StartTime, EndTime, SensorNum; the rest is filled
// by SearchSensorDataFromFile.  From SensorNum on it is byte for byte the
// sensor data response.
typedef struct SensorDataQuery {
    int32_t StartTime;
    int32_t EndTime;
    uint16_t SensorNum;
    double MaxValue;
    double MinValue;
    uint32_t MaxTime;
    uint32_t MinTime;
    SampleSlot Slots[SLOTS_PER_DAY];
} SensorDataQuery;

// Request record on the request FIFO, 131 bytes.
typedef struct PipeRequest {
    uint8_t RequestType;
    char DateTime[128];
    uint16_t SensorNum;
} PipeRequest;

// One item of the sensor list response, 23 bytes; name cut to 16 characters.
typedef struct SensorListItem {
    uint16_t SensorNum;
    char SensorName[SENSOR_NAME_SIZE];
    uint8_t SensorClass;
} SensorListItem;

// Sensor data response, 10682 bytes.
typedef struct SensorDataResponse {
    uint16_t SensorNum;
    double MaxValue;
    double MinValue;
    uint32_t MaxTime;
    uint32_t MinTime;
    SampleSlot Slots[SLOTS_PER_DAY];
} SensorDataResponse;

#pragma pack(pop)

#define SENSOR_LIST_NAME_CHARS 16
enum RequestKind {
    SENSOR_COUNT_REQ = 1,
    SENSOR_LIST_REQ = 2,
    SENSOR_DATA_REQ = 4,
};

static_assert(sizeof(SampleSlot) == 37, "slot layout");
static_assert(offsetof(SampleSlot, SlotTime) == 1, "slot layout");
static_assert(offsetof(SampleSlot, Reading) == 5, "slot layout");
static_assert(offsetof(SampleSlot, MaxReading) == 13, "slot layout");
static_assert(offsetof(SampleSlot, MinReading) == 21, "slot layout");
static_assert(offsetof(SampleSlot, AvgReading) == 29, "slot layout");
static_assert(sizeof(DayBlock) == 10685, "day block layout");
static_assert(offsetof(DayBlock, StatsValid) == 4, "day block layout");
static_assert(offsetof(DayBlock, DayMax) == 5, "day block layout");
static_assert(offsetof(DayBlock, DayMin) == 13, "day block layout");
static_assert(offsetof(DayBlock, DayMaxTime) == 21, "day block layout");
static_assert(offsetof(DayBlock, DayMinTime) == 25, "day block layout");
static_assert(offsetof(DayBlock, Slots) == 29, "day block layout");
static_assert(sizeof(SensorFileHeader) == 23, "file header layout");
static_assert(offsetof(SensorFileHeader, SensorClass) == 22, "file header layout");
static_assert(sizeof(SensorDataFile) == 74818, "sensor data file layout");
static_assert(offsetof(SensorDataFile, Days) == 23, "sensor data file layout");
static_assert(sizeof(RecordTimeFile) == 8, "record time file layout");
static_assert(sizeof(SensorDataQuery) == 10690, "query layout");
static_assert(offsetof(SensorDataQuery, SensorNum) == 8, "query layout");
static_assert(offsetof(SensorDataQuery, Slots) == 34, "query layout");
static_assert(sizeof(PipeRequest) == 131, "request layout");
static_assert(offsetof(PipeRequest, SensorNum) == 129, "request layout");
static_assert(sizeof(SensorListItem) == 23, "list item layout");
static_assert(sizeof(SensorDataResponse) == 10682, "data response layout");
static_assert(offsetof(SensorDataResponse, MaxTime) == 18, "data response layout");
static_assert(offsetof(SensorDataResponse, Slots) == 26, "data response layout");
static_assert(sizeof(SensorDataResponse) == sizeof(SensorDataQuery) - offsetof(SensorDataQuery, SensorNum),
              "the response is the query from SensorNum on");

#define SENSOR_FILE_SIZE ((int)sizeof(SensorDataFile))
#define RECORD_TIME_SIZE ((int)sizeof(RecordTimeFile))

// One sensor data file: its descriptor (-1 once mapped), its mapping, and
// the sensor number its header carries, kept here so that finding a file
// touches no other file's pages.
typedef struct StoreHandler {
    int Fd;
    SensorDataFile *Map;
    uint16_t SensorNum;
} StoreHandler;

// The store's state: one per process, used by the store and request thread.
typedef struct RecordStoreState {
    uint32_t RecordCount;
    int RequestFifoFd;
    RecordTimeFile *RecordTimeMap;
    StoreHandler *SensorArr;
    int ResponseFifoFd;
} RecordStoreState;

extern RecordStoreState RecordStore;
extern int RecordTimeFd;

// The store lock keeps a stop away from the store's files and FIFOs while
// the store and request thread uses them.  Recursive, so that a stop begun
// on the store thread itself goes through.
void StoreLock(void);
// As StoreLock, but waits at most ms milliseconds for it.  Returns 0 with
// the lock held, -1 when the time is up (not held then).
int StoreLockWithin(unsigned ms);
void StoreUnlock(void);
// How deep the calling thread holds the store lock (0: not at all).
int StoreLockDepth(void);
// Releases the calling thread's hold on the store lock whatever its depth.
void StoreLockAbandon(void);

// Releases every store and FIFO resource that exists: the record time file,
// every sensor data file with the array, and both FIFO descriptors.  The
// FIFO paths stay, so that a program that shares /var/tmp with a running
// daemon (a test, a benchmark) can let go of a store without touching the
// daemon's FIFOs.  Returns 0.
int ReleaseStore(void);

// ReleaseStore, then removes both FIFO paths.  Returns 0.
int CleanUp(void);

// Unmaps every sensor data file of the array and closes open descriptors;
// the caller frees the array.  Returns 0.
int UnMmap(StoreHandler **arr, uint32_t count);

#ifdef __cplusplus
extern "C" {
#endif
// Runs cmd through the shell and keeps the first line of its output in buf
// (at most size - 1 bytes, NUL-terminated).  Returns 0 when the command was
// run, -1 when cmd or buf is null, size is 0 or the command cannot start.
int ZelvarCommandToBuff(const char *cmd, char *buf, int size);
#ifdef __cplusplus
}
#endif

// File name, inside the record directory, of a sensor called name: the name
// itself for every ordinary name; a name that cannot stand as one file name
// (empty, ".", "..", or holding '/') or that names an entry of the store's
// own (RECORD_TIME_DIR, in any letter case) is escaped: "_empty_", "_dot_",
// "_dotdot_", "_<name>_", '/' as '_'.  out holds 64 bytes.
#define SENSOR_FILE_NAME_SIZE 64
void SensorFileName(const char *name, char out[SENSOR_FILE_NAME_SIZE]);

// Opens the entry name of the directory dir_fd (AT_FDCWD: name is a path)
// with flags, only when it is of the file type type (S_IFREG, S_IFIFO).
// Card entries and the entries of /var/tmp are chosen by others: the entry
// is first taken without opening anything (O_PATH, a link never followed)
// and looked at on that descriptor, and only a file of the right type is
// then opened, through that descriptor, so that nothing swapped in since
// (a device, whose open alone may act) is ever opened; never as a
// controlling terminal.  *st gets what was found (all zero when nothing
// could be looked at).  Returns the descriptor, or -1 with errno set: ELOOP
// for a link, EINVAL for another type.
int OpenEntryAt(int dir_fd, const char *name, int flags, mode_t type, struct stat *st);

// Creates or reuses, maps and prepares every store file for the list in
// hdr.  Returns 0 when every file is mapped, -1 on failure with everything
// released.  Ends the process when the card lacks space.
int InitSensorDataRecordSt(StoreHandler **arr, LocalDataHdr *hdr);

// Refreshes file i's header from list entry i and stamps the block of the
// recorded day (or takes BlockForDay's block for today, when the clock is
// set).  Returns 0.
int PrepareRecordDayBlock(StoreHandler **arr, LocalDataHdr *hdr, RecordTimeFile *rt, uint32_t i);

// The recorder's and the query's speed-ups: the recorder keeps each list
// entry's file while nothing its search reads has changed and writes
// StatsValid only when it changes; the query takes slot k for step k of its
// walk where the walked slots are stamped.  Each gives the bytes of the
// plain first-match searches, which 0 here brings back, so that both can be
// run side by side.  1 from the start.
extern int g_storespeedups;

// Copies the figures of every entry read since the last recording (Valid)
// into the slot of slot_start of day day_key and updates the day's
// extremes; the slots of the others stay unrecorded.  Clears Valid and
// DataReady.  The caller holds g_sensordatamutex.
void RecordSensorsDataToMem(LocalDataHdr *hdr, StoreHandler *arr, uint32_t slot_start, uint32_t day_key);

// Flushes every mapped sensor data file synchronously.  Returns 0, or -1
// when arr is null.
int UpdateMemToFile(StoreHandler *arr, uint32_t count);

// The block of file that day_key goes into: the day's own block where it
// is held, else the first empty block, else the first block dated after the
// day (recorded under a clock that ran ahead), else the oldest (the first of
// equal keys).
DayBlock *BlockForDay(SensorDataFile *file, int32_t day_key);

// Gives every file a fresh block for day_key (BlockForDay); with went_back 1
// empties the blocks of later days.  Returns 0.
int SwitchRecordDay(StoreHandler *arr, uint32_t count, int32_t day_key, int went_back);

// Window of a history query for the requested day start at time now: the
// whole day once it is over (or while the clock is not yet set), else up to
// the current five-minute boundary.
void SetQueryWindow(SensorDataQuery *query, int32_t day_start, int32_t now);

// Fills the query from the files.  Returns 0 when filled, -1 when no file
// carries the sensor number, 1 when its file holds no block for StartTime.
int SearchSensorDataFromFile(StoreHandler *arr, SensorDataQuery *query, uint32_t count);

// Gathers one whole request from the request FIFO into req.  Returns 0
// when all 131 bytes came, -1 otherwise.
int ReadPipeRequest(PipeRequest *req);

// Lets the pages of one sensor file's mapping (null: none) leave the
// process's resident set.  The mapping is shared with the file, so the page
// cache keeps them, dirty or not: the next touch maps them again, and a
// flush writes what is dirty, once.  A read of a mapped file maps the
// neighbouring cached pages along with it (the kernel's fault-around, up to
// 64 KiB: nearly a whole sensor file), so the store lets go of each file as
// soon as it is done with it (its start, the day switch, the recording
// round, the flush, an answer), and holds only the file it works on.
void ReleaseFilePages(SensorDataFile *file);

// One turn of the store loop at time now; waits up to wait_seconds for a
// request first.  Returns 1 when it read a request, else 0: after such a
// turn the store thread goes straight on to the next one.
int StoreLoopTurn(int32_t now, int wait_seconds);

// Body of the store and request thread.  Never returns.
void *StoreSensorsDataToFileRecord(void *arg);

#endif
