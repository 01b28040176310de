// The daemon's spine: start-up, the card watch, every way the process stops,
// the calendar helpers and the one-second FIFO wait.
//
// Frozen texts.  The names and message texts listed here are read by
// programs other than this one, so they stay byte for byte as they are,
// spelling mistakes, odd spacing and missing newlines included: the BMC's
// web server and process monitor know the daemon by its paths and names,
// every card already written is found again by its directory and file
// names, and the firmware's log scanners (and our tests) match the
// messages exactly.  "faied", "falied", "invalied", "detal" and
// "Get Cpu cups failed" are not to be corrected, and texts that look alike
// are not to be made alike (the two "Update mem to file" messages below,
// one "falied" at start-up and one "failed" later, differ in their field
// names too).  Each message also keeps its level and its output (debug or
// maintenance).  Messages of our own not listed here may be reworded, with
// the tests and the README that quote them.
//
// FIFO and pid paths (below):
//   "/var/tmp/pipe_restful_to_cups"   request FIFO, web server to daemon
//   "/var/tmp/pipe_cups_to_restful"   response FIFO, daemon to web server
//   "/var/tmp/Trendkeep"              pid file
//
// The process monitor's names (below):
//   "/usr/local/bin/Trendkeep"        program path, its key for the daemon
//   "ZelvarTrendkeep"                 name registered under that path
//
// Card directory and file names, under the card's mount path (StoreData.h,
// SensorData.h):
//   "DataRecord/SensorHistory"        record directory: one file per sensor,
//                                     named by the sensor's name
//   "DataTime", "RecordTime"          record time directory in it, and its file
//   "CPU_Utilization", "MEM_Utilization", "IO_Utilization"
//                                     the utilisation entries: sensor names in
//                                     list answers, file names on the card
//   "_empty_", "_dot_", "_dotdot_", "_<name>_"
//                                     file names of sensors named "", ".",
//                                     ".." and DataTime (any letter case)
//
// Names the platform libraries look up in the executable: the object
// g_corefeatures and the function ZelvarCommandToBuff.
//
// Log message texts, as the formats read.  The prefix fields are part of a
// message too: the source file name (__FILE_NAME__) and, in the messages
// under a "(Name)" line, that function name, written out or taken from
// __func__.  Renaming a source file or such a function changes the log.
//   Trendkeep.cpp
//     "[Trendkeep][%d]Trendkeep Program started!\n"
//     "[%s][%d]Error Daemonizing !!!\n"
//     "[%s][%d]Check TFCard mount status failed!Program will exit!\n"
//     "[%s:%d]Error while creating Zelvar trendkeep Request FIFO [errno-%d]\n"
//     "[%s:%d]Error while creating Zelvar trendkeep Response FIFO [errno-%d]\n"
//     "[%s:%d]Process Monitor Register Trendkeep fails\n"
//     (Init)
//     "[%s:%d][StoreTrendkeep][%s][%d]Check mount path faied!"
//     (main)
//     "[%s][%s]Create thread SensorDataTask failed!"
//     "[%s][%s]Create thread StoreSensorsDataToFileRecord failed!"
//   SensorData.cpp; the first three groups are logged as
//   "[%s:%d][%s][%d]<text>\n"
//     (InitSensorDataList)
//     "Create local ipmi session failed!"
//     "Get sensor count failed"
//     "Malloc Sensors info space failed"
//     "Malloc Sensors data space failed"
//     "Get all sensor detal failed"
//     (UpdateSensorReadingToLocalStruct)
//     "Sensors is 0,return"
//     "Create local ipmi session failed!"
//     "Malloc Sensors space failed"
//     "Get Sensor info failed"
//     (UpdateCUPSToLocalStruct: one text for the CPU, memory and IO figures,
//     told apart by the line)
//     "Get Cpu cups failed"
//     (InitSensorDataList: on standard output, not through the debug output)
//     "[%s][%d]Get sensor devid from redis failed,sensor num:%d\n"
//     (SensorDataTask)
//     "[%s][%d]Init sensor data list failed,program will exit and retry!"
//   StoreData.cpp
//     "[%s:%d]Error opening named pipe %s\n"
//     (UnMmap)
//     "[%s][%d]Sensor arr is null,no need to Unmmap\n"
//     (InitSensorDataRecordSt)
//     "[%s][%d]TF card free size not enough,need:%lld(byte),Free:%lld(byte)\n"
//     "[%s][%d]TF card free size is enough,need:%lld(byte),Free:%lld(byte)\n"
//     "[%s][%d]Record Time Path:%s\n"
//     "[%s][%d]RecordDir Path:%s\n"
//     "[%s:%d][%s][%d]SensorDataList is null\n"
//     "[%s:%d][%s][%d]Open record time file failed\n"
//     "[%s:%d][%s][%d]Mmap record time file failed\n"
//     "[%s:%d][%s][%d]Update record time to file falied while init\n"
//     "[%s:%d][%s][%d]Alloc Sensor arr to store handler space failed\n"
//     "[%s:%d][%s][%d]Create sensor data file %s failed\n"
//     "[%s:%d][%s][%d]Mmap failed,index:%d,sensornum:%d,sensorname:%s\n"
//     "[%s:%d][%s][%d]Update mem to file falied,index:%d,sensornum:%d,sensorname:%s\n"
//     (UpdateMemToFile)
//     "[%s:%d][%s][%d]Update mem to file failed,index:%d,sensor num:%d,sensor name:%s\n"
//     (SearchSensorDataFromFile)
//     "[%s:%d][%s][%d]Match sensor failed,sensor num:%d\n"
//     "[%s:%d][%s][%d]Request datatime invalied\n"
//     (StoreSensorsDataToFileRecord)
//     "[%s][%d]Init sensor data to db list failed,program will exit\n"
//     "[%s:%d][%s][%d]Get sensor count info arr malloc failed\n"
//     "[%s:%d][%s][%d]Write Sensor %s to pipe:%s failed,write len = %d\n"
//         (the first %s: "count", "list" or "data")
//     "[%s:%d][%s][%d]Update record day time to file failed\n"
#ifndef TRENDKEEP_TRENDKEEP_H
#define TRENDKEEP_TRENDKEEP_H

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

