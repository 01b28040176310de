// Services of the BMC platform that the daemon calls but does not implement:
// debug output, descriptor wrappers, daemon start-up, the process monitor
// and the TF card status.  On the BMC the firmware provides them; elsewhere
// the host platform library (hostplatform/bmc) does.
#ifndef TRENDKEEP_PLATFORM_BMC_SERVICES_H
#define TRENDKEEP_PLATFORM_BMC_SERVICES_H

#include <stdint.h>
#include <sys/select.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Debug output levels.
#define IDBG_LEVEL_FAIL 130    // failures (IDBG_LINUXAPP_DbgOut)
#define IDBG_LEVEL_NOTICE 134  // notices (IDBG_LINUXAPP_DbgOut)
#define IDBG_LEVEL_FATAL 178   // start-up and fatal failures, card-space verdicts (MaintenceOut)
#define IDBG_LEVEL_INFO 182    // banner and store path notices (MaintenceOut)

// Writes one formatted message at the given level.  Safe to call from
// several threads at once; a message is never split or interleaved.
void IDBG_LINUXAPP_DbgOut(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void IDBG_LINUXAPP_MaintenceOut(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// As the POSIX calls of the same name without the prefix.  No creation
// mode is passed with O_CREAT; the platform chooses the permission bits.
// Returns the descriptor, or -1 with errno set.
int sigwrap_open(const char *path, int flags);
// Returns the byte count, 0 at end of file, -1 with errno set.
ssize_t sigwrap_read(int fd, void *buf, size_t count);
// Returns the byte count written, -1 with errno set.
ssize_t sigwrap_write(int fd, const void *buf, size_t count);
// Returns 0, or -1 with errno set; the descriptor is released either way.
int sigwrap_close(int fd);
// As select(2): above 0 ready, 0 timed out, -1 failure.
int sigwrap_select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout);

// Detaches the process as a daemon.  Returns 0 when detached (or told to
// stay in the foreground), non-zero on failure, in which case the process
// is left as it was.
int daemon_init(void);

// Records the process id in the pid file.  Returns 0 on success, -1 on failure.
int save_pid(const char *path);

// Stop callback of the process monitor.  The argument carries nothing the
// daemon needs.
typedef void (*ProcMonitorStopHandler)(int);

// Registers the program with the process monitor, which from then on calls
// the stop handler once when the program is to stop.  Returns 0 when
// registered, non-zero when refused (nothing is registered then).
int ProcMonitorRegister(const char *program_path, int flags, const char *monitor_name,
                        ProcMonitorStopHandler stop_handler, int options);
// Returns 0.
int ProcMonitorDeRegister(const char *program_path);

// Asks whether the TF card is mounted.  Returns 0 when it is: mount_path
// (64 bytes) then holds its mount directory, NUL-terminated and without a
// trailing slash, and *free_kb its free space in units of 1024 bytes.
// Returns non-zero otherwise and leaves both out-values alone.
int CheckTFCardMountStatus(char *mount_path, uint64_t *free_kb);

// Feature block that the platform libraries expect the executable to export
// (dynamic symbol table); the daemon itself never reads or writes it.
#define CORE_FEATURES_SIZE 1196
extern unsigned char g_corefeatures[CORE_FEATURES_SIZE];

#ifdef __cplusplus
}
#endif

#endif
