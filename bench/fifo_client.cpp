// Times a running daemon through its FIFOs, as the web server talks to it:
// a 131-byte data request into the request FIFO, a 10682-byte answer out of
// the response FIFO, through the tools' own requester (PipeClient: the
// requesters' lock taken, every answer checked as trendkeep-query checks
// it).
//
//   tk_fifo_client rtt COUNT PAUSE_MS SENSOR DATE
//       COUNT requests one after the other, each PAUSE_MS after the last
//       answer; prints the round trip's median, p99 and extremes.
//   tk_fifo_client flood SECONDS SENSOR DATE
//       keeps a few requests waiting in the FIFO for SECONDS and counts the
//       answers per second.
//   tk_fifo_client watch CARD SENSOR_FILE BOUNDARY OFFSET SECONDS
//       watches the daemon record the five-minute round that starts at
//       BOUNDARY (epoch seconds of the daemon's clock), reading the card's
//       files every millisecond: when the round's slot in SENSOR_FILE is
//       recorded, and when the record time file holds BOUNDARY (the daemon
//       writes it once every file is flushed).  The daemon's clock is this
//       machine's real clock plus OFFSET seconds; gives up SECONDS after
//       the boundary.
//
// DATE is "YYYY-MM-DD".  Output: one "name value" line per figure.  Exit 0
// when every request was answered (watch: both were seen), 1 otherwise, 2
// on a usage error.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <stddef.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "PipeClient.h"
#include "StoreData.h"
#include "TextFormat.h"
#include "ToolCli.h"
#include "Trendkeep.h"

namespace {

const double kAnswerTimeoutSeconds = 3.0;
const int kFloodWaiting = 4;  // enough that the daemon never waits for one

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t idx = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[std::min(idx, v.size() - 1)];
}

int RoundTrips(tk::PipeClient &client, int count, int pause_ms, unsigned num, const std::string &day) {
    std::vector<double> us;
    int failed = 0;
    SensorDataResponse answer;
    for (int i = 0; i < count; ++i) {
        double t0 = tk::MonotonicSeconds();
        bool got = client.Data(num, day, &answer);
        double t1 = tk::MonotonicSeconds();
        if (got) {
            us.push_back((t1 - t0) * 1e6);
        } else {
            ++failed;
        }
        if (pause_ms > 0) usleep((useconds_t)pause_ms * 1000);
    }
    printf("rtt.count %zu\n", us.size());
    printf("rtt.failed %d\n", failed);
    printf("rtt.median_us %.1f\n", Percentile(us, 0.5));
    printf("rtt.p99_us %.1f\n", Percentile(us, 0.99));
    printf("rtt.min_us %.1f\n", us.empty() ? 0.0 : *std::min_element(us.begin(), us.end()));
    printf("rtt.max_us %.1f\n", us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
    return failed == 0 && !us.empty() ? 0 : 1;
}

int Flood(tk::PipeClient &client, double seconds, unsigned num, const std::string &day) {
    int waiting = 0;
    long answers = 0;
    long wrong = 0;
    client.Drain();
    double start = tk::MonotonicSeconds();
    while (tk::MonotonicSeconds() < start + seconds) {
        while (waiting < kFloodWaiting && client.SendData(num, day)) ++waiting;
        tk::PipeClient::Taken taken = client.TakeData(num, day, 0.05);
        waiting -= (int)(taken.Fit + taken.Unfit);
        answers += (long)taken.Fit;
        wrong += (long)taken.Unfit;
    }
    double elapsed = tk::MonotonicSeconds() - start;
    // Let the daemon answer what is still waiting, so that whatever is
    // measured next finds it idle.
    while (waiting > 0) {
        tk::PipeClient::Taken taken = client.TakeData(num, day, kAnswerTimeoutSeconds);
        if (taken.Fit + taken.Unfit == 0) break;
        waiting -= (int)(taken.Fit + taken.Unfit);
    }
    printf("flood.answers %ld\n", answers);
    printf("flood.seconds %.2f\n", elapsed);
    printf("flood.per_second %.2f\n", (double)answers / elapsed);
    printf("flood.wrong %ld\n", wrong);
    return answers > 0 && wrong == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Watching a recording on the card

const long kWatchPollNs = 1000000;  // one millisecond

// Milliseconds of the daemon's clock since boundary: the real clock plus
// the daemon's offset.
double DaemonMsSince(long long boundary, long long offset) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    double now = (double)(ts.tv_sec + offset - boundary) * 1e3;
    return now + (double)ts.tv_nsec / 1e6;
}

bool ReadAt(int fd, void *buf, size_t size, off_t offset) {
    ssize_t n = pread(fd, buf, size, offset);
    return n == (ssize_t)size;
}

// Whether the sensor file holds the slot of boundary recorded: the block
// of the boundary's day (found by its DayKey, wherever it lies) has that
// slot stamped with the boundary and marked recorded.  Reads what the
// daemon's mapping holds, through the page cache.
bool SlotRecorded(int fd, long long boundary) {
    int32_t day = (int32_t)(boundary / DAY_SECONDS * DAY_SECONDS);
    int slot = (int)(boundary - day) / SLOT_SECONDS;
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        off_t block = (off_t)offsetof(SensorDataFile, Days) + (off_t)d * (off_t)sizeof(DayBlock);
        int32_t key = 0;
        if (!ReadAt(fd, &key, sizeof key, block + (off_t)offsetof(DayBlock, DayKey))) return false;
        if (key != day) continue;
        SampleSlot s;
        off_t at = block + (off_t)offsetof(DayBlock, Slots) + (off_t)slot * (off_t)sizeof(SampleSlot);
        if (!ReadAt(fd, &s, sizeof s, at)) return false;
        return s.Recorded == 1 && s.SlotTime == (uint32_t)boundary;
    }
    return false;
}