// The prefix values of a "[%s:%d][%s][%d]" message: source file, line,
// function, line.  One macro, so both lines are the line of the call.
#define TK_AT __FILE_NAME__, __LINE__, __func__, __LINE__

// Fixed names of the daemon.
#define TK_PID_FILE "/var/tmp/Trendkeep"
#define TK_PROGRAM_PATH "/usr/local/bin/Trendkeep"
#define TK_MONITOR_NAME "ZelvarTrendkeep"
#define TK_REQUEST_FIFO "/var/tmp/pipe_restful_to_cups"
#define TK_RESPONSE_FIFO "/var/tmp/pipe_cups_to_restful"
#define TK_FIFO_MODE 0777
#define TK_CARD_WATCH_SECONDS 30
#define TK_MOUNT_PATH_SIZE 64

// The card's mount directory and free space (units of 1024 bytes), rewritten
// by the card watch every 30 seconds under the card lock.  Other threads
// read them only through CopyCardStatus.
extern char g_tfmountpath[TK_MOUNT_PATH_SIZE];
extern uint64_t g_tffreesize;

// Takes a consistent copy of the card's mount path and free space, as the
// card watch last wrote them.
void CopyCardStatus(char mount_path[TK_MOUNT_PATH_SIZE], uint64_t *free_kb);

// Removes whatever stands at path (a link itself, never its target).
void RemovePathIfPresent(const char *path);

// Day key of t: the epoch time of the first second of t's local date
// (local midnight, or the first second that exists on a date whose midnight
// is skipped by a daylight-saving change).  Returns -1 when the system
// cannot represent it.
time_t DayStartTime(time_t t);

// Day key of the date that a request's "%d-%d-%dT%d:%d:%d" text names; the
// time of day in it is ignored and out-of-range fields are normalised as by
// mktime.  Reads at most the 128 bytes of the request field.  A text that
// does not give year, month and day, or names a date outside 32-bit time,
// returns TK_NO_DAY_KEY, which no stored day can carry.
#define TK_DATE_TEXT_SIZE 128
#define TK_NO_DAY_KEY ((time_t)1)
time_t DateTextToDayStart(const char *text);

