#include "PipeClient.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "LocalCalendar.h"
#include "TextFormat.h"
#include "ToolCli.h"
#include "Trendkeep.h"

namespace tk {

namespace {

[[noreturn]] void Refuse(const char *path, const std::string &why) {
    throw ToolError(QUERY_NO_DAEMON, std::string("refusing ") + path + ": " + why + ", not the daemon's FIFO");
}

// Whether a user other than root and uid belongs to the group gid: a user
// whose primary group it is, or one it lists as a member (a name without a
// user counts as another).
bool GroupHasOthers(gid_t gid, uid_t uid) {
    bool found = false;
    setpwent();
    while (struct passwd *pw = getpwent()) {
        if (pw->pw_gid == gid && pw->pw_uid != 0 && pw->pw_uid != uid) {
            found = true;
            break;
        }
    }
    endpwent();
    if (found) return true;
    struct group *gr = getgrgid(gid);
    if (gr == nullptr) return false;
    // Copied: looking the names up may reuse the group's storage.
    std::vector<std::string> members;
    for (char **m = gr->gr_mem; *m != nullptr; ++m) members.push_back(*m);
    for (const std::string &name : members) {
        struct passwd *pw = getpwnam(name.c_str());
        if (pw == nullptr || (pw->pw_uid != 0 && pw->pw_uid != uid)) return true;
    }
    return false;
}

// Whoever else may read or write a FIFO can take requests out of it or put
// answers of their own in: nothing tells their answers from the daemon's.
// Says so on standard error when anyone but root and us may (the "other"
// bits, or the group's where the group has other members), and goes on.
void WarnIfOpenToOthers(const char *path, const struct stat &st) {
    const uid_t me = geteuid();
    bool open_to_others = (st.st_mode & (S_IROTH | S_IWOTH)) != 0;
    if (!open_to_others && (st.st_mode & (S_IRGRP | S_IWGRP)) != 0) open_to_others = GroupHasOthers(st.st_gid, me);
    if (!open_to_others) return;
    std::string who = "root";
    if (me != 0) {
        struct passwd *pw = getpwuid(me);
        who += " and " + (pw != nullptr ? std::string(pw->pw_name) : "uid " + std::to_string(me));
    }
    struct group *gr = getgrgid(st.st_gid);
    const std::string group = gr != nullptr ? std::string(gr->gr_name) : std::to_string(st.st_gid);
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", (unsigned)(st.st_mode & 07777));
    const std::string text = std::string("warning: ") + path + " can be read or written by users other than " + who +
                             " (mode " + mode + ", group " + group +
                             "): they can take requests or forge answers, so the answers cannot be trusted";
    fprintf(stderr, "%s: %s\n", ProgramName(), PrintableText(text).c_str());
}

// Opens one of the daemon's FIFOs read-write (so the open waits for no
// peer).  /var/tmp is open to everyone, and we may run as root: a link
// there is never followed, nothing but a FIFO is opened at all (opening a
// device has effects; OpenEntryAt looks at the entry before it opens it,
// so nothing swapped in since is opened), the open does not block on
// whatever was planted, and what was opened must be owned by root (the
// daemon on the BMC) or by us (a daemon started by the same user).
// Returns the descriptor.
int OpenDaemonFifo(const char *path) {
    struct stat st = {};
    int fd = OpenEntryAt(AT_FDCWD, path, O_RDWR | O_NONBLOCK, S_IFIFO, &st);
    if (fd < 0) {
        int err = errno;
        const bool found = (st.st_mode & S_IFMT) != 0;
        if (err == ENOENT && !found) {
            throw ToolError(QUERY_NO_DAEMON,
                            "the daemon is not running: no FIFOs at " TK_REQUEST_FIFO " and " TK_RESPONSE_FIFO);
        }
        if (err == ENOENT)
            throw ToolError(QUERY_NO_DAEMON, std::string("the daemon is not running: ") + path + " went away");
        if ((err == ELOOP || err == EINVAL) && found && !S_ISFIFO(st.st_mode)) Refuse(path, FileKindText(st.st_mode));
        if (!found) throw ToolError(QUERY_USAGE, std::string("cannot look at ") + path + ": " + strerror(err));
        throw ToolError(QUERY_USAGE, std::string("cannot open ") + path + ": " + strerror(err));
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        close(fd);
        Refuse(path, "a FIFO of uid " + std::to_string(st.st_uid));
    }
    WarnIfOpenToOthers(path, st);
    return fd;
}

// Waits until fd is readable or the deadline passes.
bool WaitReadable(int fd, double deadline) {
    for (;;) {
        double left = deadline - MonotonicSeconds();
        if (left <= 0) return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv;
        tv.tv_sec = (time_t)left;
        tv.tv_usec = (suseconds_t)((left - (double)tv.tv_sec) * 1e6);
        int r = select(fd + 1, &set, nullptr, nullptr, &tv);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR)
            throw ToolError(QUERY_USAGE, std::string("waiting for the answer: ") + strerror(errno));
    }
}

// Reads what waits in fd, keeping the last len bytes of it in held and
// counting all of it in came, until fd is read empty (true) or the deadline
// passes first (false).
bool ReadWaiting(int fd, std::vector<unsigned char> *held, size_t *came, size_t len, double deadline) {
    unsigned char buf[4096];
    while (MonotonicSeconds() < deadline) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            *came += (size_t)n;
            held->insert(held->end(), buf, buf + n);
            if (held->size() > len) held->erase(held->begin(), held->end() - (ptrdiff_t)len);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN)
            throw ToolError(QUERY_USAGE, std::string("cannot read the answer: ") + strerror(errno));
        return true;
    }
    return false;
}