bool RecordTimeReached(int fd, long long boundary) {
    RecordTimeFile rt;
    if (!ReadAt(fd, &rt, sizeof rt, 0)) return false;
    return rt.RecordSlot == (uint32_t)boundary;
}

void AddNs(struct timespec *ts, long ns) {
    ts->tv_nsec += ns;
    while (ts->tv_nsec >= 1000000000L) {
        ts->tv_nsec -= 1000000000L;
        ts->tv_sec += 1;
    }
}

int Watch(const std::string &card, const std::string &sensor_file, long long boundary, long long offset,
          double seconds) {
    std::string dir = card + "/" RECORD_DIR;
    std::string time_path = dir + "/" RECORD_TIME_DIR "/" RECORD_TIME_FILE;
    int sensor_fd = open((dir + "/" + sensor_file).c_str(), O_RDONLY | O_CLOEXEC);
    int time_fd = open(time_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (sensor_fd < 0 || time_fd < 0) {
        fprintf(stderr, "tk_fifo_client: cannot open the card's files under %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    double started = DaemonMsSince(boundary, offset);
    double slot_ms = -1;
    double flush_ms = -1;
    double gap_max = 0;
    double last = started;
    long polls = 0;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        double now = DaemonMsSince(boundary, offset);
        gap_max = std::max(gap_max, now - last);
        last = now;
        ++polls;
        if (slot_ms < 0 && SlotRecorded(sensor_fd, boundary)) slot_ms = now;
        if (flush_ms < 0 && RecordTimeReached(time_fd, boundary)) flush_ms = now;
        if (slot_ms >= 0 && flush_ms >= 0) break;
        if (now > seconds * 1e3) break;
        AddNs(&next, kWatchPollNs);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    close(sensor_fd);
    close(time_fd);
    // A negative start means the watch began before the boundary, so that
    // the first sight of each is the moment it came.
    printf("watch.started_ms %.1f\n", started);
    printf("watch.slot_ms %.1f\n", slot_ms);
    printf("watch.flush_ms %.1f\n", flush_ms);
    printf("watch.polls %ld\n", polls);
    printf("watch.poll_gap_max_ms %.2f\n", gap_max);
    return slot_ms >= 0 && flush_ms >= 0 ? 0 : 1;
}

int Usage(const char *prog) {
    fprintf(stderr,
            "usage: %s rtt COUNT PAUSE_MS SENSOR DATE\n"
            "       %s flood SECONDS SENSOR DATE\n"
            "       %s watch CARD SENSOR_FILE BOUNDARY OFFSET SECONDS\n",
            prog, prog, prog);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage(argv[0]);
    std::string mode = argv[1];
    if (mode == "watch") {
        if (argc != 7) return Usage(argv[0]);
        long long boundary = atoll(argv[4]);
        long long offset = atoll(argv[5]);
        return Watch(argv[2], argv[3], boundary, offset, atof(argv[6]));
    }
    int sensor_arg = mode == "rtt" ? 4 : 3;
    if ((mode == "rtt" && argc != 6) || (mode == "flood" && argc != 5) || (mode != "rtt" && mode != "flood")) {
        return Usage(argv[0]);
    }
    const unsigned num = (unsigned)strtoul(argv[sensor_arg], nullptr, 0);
    const std::string day = argv[sensor_arg + 1];
    tk::SetProgramName("tk_fifo_client");
    try {
        // Takes the requesters' turn and drains what an earlier client left.
        tk::PipeClient client(kAnswerTimeoutSeconds, false);
        if (mode == "rtt") return RoundTrips(client, atoi(argv[2]), atoi(argv[3]), num, day);
        return Flood(client, atof(argv[2]), num, day);
    } catch (const tk::ToolError &e) {
        fprintf(stderr, "tk_fifo_client: %s\n", e.what());
        return 1;
    }
}
