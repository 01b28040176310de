#include "PipeClient.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cmath>

#include "ToolCli.h"
#include "Trendkeep.h"

namespace tk {

namespace {

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string KindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    return "a special file";
}

[[noreturn]] void Refuse(const char *path, const std::string &why) {
    throw ToolError(QUERY_NO_DAEMON, std::string("refusing ") + path + ": " + why + ", not the daemon's FIFO");
}

// Opens one of the daemon's FIFOs read-write (so the open waits for no
// peer).  /var/tmp is open to everyone, and we may run as root: a link
// there is never followed, the open does not block on whatever was planted,
// and what was opened must be a FIFO owned by root (the daemon on the BMC)
// or by us (a daemon started by the same user).  Returns the descriptor.
int OpenDaemonFifo(const char *path) {
    struct stat before;
    if (lstat(path, &before) != 0) {
        if (errno == ENOENT) {
            throw ToolError(QUERY_NO_DAEMON, "the daemon is not running: no FIFOs at " TK_REQUEST_FIFO " and " TK_RESPONSE_FIFO);
        }
        throw ToolError(QUERY_USAGE, std::string("cannot look at ") + path + ": " + strerror(errno));
    }
    // Nothing but a FIFO is opened at all: opening a device has effects.
    if (!S_ISFIFO(before.st_mode)) Refuse(path, KindOf(before.st_mode));
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) throw ToolError(QUERY_NO_DAEMON, std::string("the daemon is not running: ") + path + " went away");
        if (err == ELOOP) Refuse(path, "a symbolic link");
        throw ToolError(QUERY_USAGE, std::string("cannot open ") + path + ": " + strerror(err));
    }
    struct stat st;
    std::string why;
    if (fstat(fd, &st) != 0) {
        why = std::string("cannot be looked at (") + strerror(errno) + ")";
    } else if (!S_ISFIFO(st.st_mode)) {
        why = KindOf(st.st_mode);
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        why = "a FIFO of uid " + std::to_string(st.st_uid);
    }
    if (!why.empty()) {
        close(fd);
        Refuse(path, why);
    }
    return fd;
}

// Waits until fd is readable or the deadline passes.
bool WaitReadable(int fd, double deadline) {
    for (;;) {
        double left = deadline - Now();
        if (left <= 0) return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv;
        tv.tv_sec = (time_t)left;
        tv.tv_usec = (suseconds_t)((left - (double)tv.tv_sec) * 1e6);
        int r = select(fd + 1, &set, nullptr, nullptr, &tv);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) throw ToolError(QUERY_USAGE, std::string("waiting for the answer: ") + strerror(errno));
    }
}

}  // namespace

PipeClient::PipeClient(double timeout_seconds) : TimeoutSeconds(timeout_seconds) {
    // On failure the destructor does not run: close what is open here.
    RequestFd = OpenDaemonFifo(TK_REQUEST_FIFO);
    try {
        ResponseFd = OpenDaemonFifo(TK_RESPONSE_FIFO);
    } catch (...) {
        close(RequestFd);
        throw;
    }

    // Requesters take turns.  Someone else's whole exchange can take up to
    // their time-out, so wait a little longer than that for the lock; anyone
    // who may open the FIFO may hold it, so never wait past that.
    double lock_deadline = Now() + 4 * timeout_seconds + 2;
    while (flock(RequestFd, LOCK_EX | LOCK_NB) != 0) {
        std::string why;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = std::string("cannot lock " TK_REQUEST_FIFO ": ") + strerror(errno);
        } else if (Now() > lock_deadline) {
            why = "another requester has held the lock on " TK_REQUEST_FIFO " for too long; try again";
        } else {
            usleep(20000);
            continue;
        }
        close(RequestFd);
        close(ResponseFd);
        throw ToolError(QUERY_USAGE, why);
    }
}

PipeClient::~PipeClient() {
    if (RequestFd >= 0) close(RequestFd);  // releases the lock
    if (ResponseFd >= 0) close(ResponseFd);
}

void PipeClient::Drain() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(ResponseFd, buf, sizeof buf);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

bool PipeClient::Ask(const PipeRequest &req, void *out, size_t len, const uint16_t *echo) {
    Drain();
    ssize_t w;
    do {
        w = write(RequestFd, &req, sizeof req);
    } while (w < 0 && errno == EINTR);
    if (w < 0 && errno == EAGAIN) return false;  // the request FIFO is full: nobody reads it
    if (w != (ssize_t)sizeof req) {
        throw ToolError(QUERY_USAGE, std::string("cannot send the request: ") + (w < 0 ? strerror(errno) : "short write"));
    }

    double deadline = Now() + TimeoutSeconds;
    char *dst = static_cast<char *>(out);
    for (;;) {
        size_t got = 0;
        while (got < len) {
            if (!WaitReadable(ResponseFd, deadline)) return false;
            ssize_t n = read(ResponseFd, dst + got, len - got);
            if (n > 0) {
                got += (size_t)n;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                throw ToolError(QUERY_USAGE, std::string("cannot read the answer: ") + strerror(errno));
            }
        }
        uint16_t num;
        if (echo == nullptr) return true;
        memcpy(&num, dst, sizeof num);
        if (num == *echo) return true;
        // An answer to a request someone gave up on: keep waiting for ours.
    }
}

std::optional<uint32_t> PipeClient::Count() {
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_COUNT_REQ;
    uint32_t count = 0;
    if (!Ask(req, &count, sizeof count, nullptr)) return std::nullopt;
    return count;
}

std::optional<std::vector<SensorEntry>> PipeClient::List() {
    std::optional<uint32_t> count = Count();
    if (!count) return std::nullopt;
    // Far above any sensor count (IPMI numbers are one byte), so a length
    // that is not plausible is not trusted for an allocation.
    if (*count > 4096) throw ToolError(QUERY_USAGE, "implausible sensor count " + std::to_string(*count) + " in the answer");
    std::vector<SensorListItem> items(*count);
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_LIST_REQ;
    if (*count > 0 && !Ask(req, items.data(), items.size() * sizeof(SensorListItem), nullptr)) return std::nullopt;
    std::vector<SensorEntry> list;
    for (const SensorListItem &item : items) {
        list.push_back({item.SensorNum, std::string(item.SensorName, strnlen(item.SensorName, SENSOR_NAME_SIZE)),
                        item.SensorClass});
    }
    return list;
}

bool PipeClient::Data(unsigned num, const std::string &day_text, SensorDataResponse *out) {
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_DATA_REQ;
    snprintf(req.DateTime, sizeof req.DateTime, "%sT00:00:00", day_text.c_str());
    req.SensorNum = (uint16_t)num;
    uint16_t echo = (uint16_t)num;
    return Ask(req, out, sizeof *out, &echo);
}

}  // namespace tk
