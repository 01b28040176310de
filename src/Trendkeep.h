// The daemon's spine: start-up, the card watch, every way the process stops,
// the calendar helpers and the one-second FIFO wait.
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
