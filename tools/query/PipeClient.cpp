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

bool IsFifo(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
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
    if (!IsFifo(TK_REQUEST_FIFO) || !IsFifo(TK_RESPONSE_FIFO)) {
        throw ToolError(QUERY_NO_DAEMON, "the daemon is not running: no FIFOs at " TK_REQUEST_FIFO " and " TK_RESPONSE_FIFO);
    }

    // Requesters take turns.  Someone else's whole exchange can take up to
    // their time-out, so wait a little longer than that for the lock.
    LockFd = open(TK_QUERY_LOCK_FILE, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (LockFd < 0) LockFd = open(TK_QUERY_LOCK_FILE, O_RDONLY | O_CLOEXEC);
    if (LockFd < 0) {
        throw ToolError(QUERY_USAGE, std::string("cannot open the requesters' lock " TK_QUERY_LOCK_FILE ": ") + strerror(errno));
    }
    double lock_deadline = Now() + 4 * timeout_seconds + 2;
    while (flock(LockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            throw ToolError(QUERY_USAGE, std::string("cannot lock " TK_QUERY_LOCK_FILE ": ") + strerror(errno));
        }
        if (Now() > lock_deadline) {
            throw ToolError(QUERY_USAGE, "another requester has held " TK_QUERY_LOCK_FILE " for too long; try again");
        }
        usleep(20000);
    }

    // Read-write and non-blocking: the open never waits for a peer, and
    // nothing below can block past its deadline.
    RequestFd = open(TK_REQUEST_FIFO, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ResponseFd = open(TK_RESPONSE_FIFO, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (RequestFd < 0 || ResponseFd < 0) {
        int err = errno;
        if (err == ENOENT) throw ToolError(QUERY_NO_DAEMON, "the daemon is not running: its FIFOs went away");
        throw ToolError(QUERY_USAGE, std::string("cannot open the daemon's FIFOs: ") + strerror(err));
    }
}

PipeClient::~PipeClient() {
    if (RequestFd >= 0) close(RequestFd);
    if (ResponseFd >= 0) close(ResponseFd);
    if (LockFd >= 0) close(LockFd);  // releases the lock
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