std::string CountProblem(uint32_t count) {
    // The daemon lists at most TK_MAX_SENSORS sensors besides the three
    // utilisation entries, which always close the list.
    const uint32_t most = TK_MAX_SENSORS + UTIL_ENTRY_COUNT;
    if (count >= UTIL_ENTRY_COUNT && count <= most) return "";
    return "implausible sensor count " + std::to_string(count) + " (the daemon keeps " +
           std::to_string(UTIL_ENTRY_COUNT) + " to " + std::to_string(most) + ")";
}

// The daemon lists the first 16 characters of each name with the rest of
// the field zero, and closes the list with the three utilisation entries.
std::string ListProblem(const unsigned char *answer, uint32_t count) {
    static const struct {
        unsigned Num;
        const char *Name;
    } kClosing[UTIL_ENTRY_COUNT] = {{CPU_UTIL_NUM, CPU_UTIL_NAME},
                                    {MEM_UTIL_NUM, MEM_UTIL_NAME},
                                    {IO_UTIL_NUM, IO_UTIL_NAME}};
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char *at = answer + (size_t)i * sizeof(SensorListItem);
        const unsigned char *name = at + offsetof(SensorListItem, SensorName);
        for (size_t b = SENSOR_LIST_NAME_CHARS; b < SENSOR_NAME_SIZE; ++b) {
            if (name[b] != 0) {
                return "item " + std::to_string(i) + " has a name that runs past " +
                       std::to_string(SENSOR_LIST_NAME_CHARS) + " bytes";
            }
        }
        if (count - i > UTIL_ENTRY_COUNT) continue;
        SensorListItem item;
        memcpy(&item, at, sizeof item);
        const unsigned num = item.SensorNum, cls = item.SensorClass;
        const auto &want = kClosing[UTIL_ENTRY_COUNT - (count - i)];
        const std::string text = FieldText(reinterpret_cast<const char *>(name), SENSOR_NAME_SIZE);
        if (num != want.Num || cls != UTIL_SENSOR_CLASS || text != want.Name) {
            return "item " + std::to_string(i) + " is " + SensorNumText(num) + " '" + text + "' of class " +
                   std::to_string(cls) + ", not the utilisation entry " + SensorNumText(want.Num) + " '" + want.Name +
                   "' of class " + std::to_string(UTIL_SENSOR_CLASS) + " that the list ends with";
        }
    }
    return "";
}

