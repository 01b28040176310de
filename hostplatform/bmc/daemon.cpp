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
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "bmc_services.h"
#include "platform_log.h"

namespace {

bool SettingIs(const char *name, const char *value) {
    const char *v = getenv(name);
    return v != nullptr && strcmp(v, value) == 0;
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
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
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

// How often the pid file is put in place when others keep changing what
// stands at its path.
constexpr int kPidFileAttempts = 10;

// What stood at path before the pid file took its place now stands at
// aside: a pid file of ours from an earlier run (a regular file of our
// user with no other name) goes; anything else stays there, neither
// followed nor emptied, and is said.
void SetAside(const char *path, const char *aside) {
    int fd = open(aside, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    bool own = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
    if (fd >= 0) close(fd);
    if (own) {
        unlink(aside);
    } else {
        TkPlatformLogf(LOG_NOTICE, "P pid file: moved what stood at %s aside to %s", path, aside);
    }
}

// Puts the file at fresh in path's place in one step: exchanged with what
// stands there (SetAside), or renamed there when nothing does.  A
// directory where exchanges are not supported is moved aside first.
// Returns true when the file is in place.
bool PlaceAt(const char *fresh, const char *path) {
    for (int attempt = 0; attempt < kPidFileAttempts; ++attempt) {
        if (renameat2(AT_FDCWD, fresh, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
            SetAside(path, fresh);
            return true;
        }
        if ((errno == ENOENT || errno == EINVAL) && rename(fresh, path) == 0) return true;
        if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) {
            std::string aside = std::string(path) + ".XXXXXX";
            // mkdtemp draws a name nobody has; the directory goes over it.
            if (mkdtemp(aside.data()) == nullptr) return false;
            if (rename(path, aside.c_str()) == 0) {
                SetAside(path, aside.c_str());
            } else {
                rmdir(aside.c_str());
            }
        } else if (errno != ENOENT) {
            return false;
        }
    }
    errno = EEXIST;
    return false;
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
    if (!TkWriteAll(report[1], "1", 1)) _exit(1);
    close(report[1]);
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    if (!keep_stderr) dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
    return 0;
}

// The pid file lies in a directory that everyone may write to, and the
// daemon runs as root: what stands at the path may be another user's link
// (to a file root would then overwrite), file, directory or FIFO, and it
// may change while the daemon starts.  So the file is written under a
// fresh name beside the path, which nobody else can have made, and then
// put in place in one step; nothing at the path is ever opened.
int save_pid(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char line[32];
    int len = snprintf(line, sizeof line, "%ld\n", static_cast<long>(getpid()));
    std::string fresh = std::string(path) + ".XXXXXX";
    int fd = mkostemp(fresh.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    bool written = fchmod(fd, 0644) == 0 && TkWriteAll(fd, line, static_cast<size_t>(len));
    int err = errno;
    if (close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (written && PlaceAt(fresh.c_str(), path)) return 0;
    if (written) err = errno;
    unlink(fresh.c_str());
    errno = err;
    return -1;
}