// Waits until fd is readable or the time-out passes (the time-out may be
// changed).  Returns above 0 when readable, 0 on time-out, -1 on failure.
int WaitFdReadable(int fd, struct timeval *timeout);

// Start-up, as the process entry runs it.  Returns only when a worker
// thread cannot be created: -1.
int TrendkeepMain(void);
// Returns 0 when the card is usable and both FIFOs exist, -1 otherwise.
int Init(void);
// Stop callback of the process monitor: deregisters, cleans up, exits 0.
void ProcStopHandler(int unused);

// Ends the process with status.  Stops are serialised: the first caller
// wins, waits until the store thread is out of the store's resources,
// optionally deregisters from the process monitor and runs CleanUp, then
// exits; a later caller blocks until the process is gone.  The wait for the
// store thread is bounded (TK_STOP_WAIT_MS): a store thread held up beyond
// it (by a peer, or by the IPMI library through the list mutex) is left
// alone, its files and FIFOs unreleased, and only the FIFO paths are
// removed before the exit.
#define TK_STOP_DEREGISTER 1
#define TK_STOP_CLEANUP 2
#define TK_STOP_WAIT_MS 2000
[[noreturn]] void StopProcess(int status, int how);

// Ends the process as the card watch does when the card is gone: its
// message, deregistration, CleanUp, exit status 1.
[[noreturn]] void StopOnCardLoss(void);

// From start-up on, a bus error on one of the store's mappings (its file
// cut short under the mapping, or the card's medium failing) does not kill
// the process: the mapping is replaced by anonymous memory, so that the
// faulting access completes, and StoreMappingFaulted turns 1.  The store
// thread then stops the process as on card loss.  Any other bus error keeps
// its default action.
void InstallStoreBusErrorHandler(void);
// Returns 1 once a store mapping has faulted, else 0.
int StoreMappingFaulted(void);
// Keeps a copy of the record time file as it stands; the store thread takes
// one before each turn.  Should the record time mapping fault, its
// replacement holds this copy rather than zeros: a record day of 0 would
// have the turn in progress switch every sensor data file to a new day and
// empty today's block on the card.
void KeepRecordTimeCopy(void);

// Clock of the daemon (time(2)); tests replace it to run modules at exact
// times.
typedef time_t (*ClockFn)(time_t *);
extern ClockFn g_clock;

// The earliest time the daemon takes for a set clock: 2025-01-01 00:00:00
// UTC.  A BMC whose real-time clock lost its power boots at the clock's
// default date (1970, 2000 and the like) and keeps it until time is
// synchronised.  Taken for today, such a date would be a day before every
// day on the card: the set-back rule would empty the whole week.  So a
// clock before this floor samples nothing, records nothing and switches no
// day; requests are still answered from the days held.
#define TK_CLOCK_FLOOR 1735689600
// Returns 1 when t is a time the daemon records under: not before
// TK_CLOCK_FLOOR, and within the store's 32-bit times.  Returns 0 otherwise.
int ClockIsSet(int64_t t);

// True when fd is open on a FIFO of the daemon's user.  A FIFO that
// another user made would let that user read the requests or forge the
// answers: both the FIFOs' set-up and the store thread that opens them
// check with this, on the descriptor.
bool IsOwnFifoFd(int fd);

// Milliseconds on a clock that no setting of the wall clock moves (the
// monotonic clock); tests replace it to run deadlines at exact times.
typedef int64_t (*MonotonicFn)(void);
extern MonotonicFn g_monotonicms;
// The monotonic clock itself, in milliseconds.
int64_t MonotonicMs(void);

// Pause of the daemon's loops, in milliseconds; tests replace it so that
// the waits of the loops cost no real time.
typedef void (*SleepFn)(unsigned milliseconds);
extern SleepFn g_sleepms;

// Thread creation used by start-up; tests replace it to make a worker's
// creation fail.
typedef int (*ThreadCreateFn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern ThreadCreateFn g_threadcreate;

#endif