// A history answer belongs to the day that runs from day_key to day_end,
// the next local midnight (23 or 25 hours later where the clocks change).
// The daemon stamps each slot of the window it walks, the day's 288
// five-minute steps from its key, with the step's time, records slots only
// within the day, and sends extreme times of the day, or 0 for a day with
// nothing recorded.
std::string DataProblem(const unsigned char *answer, unsigned num, int64_t day_key, int64_t day_end,
                        const std::string &day_text) {
    SensorDataResponse resp;
    memcpy(&resp, answer, sizeof resp);
    const unsigned got = resp.SensorNum;
    if (got != num) return "an answer for sensor " + SensorNumText(got) + ", not " + SensorNumText(num);
    if (day_key == -1 || day_end == -1) return day_text + " has no local midnight in this time zone";
    const int64_t walk_end = day_key + (int64_t)SLOTS_PER_DAY * SLOT_SECONDS;
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const int64_t t = resp.Slots[s].SlotTime;
        const unsigned recorded = resp.Slots[s].Recorded;
        if (recorded == 1 && (t < day_key || t >= day_end)) {
            return "slot " + std::to_string(s) + " recorded at " + DateTimeText(t) + ", outside " + day_text;
        }
        if (t != 0 && (t < day_key || t >= walk_end)) {
            return "slot " + std::to_string(s) + " stamped " + DateTimeText(t) + ", outside the five-minute steps of " +
                   day_text;
        }
    }
    const int64_t max_time = resp.MaxTime, min_time = resp.MinTime;
    const std::pair<const char *, int64_t> extremes[] = {{"greatest", max_time}, {"least", min_time}};
    for (const auto &[what, t] : extremes) {
        if (t != 0 && (t < day_key || t >= day_end)) {
            return std::string("the ") + what + " value's time " + DateTimeText(t) + " lies outside " + day_text;
        }
    }
    return "";
}

}  // namespace

