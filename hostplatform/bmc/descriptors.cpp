// Descriptor wrappers: the POSIX calls, carried on across interruptions by
// signal handlers so that the daemon never sees EINTR.
#include <errno.h>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include "bmc_services.h"

namespace {

// Permission bits of every file the daemon creates.
constexpr mode_t kCreateMode = 0644;

}  // namespace

int sigwrap_open(const char *path, int flags) {
    // O_TMPFILE, like O_CREAT, makes a file and so takes a mode.
    bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    int fd;
    do {
        fd = creates ? open(path, flags, kCreateMode) : open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t sigwrap_read(int fd, void *buf, size_t count) {
    ssize_t n;
    do {
        n = read(fd, buf, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sigwrap_write(int fd, const void *buf, size_t count) {
    ssize_t n;
    do {
        n = write(fd, buf, count);
    } while (n < 0 && errno == EINTR);
    return n;
}

// No retry: on Linux the descriptor is released even when close reports
// EINTR, and a second close could release a descriptor another thread has
// just been given.
int sigwrap_close(int fd) { return close(fd); }

int sigwrap_select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout) {
    // Linux leaves the sets alone when interrupted, but keep the caller's
    // own copies so that every retry asks the same question.  The timeout
    // is not restored: Linux has counted it down to what is left, and the
    // retry waits only for that.
    fd_set want_read, want_write, want_except;
    if (readfds != nullptr) want_read = *readfds;
    if (writefds != nullptr) want_write = *writefds;
    if (exceptfds != nullptr) want_except = *exceptfds;
    for (;;) {
        int n = select(nfds, readfds, writefds, exceptfds, timeout);
        if (n >= 0 || errno != EINTR) return n;
        if (readfds != nullptr) *readfds = want_read;
        if (writefds != nullptr) *writefds = want_write;
        if (exceptfds != nullptr) *exceptfds = want_except;
    }
}
