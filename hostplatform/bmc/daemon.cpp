// Daemon start-up and the pid file.
//
// daemon_init detaches the classic way: fork (the parent leaves), setsid,
// fork again (so that the daemon is no session leader and can never get a
// controlling terminal back), chdir("/"), standard input and output to
// /dev/null, and standard error too unless TRENDKEEP_LOG is "-" (the log
// is standard error then, and must stay open).
//
// The original process does not leave as soon as it has forked: it waits
// on a pipe until the detached process reports that every step went well.
// A step that fails in a child ends that child, the original process sees
// the pipe close without a report, and returns -1 as it was, still in the
// foreground.  So a failure is always reported to the caller that asked.
//
// Settings, read at every call:
//   TRENDKEEP_DAEMON_INIT=fail  return -1 without detaching
//   TRENDKEEP_FOREGROUND=1      return 0 without detaching
// "fail" wins when both are given.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bmc_services.h"

namespace {

bool SettingIs(const char *name, const char *value) {
    const char *v = getenv(name);
    return v != nullptr && strcmp(v, value) == 0;
}

bool WriteAll(int fd, const char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// In the original process: waits for the detached process's report.
// Leaves the process on success; returns -1 on failure.
int AwaitDetached(pid_t child, int report_fd) {
    char byte = 0;
    ssize_t n;
    do {
        n = read(report_fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) _exit(0);
    close(report_fd);
    // Reap the first child, which has ended on its failure.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

// In the first child: becomes a session leader and forks the daemon.
// Returns only in the daemon.
void LeaveSession() {
    if (setsid() < 0) _exit(1);
    pid_t daemon_pid = fork();
    if (daemon_pid < 0) _exit(1);
    if (daemon_pid > 0) _exit(0);
}

// How often the pid file's entry is removed and made again when something
// else keeps taking its place.
constexpr int kPidFileAttempts = 3;

// The pid file lies in a directory that everyone may write to, and the
// daemon runs as root: what stands at the path may be another user's link
// (to a file root would then overwrite), another user's file, a hard link
// to one of root's files, or a FIFO (whose open would wait for a reader
// for ever).  Only a regular file of our own with no other name is
// written; anything else is removed and the file made anew, exclusively.
// Nothing is truncated before it has been checked, and no open waits.
// Returns a descriptor open for writing, or -1.
int OpenOwnPidFile(const char *path) {
    for (int attempt = 0; attempt < kPidFileAttempts; ++attempt) {
        int fd;
        do {
            fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1) {
                return fd;
            }
            close(fd);
        } else if (errno == ENOENT) {
            do {
                fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
            } while (fd < 0 && errno == EINTR);
            if (fd >= 0) return fd;
            if (errno != EEXIST) return -1;
            continue;  // something came in between: look at it again
        }
        // A link (ELOOP), a FIFO without a reader (ENXIO), a directory, or
        // a file that is not ours: not to be written.
        if (remove(path) != 0 && errno != ENOENT) return -1;
    }
    return -1;
}

}  // namespace

int daemon_init(void) {
    if (SettingIs("TRENDKEEP_DAEMON_INIT", "fail")) return -1;
    if (SettingIs("TRENDKEEP_FOREGROUND", "1")) return 0;
    bool keep_stderr = SettingIs("TRENDKEEP_LOG", "-");

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child > 0) {
        close(report[1]);
        return AwaitDetached(child, report[0]);
    }

    close(report[0]);
    LeaveSession();
    if (chdir("/") != 0) _exit(1);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(1);
    // Report before the standard descriptors are replaced: the report pipe
    // may itself sit on 0, 1 or 2 when the caller had closed them.  Nothing
    // below can fail with descriptors that are known to be open.
    if (!WriteAll(report[1], "1", 1)) _exit(1);
    close(report[1]);
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    if (!keep_stderr) dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
    return 0;
}

int save_pid(const char *path) {
    if (path == nullptr) return -1;
    char line[32];
    int len = snprintf(line, sizeof line, "%ld\n", static_cast<long>(getpid()));
    int fd = OpenOwnPidFile(path);
    if (fd < 0) return -1;
    bool written = ftruncate(fd, 0) == 0 && WriteAll(fd, line, static_cast<size_t>(len));
    if (close(fd) != 0) written = false;
    return written ? 0 : -1;
}