PipeClient::PipeClient(double timeout_seconds, bool verbose) : TimeoutSeconds(timeout_seconds), Verbose(verbose) {
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
    double lock_deadline = MonotonicSeconds() + 4 * timeout_seconds + 2;
    while (flock(RequestFd, LOCK_EX | LOCK_NB) != 0) {
        std::string why;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = std::string("cannot lock " TK_REQUEST_FIFO ": ") + strerror(errno);
        } else if (MonotonicSeconds() > lock_deadline) {
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

void PipeClient::Note(const std::string &text) const {
    if (Verbose) fprintf(stderr, "%s: %s\n", ProgramName(), PrintableText(text).c_str());
}

// Our turn is taken, so what waits in the response FIFO was written for a
// requester that gave up.  Only what is there now is read: a writer that
// keeps writing cannot hold us here.
void PipeClient::Drain() {
    int waiting = 0;
    if (ioctl(ResponseFd, FIONREAD, &waiting) != 0 || waiting <= 0) return;
    size_t left = (size_t)waiting;
    size_t drained = 0;
    char buf[4096];
    while (left > 0) {
        ssize_t n = read(ResponseFd, buf, std::min(left, sizeof buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        left -= (size_t)n;
        drained += (size_t)n;
    }
    if (drained > 0) {
        Note("discarded " + std::to_string(drained) +
             " stale bytes from the response FIFO before asking: answers for a requester that gave up");
    }
}

bool PipeClient::Ask(const PipeRequest &req, void *out, size_t len, const char *kind, const AnswerCheck &check) {
    Drain();
    ssize_t w;
    do {
        w = write(RequestFd, &req, sizeof req);
    } while (w < 0 && errno == EINTR);
    if (w < 0 && errno == EAGAIN) return false;  // the request FIFO is full: nobody reads it
    if (w != (ssize_t)sizeof req) {
        throw ToolError(QUERY_USAGE,
                        std::string("cannot send the request: ") + (w < 0 ? strerror(errno) : "short write"));
    }

    // The daemon writes each answer with one write, and a reader gets all of
    // a write or none of it.  So whenever the FIFO has been read empty, what
    // came since the last look ends where an answer ends: ours, if it came,
    // is the last len bytes, and whatever came ahead of it answered requests
    // of others that gave up.  What cannot be ours is discarded whole.
    const double deadline = MonotonicSeconds() + TimeoutSeconds;
    const std::string bytes_read = " bytes from the response FIFO";
    std::vector<unsigned char> held;
    size_t came = 0;
    for (;;) {
        if (!WaitReadable(ResponseFd, deadline) || !ReadWaiting(ResponseFd, &held, &came, len, deadline)) {
            if (came > 0) {
                Note("discarded " + std::to_string(came) + bytes_read + ": no whole " + kind + " answer of " +
                     std::to_string(len) + " bytes ended there before the deadline");
            }
            return false;
        }
        if (held.size() < len) continue;
        const std::string why = check(held.data());
        if (why.empty()) {
            if (came > len) {
                Note("discarded " + std::to_string(came - len) + bytes_read + " that came ahead of the " + kind +
                     " answer: answers to requests of others");
            }
            memcpy(out, held.data(), len);
            return true;
        }
        Note("discarded " + std::to_string(came) + bytes_read + ": not the " + kind + " answer asked for: " + why);
        held.clear();
        came = 0;
    }
}

std::optional<uint32_t> PipeClient::Count() {
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_COUNT_REQ;
    uint32_t count = 0;
    auto check = [](const unsigned char *answer) {
        uint32_t c;
        memcpy(&c, answer, sizeof c);
        return CountProblem(c);
    };
    if (!Ask(req, &count, sizeof count, "count", check)) return std::nullopt;
    return count;
}

std::optional<std::vector<SensorEntry>> PipeClient::List() {
    // A count that Count gives is within the daemon's bound, so it is fit
    // for an allocation.
    std::optional<uint32_t> count = Count();
    if (!count) return std::nullopt;
    std::vector<SensorListItem> items(*count);
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_LIST_REQ;
    const uint32_t n = *count;
    auto check = [n](const unsigned char *answer) { return ListProblem(answer, n); };
    if (!Ask(req, items.data(), items.size() * sizeof(SensorListItem), "list", check)) return std::nullopt;
    std::vector<SensorEntry> list;
    for (const SensorListItem &item : items) {
        list.push_back({item.SensorNum, std::string(item.SensorName, strnlen(item.SensorName, SENSOR_NAME_SIZE)),
                        item.SensorClass});
    }
    return list;
}

namespace {

PipeRequest DataRequest(unsigned num, const std::string &day_text) {
    PipeRequest req;
    memset(&req, 0, sizeof req);
    req.RequestType = SENSOR_DATA_REQ;
    snprintf(req.DateTime, sizeof req.DateTime, "%sT00:00:00", day_text.c_str());
    req.SensorNum = (uint16_t)num;
    return req;
}

// Why answer cannot be the history of num on day_text; empty when it can.
std::string DataAnswerProblem(const unsigned char *answer, unsigned num, const std::string &day_text) {
    const int64_t day_key = DayKeyOf(day_text);
    const int64_t day_end = day_key == -1 ? -1 : NextDayKey(day_key);
    return DataProblem(answer, num, day_key, day_end, day_text);
}

}  // namespace

bool PipeClient::Data(unsigned num, const std::string &day_text, SensorDataResponse *out) {
    auto check = [&](const unsigned char *answer) { return DataAnswerProblem(answer, num, day_text); };
    return Ask(DataRequest(num, day_text), out, sizeof *out, "data", check);
}

bool PipeClient::SendData(unsigned num, const std::string &day_text) {
    const PipeRequest req = DataRequest(num, day_text);
    ssize_t w;
    do {
        w = write(RequestFd, &req, sizeof req);
    } while (w < 0 && errno == EINTR);
    return w == (ssize_t)sizeof req;
}

PipeClient::Taken PipeClient::TakeData(unsigned num, const std::string &day_text, double wait_seconds) {
    // Answers are counted whole; the start of one that has not all come
    // waits in Pending for the rest.
    Taken taken;
    const double deadline = MonotonicSeconds() + wait_seconds;
    if (!WaitReadable(ResponseFd, deadline)) return taken;
    unsigned char buf[4096];
    for (;;) {
        ssize_t n = read(ResponseFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        Pending.insert(Pending.end(), buf, buf + n);
    }
    const size_t len = sizeof(SensorDataResponse);
    while (Pending.size() >= len) {
        if (DataAnswerProblem(Pending.data(), num, day_text).empty()) {
            ++taken.Fit;
        } else {
            ++taken.Unfit;
        }
        Pending.erase(Pending.begin(), Pending.begin() + (ptrdiff_t)len);
    }
    return taken;
}

}  // namespace tk
