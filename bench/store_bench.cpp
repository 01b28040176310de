// Trendkeep's history store beside RRDtool, both in process, on the same
// card, with the scenario of bench_scenario.h (258 sensors, nine days of
// five-minute history, both sides wrapped around).
//
//   trendkeep_bench --card-root DIR [--flushed-rounds N [--sweep-stride K]] [--reuse]
//                   [benchmark flags]
//   trendkeep_bench --make-daemon-card DIR [--now EPOCH]
//
// --flushed-rounds N first runs N flushed recording rounds of each side in
// turns, and the store's flush against one fdatasync per file, and prints
// their median times and the bytes written as "round.<what> <value>"
// lines, then the pages each file's rounds write over a whole day, every
// K-th slot ("pages.<what> <value>"); then the benchmarks run (Google
// Benchmark flags apply).  --reuse
// keeps cards filled by an earlier run of the same scenario.
// --make-daemon-card writes the scenario's history up to now (or EPOCH)
// for the daemon's list of run_bench.py's sensor file.
//
// Each benchmark opens with one line: what it measures, and why it matters.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stddef.h>
#include <rrd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TextFormat.h"
#include "Trendkeep.h"
#include "bench_scenario.h"

using namespace tkbench;

namespace {

std::string g_root;
bool g_reuse = false;

std::string MainCard() { return g_root + "/tk_main"; }
std::string SwitchCard() { return g_root + "/tk_switch"; }
std::string RrdCard() { return g_root + "/rrd_main"; }

// The filled cards are made on first use, so a filtered run fills only
// what it needs.
bool g_tkfilled = false;
bool g_switchfilled = false;
bool g_rrdfilled = false;

bool BindMainCard(benchmark::State &state) {
    if (!g_tkfilled) {
        if (FillTkCard(MainCard(), g_reuse) != 0) {
            state.SkipWithError("filling the Trendkeep card failed");
            return false;
        }
        g_tkfilled = true;
    }
    if (BoundCard() != MainCard() && OpenTkStore(MainCard(), g_benchnow) != 0) {
        state.SkipWithError("opening the Trendkeep card failed");
        return false;
    }
    return true;
}

bool ReadyRrdCard(benchmark::State &state) {
    if (!g_rrdfilled) {
        if (FillRrdCard(RrdCard(), g_reuse) != 0) {
            state.SkipWithError("filling the RRDtool card failed");
            return false;
        }
        g_rrdfilled = true;
    }
    return true;
}

// Descriptors of every file of a card, for the flushes of the baselines.
struct FileSet {
    std::vector<int> Fds;
    explicit FileSet(const std::vector<std::string> &paths) {
        for (const std::string &p : paths) Fds.push_back(open(p.c_str(), O_RDWR | O_CLOEXEC));
    }
    ~FileSet() {
        for (int fd : Fds) {
            if (fd >= 0) close(fd);
        }
    }
    bool Ok() const {
        for (int fd : Fds) {
            if (fd < 0) return false;
        }
        return true;
    }
};

std::vector<std::string> TkPaths(const std::string &card) {
    std::vector<std::string> p;
    for (int i = 0; i < kEntries; ++i) p.push_back(TkFilePath(card, i));
    return p;
}

std::vector<std::string> RrdPaths() {
    std::vector<std::string> p;
    for (int i = 0; i < kEntries; ++i) p.push_back(RrdFilePath(RrdCard(), i));
    return p;
}

// One recording round of the store thread: the slot of five minutes on the
// last day, cycling through the day so that every slot position is met.
uint32_t g_roundslot = 0;
void TkRecordRound(uint32_t slot_index) {
    uint32_t slot = (uint32_t)g_lastday + SLOT_SECONDS * (slot_index % SLOTS_PER_DAY);
    RecordSensorsDataToMem(List(), RecordStore.SensorArr, slot, (uint32_t)g_lastday);
}
void TkRecordRound() { TkRecordRound(g_roundslot++); }

// One round of RRDtool: one update of every file, five minutes after the
// last.  Returns false when an update fails.
bool RrdUpdateRound(const std::vector<std::string> &paths) {
    g_rrdlast += SLOT_SECONDS;
    for (int i = 0; i < kEntries; ++i) {
        char v[64];
        snprintf(v, sizeof v, "%lld:%.6f", (long long)g_rrdlast, FigureAt(i, (uint32_t)g_rrdlast));
        const char *argv[] = {v};
        if (rrd_update_r(paths[(size_t)i].c_str(), nullptr, 1, argv) != 0) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// 1. A recording round for 258 sensors

// RecordSensorsDataToMem, 258 sensors: held under the list mutex, so the sampling thread waits for it.
void BM_TkRecord(benchmark::State &state) {
    if (!BindMainCard(state)) return;
    SetFigures((uint32_t)g_lastday);
    for (auto _ : state) TkRecordRound();
    state.counters["sensors"] = kEntries;
}

// The round with UpdateMemToFile: a whole five-minute turn of the store thread, the card's latency included, and
// the files' pages let go of as the turn does.
void BM_TkRecordFlush(benchmark::State &state) {
    if (!BindMainCard(state)) return;
    SetFigures((uint32_t)g_lastday);
    for (auto _ : state) {
        TkRecordRound();
        UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount);
        for (uint32_t i = 0; i < RecordStore.RecordCount; ++i) ReleaseFilePages(RecordStore.SensorArr[i].Map);
    }
}

// The round with one fdatasync per file instead: the floor the store's msync flush is held against.
void BM_TkRecordFdatasync(benchmark::State &state) {
    if (!BindMainCard(state)) return;
    FileSet files(TkPaths(MainCard()));
    if (!files.Ok()) {
        state.SkipWithError("cannot open the store files");
        return;
    }
    SetFigures((uint32_t)g_lastday);
    for (auto _ : state) {
        TkRecordRound();
        for (int fd : files.Fds) fdatasync(fd);
    }
}

// 258 rrd_update_r calls: RRDtool's cost for one round of samples, the counterpart of the recording.
void BM_RrdUpdate(benchmark::State &state) {
    if (!ReadyRrdCard(state)) return;
    std::vector<std::string> paths = RrdPaths();
    for (auto _ : state) {
        if (!RrdUpdateRound(paths)) {
            state.SkipWithError(RrdError().c_str());
            return;
        }
    }
}

// 258 rrd_update_r calls and an fsync of each file: RRDtool made as durable as the store's flushed round.
void BM_RrdUpdateFsync(benchmark::State &state) {
    if (!ReadyRrdCard(state)) return;
    std::vector<std::string> paths = RrdPaths();
    FileSet files(paths);
    if (!files.Ok()) {
        state.SkipWithError("cannot open the RRDtool files");
        return;
    }
    for (auto _ : state) {
        if (!RrdUpdateRound(paths)) {
            state.SkipWithError(RrdError().c_str());
            return;
        }
        for (int fd : files.Fds) fsync(fd);
    }
}

// ---------------------------------------------------------------------------
// 2. One day of one sensor

// A data request answered in process: zero the query as the store thread
// does, set the window, search the files.  Cycles over all 258 sensors so
// that the file search meets every position in the array.
void TkQuery(benchmark::State &state, int32_t day) {
    if (!BindMainCard(state)) return;
    static SensorDataQuery query;
    int k = 0;
    long answered = 0;
    for (auto _ : state) {
        memset(&query, 0, sizeof query);
        query.SensorNum = SensorNumber(k++ % kEntries);
        SetQueryWindow(&query, day, (int32_t)g_benchnow);
        answered += SearchSensorDataFromFile(RecordStore.SensorArr, &query, RecordStore.RecordCount) == 0;
        benchmark::DoNotOptimize(query);
    }
    if (answered != (long)state.iterations()) state.SkipWithError("a query found no day");
}

// SearchSensorDataFromFile for today (287 slots): the in-process part of the answer a web page waits for.
void BM_TkQueryToday(benchmark::State &state) { TkQuery(state, g_lastday); }

// SearchSensorDataFromFile for a past day (288 slots), the same for the history pages.
void BM_TkQueryPastDay(benchmark::State &state) { TkQuery(state, g_lastday - 3 * DAY_SECONDS); }

// rrd_fetch_r of one day of one series (one consolidation function),
// cycling over the 258 files.  rrd_fetch_r rounds the end up to the next
// row, so a past day's 288 rows are asked for up to 300 s before the next
// midnight, and today's 287 finished slots up to 300 s before the current
// one.
void RrdFetch(benchmark::State &state, int32_t day, time_t end, int functions) {
    if (!ReadyRrdCard(state)) return;
    std::vector<std::string> paths = RrdPaths();
    static const char *kFunctions[] = {"AVERAGE", "MAX", "MIN", "LAST"};
    int k = 0;
    unsigned long rows = 0;
    for (auto _ : state) {
        const std::string &path = paths[(size_t)(k++ % kEntries)];
        for (int f = 0; f < functions; ++f) {
            time_t start = day;
            time_t stop = end;
            unsigned long step = 0, ds_cnt = 0;
            char **names = nullptr;
            rrd_value_t *data = nullptr;
            if (rrd_fetch_r(path.c_str(), kFunctions[f], &start, &stop, &step, &ds_cnt, &names, &data) != 0) {
                state.SkipWithError(RrdError().c_str());
                return;
            }
            rows = step ? (unsigned long)(stop - start) / step : 0;
            benchmark::DoNotOptimize(data);
            for (unsigned long n = 0; n < ds_cnt; ++n) rrd_freemem(names[n]);
            rrd_freemem(names);
            rrd_freemem(data);
        }
    }
    state.counters["rows"] = (double)rows;
}

// rrd_fetch_r of today (287 rows): RRDtool's counterpart of today's answer.
void BM_RrdFetchToday(benchmark::State &state) {
    RrdFetch(state, g_lastday, g_benchnow / SLOT_SECONDS * SLOT_SECONDS - SLOT_SECONDS, 1);
}
// rrd_fetch_r of a past day (288 rows): RRDtool's counterpart of a past day's answer.
void BM_RrdFetchPastDay(benchmark::State &state) {
    int32_t day = g_lastday - 3 * DAY_SECONDS;
    RrdFetch(state, day, day + DAY_SECONDS - SLOT_SECONDS, 1);
}
// rrd_fetch_r of a past day's four series (LAST, MAX, MIN, AVERAGE): what one Trendkeep answer carries.
void BM_RrdFetchPastDay4(benchmark::State &state) {
    int32_t day = g_lastday - 3 * DAY_SECONDS;
    RrdFetch(state, day, day + DAY_SECONDS - SLOT_SECONDS, 4);
}

// ---------------------------------------------------------------------------
// 4. Day switch and store initialisation

// SwitchRecordDay over 258 files, each time to the next day: the midnight turn, during which requests wait.
void BM_TkDaySwitch(benchmark::State &state) {
    if (!g_switchfilled) {
        if (FillTkCard(SwitchCard(), false) != 0) {
            state.SkipWithError("filling the day switch card failed");
            return;
        }
        g_switchfilled = true;
    } else if (BoundCard() != SwitchCard() && OpenTkStore(SwitchCard(), g_benchnow) != 0) {
        state.SkipWithError("opening the day switch card failed");
        return;
    }
    // Eight days in turn: each is gone from the seven blocks when it comes
    // round again, so every switch takes the oldest block, as a new day
    // does, and the keys stay far from the end of 32-bit time.
    static int k = 0;
    for (auto _ : state) {
        int32_t day = g_lastday + DAY_SECONDS * (1 + k++ % 8);
        SwitchRecordDay(RecordStore.SensorArr, RecordStore.RecordCount, day, 0);
    }
}

// InitSensorDataRecordSt on an empty card: the first start on a new card (258 files created and flushed).
void BM_TkInitEmpty(benchmark::State &state) {
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CloseTkStore();
        std::string card = g_root + "/tk_empty" + std::to_string(k++);
        RemoveTree(card);
        state.ResumeTiming();
        int rc = OpenTkStore(card, g_benchnow);
        state.PauseTiming();
        CloseTkStore();
        RemoveTree(card);
        state.ResumeTiming();
        if (rc != 0) {
            state.SkipWithError("initialisation failed");
            return;
        }
    }
}

// InitSensorDataRecordSt on a full card of an earlier run: every restart, with nothing recorded or answered.
void BM_TkInitFull(benchmark::State &state) {
    if (!BindMainCard(state)) return;
    for (auto _ : state) {
        state.PauseTiming();
        CloseTkStore();
        state.ResumeTiming();
        if (OpenTkStore(MainCard(), g_benchnow) != 0) {
            state.SkipWithError("initialisation failed");
            return;
        }
    }
}

// rrd_create_r of 258 files and an fsync of each: RRDtool's counterpart of the first start on a new card.
void BM_RrdCreate(benchmark::State &state) {
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string dir = g_root + "/rrd_empty" + std::to_string(k++);
        RemoveTree(dir);
        mkdir(dir.c_str(), 0755);
        state.ResumeTiming();
        for (int i = 0; i < kEntries; ++i) {
            std::string path = dir + "/" + SensorName(i) + ".rrd";
            if (CreateRrdFile(path, g_benchnow) != 0) {
                state.SkipWithError(RrdError().c_str());
                return;
            }
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                fsync(fd);
                close(fd);
            }
        }
        state.PauseTiming();
        RemoveTree(dir);
        state.ResumeTiming();
    }
}

// ---------------------------------------------------------------------------
// 1 and 3. Flushed rounds, timed and weighed side by side

// A flushed round costs what the card's latency costs, and the card is
// shared with whatever else the machine writes, so these are measured in
// turns rather than one benchmark after the other:
//
// - Rounds: the store's round with its flush and RRDtool's round with an
//   fsync per file take turns, each starting from a synced card.  Each is
//   timed and weighed: the process's write_bytes, and the device's written
//   sectors after a syncfs, so that the metadata and journal writes caused
//   by the round count too.
// - Flush against the floor: after a store round, file by file, the
//   store's flush of that one file (UpdateMemToFile over its handler) and
//   one fdatasync of it take turns, the page written again in between, so
//   that both meet the same card at the same moment.
struct RoundFigures {
    std::vector<double> Seconds;
    long long ProcessBytes = 0;
    long long DeviceBytes = 0;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Samples(const std::vector<double> &v) {
    std::string all;
    for (double x : v) {
        if (!all.empty()) all += ',';
        all += std::to_string(x);
    }
    return all;
}

// Writes the Recorded byte of slot s of the last day's block again, which
// dirties the slot's page as the recording did.
void TouchSlot(SensorDataFile *file, uint32_t slot_index) {
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        if (file->Days[d].DayKey != g_lastday) continue;
        size_t offset = offsetof(SensorDataFile, Days) + sizeof(DayBlock) * (size_t)d + offsetof(DayBlock, Slots) +
                        sizeof(SampleSlot) * (slot_index % SLOTS_PER_DAY);
        volatile uint8_t *recorded = reinterpret_cast<volatile uint8_t *>(file) + offset;
        *recorded = *recorded;
        return;
    }
}

int RunFlushedRounds(int rounds) {
    if (FillTkCard(MainCard(), g_reuse) != 0 || FillRrdCard(RrdCard(), g_reuse) != 0) {
        fprintf(stderr, "bench: filling the cards failed\n");
        return -1;
    }
    g_tkfilled = g_rrdfilled = true;
    SetFigures((uint32_t)g_lastday);
    FileSet tk_files(TkPaths(MainCard()));
    std::vector<std::string> rrd_paths = RrdPaths();
    FileSet rrd_files(rrd_paths);
    int dirfd = open(g_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!tk_files.Ok() || !rrd_files.Ok() || dirfd < 0) {
        fprintf(stderr, "bench: cannot open the cards' files\n");
        if (dirfd >= 0) close(dirfd);
        return -1;
    }
    bool device = DeviceWriteBytes(g_root) >= 0;
    // Slots spread over the day, so that slots near their block's head and
    // far from it all take part.
    uint32_t slot_index = 150;
    const char *names[2] = {"tk", "rrd"};
    RoundFigures figures[2];
    std::vector<double> store_flush, floor_flush;
    bool ok = true;
    for (int r = 0; r < rounds && ok; ++r) {
        for (int k = 0; k < 2 && ok; ++k) {
            int v = (r + k) % 2;
            syncfs(dirfd);
            long long p0 = ProcessWriteBytes();
            long long d0 = DeviceWriteBytes(g_root);
            double t0 = tk::MonotonicSeconds();
            if (v == 0) {
                TkRecordRound(slot_index);
                UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount);
                for (uint32_t i = 0; i < RecordStore.RecordCount; ++i) ReleaseFilePages(RecordStore.SensorArr[i].Map);
            } else {
                ok = RrdUpdateRound(rrd_paths);
                for (int fd : rrd_files.Fds) fsync(fd);
            }
            double t1 = tk::MonotonicSeconds();
            long long p1 = ProcessWriteBytes();
            syncfs(dirfd);
            long long d1 = DeviceWriteBytes(g_root);
            figures[v].Seconds.push_back(t1 - t0);
            figures[v].ProcessBytes += p1 - p0;
            figures[v].DeviceBytes += d1 - d0;
        }
        slot_index += 29;

        // The flush against the floor, file by file.
        syncfs(dirfd);
        TkRecordRound(slot_index);
        double store = 0, floor = 0;
        for (int i = 0; i < kEntries; ++i) {
            StoreHandler *h = &RecordStore.SensorArr[i];
            for (int k = 0; k < 2; ++k) {
                bool store_turn = ((i + r + k) % 2) == 0;
                if (k == 1) TouchSlot(h->Map, slot_index);
                double t0 = tk::MonotonicSeconds();
                if (store_turn) {
                    UpdateMemToFile(h, 1);
                } else {
                    fdatasync(tk_files.Fds[(size_t)i]);
                }
                double dt = tk::MonotonicSeconds() - t0;
                (store_turn ? store : floor) += dt;
            }
        }
        store_flush.push_back(store);
        floor_flush.push_back(floor);
        slot_index += 29;
    }
    close(dirfd);
    if (!ok) {
        fprintf(stderr, "bench: an RRDtool update failed: %s\n", RrdError().c_str());
        return -1;
    }
    double per = (double)rounds * kEntries;
    printf("round.count %d\n", rounds);
    printf("round.device %s\n", DeviceName(g_root).c_str());
    for (int v = 0; v < 2; ++v) {
        printf("round.%s.seconds %.6f\n", names[v], Median(figures[v].Seconds));
        printf("round.%s.samples %s\n", names[v], Samples(figures[v].Seconds).c_str());
        printf("round.%s.process_bytes_per_file %.1f\n", names[v], (double)figures[v].ProcessBytes / per);
        printf("round.%s.device_bytes_per_file %.1f\n", names[v], device ? (double)figures[v].DeviceBytes / per : -1.0);
    }
    printf("round.flush.store_seconds %.6f\n", Median(store_flush));
    printf("round.flush.store_samples %s\n", Samples(store_flush).c_str());
    printf("round.flush.fdatasync_seconds %.6f\n", Median(floor_flush));
    printf("round.flush.fdatasync_samples %s\n", Samples(floor_flush).c_str());
    fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------------------
// 3. Pages written per file per recording round, over a whole day

// The flush writes exactly the pages a round wrote into.  To count them
// for every round of a whole day without flushing each (which would take
// the card's latency 288 times), the mappings are made read-only before
// each round: every first store into a page faults, the handler notes the
// page and makes it writable again, and the store goes through.  So a
// store of an unchanged value counts too, as it would dirty the page.
struct PageTrap {
    static constexpr size_t kRoom = 1 << 14;
    static inline uintptr_t pages[kRoom];
    static inline size_t count = 0;
    static inline uintptr_t low = 0, high = 0;  // the trapped range
    static inline long page = 4096;
};

void OnWriteFault(int sig, siginfo_t *info, void *) {
    uintptr_t addr = (uintptr_t)info->si_addr;
    if (addr < PageTrap::low || addr >= PageTrap::high || PageTrap::count == PageTrap::kRoom) {
        signal(sig, SIG_DFL);  // not ours: fault again, as it would have
        return;
    }
    uintptr_t p = addr & ~(uintptr_t)(PageTrap::page - 1);
    PageTrap::pages[PageTrap::count++] = p;
    mprotect((void *)p, (size_t)PageTrap::page, PROT_READ | PROT_WRITE);
}

int RunPageSweep(int stride) {
    if (FillTkCard(SwitchCard(), false) != 0) return -1;
    g_switchfilled = true;
    PageTrap::page = sysconf(_SC_PAGESIZE);
    std::vector<std::pair<uintptr_t, uintptr_t>> maps;  // page-rounded range of each file
    for (uint32_t i = 0; i < RecordStore.RecordCount; ++i) {
        uintptr_t a = (uintptr_t)RecordStore.SensorArr[i].Map;
        uintptr_t b = (a + SENSOR_FILE_SIZE + (uintptr_t)PageTrap::page - 1) & ~(uintptr_t)(PageTrap::page - 1);
        maps.emplace_back(a, b);
    }
    PageTrap::low = UINTPTR_MAX;
    PageTrap::high = 0;
    for (auto &m : maps) {
        PageTrap::low = std::min(PageTrap::low, m.first);
        PageTrap::high = std::max(PageTrap::high, m.second);
    }
    struct sigaction sa = {}, old_segv = {}, old_bus = {};
    sa.sa_sigaction = OnWriteFault;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &old_segv);
    sigaction(SIGBUS, &sa, &old_bus);

    // A new day, from its switch on, as the store thread records it.
    int32_t day = g_lastday + DAY_SECONDS;
    SwitchRecordDay(RecordStore.SensorArr, RecordStore.RecordCount, day, 0);
    RecordStore.RecordTimeMap->RecordDay = (uint32_t)day;
    long total = 0, file_rounds_over_one = 0, rounds_over_one = 0;
    int max = 0;
    std::vector<int> per_file(maps.size());
    int rounds = 0;
    for (int s = 0; s < SLOTS_PER_DAY; s += stride, ++rounds) {
        uint32_t t = (uint32_t)day + (uint32_t)(SLOT_SECONDS * s);
        SetFigures(t);
        for (auto &m : maps) mprotect((void *)m.first, m.second - m.first, PROT_READ);
        PageTrap::count = 0;
        RecordSensorsDataToMem(List(), RecordStore.SensorArr, t, (uint32_t)day);
        for (auto &m : maps) mprotect((void *)m.first, m.second - m.first, PROT_READ | PROT_WRITE);
        std::fill(per_file.begin(), per_file.end(), 0);
        for (size_t k = 0; k < PageTrap::count; ++k) {
            for (size_t f = 0; f < maps.size(); ++f) {
                if (PageTrap::pages[k] >= maps[f].first && PageTrap::pages[k] < maps[f].second) {
                    ++per_file[f];
                    break;
                }
            }
        }
        bool over = false;
        for (int n : per_file) {
            total += n;
            max = std::max(max, n);
            if (n > 1) {
                ++file_rounds_over_one;
                over = true;
            }
        }
        rounds_over_one += over;
    }
    sigaction(SIGSEGV, &old_segv, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    UpdateMemToFile(RecordStore.SensorArr, RecordStore.RecordCount);
    printf("pages.rounds %d\n", rounds);
    printf("pages.mean_per_file %.4f\n", (double)total / ((double)rounds * (double)maps.size()));
    printf("pages.max_per_file %d\n", max);
    printf("pages.rounds_over_one %ld\n", rounds_over_one);
    printf("pages.file_rounds_over_one %ld\n", file_rounds_over_one);
    fflush(stdout);
    return 0;
}

// A card for a running daemon: the scenario's history ending at now, for
// the daemon's list of the sensor file that daemon_bench.py writes.
int MakeDaemonCard(const std::string &dir) {
    if (FillTkCard(dir, false) != 0) return 1;
    CloseTkStore();
    remove((dir + "/filled.ok").c_str());
    return 0;
}

}  // namespace

BENCHMARK(BM_TkQueryToday);
BENCHMARK(BM_TkQueryPastDay);
BENCHMARK(BM_RrdFetchToday);
BENCHMARK(BM_RrdFetchPastDay);
BENCHMARK(BM_RrdFetchPastDay4);
BENCHMARK(BM_TkRecord);
BENCHMARK(BM_RrdUpdate);
BENCHMARK(BM_TkRecordFlush)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TkRecordFdatasync)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RrdUpdateFsync)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TkDaySwitch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TkInitEmpty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TkInitFull)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RrdCreate)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    std::vector<char *> rest;
    int flushed_rounds = 0;
    int sweep_stride = 1;
    std::string make_card;
    long long now = 0;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--card-root" && i + 1 < argc) {
            g_root = argv[++i];
        } else if (a == "--flushed-rounds" && i + 1 < argc) {
            flushed_rounds = atoi(argv[++i]);
        } else if (a == "--sweep-stride" && i + 1 < argc) {
            sweep_stride = std::max(1, atoi(argv[++i]));
        } else if (a == "--reuse") {
            g_reuse = true;
        } else if (a == "--make-daemon-card" && i + 1 < argc) {
            make_card = argv[++i];
        } else if (a == "--now" && i + 1 < argc) {
            now = atoll(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!make_card.empty()) {
        SetupProcess(now ? (time_t)now : time(nullptr));
        return MakeDaemonCard(make_card);
    }
    if (g_root.empty()) {
        fprintf(stderr,
                "usage: %s --card-root DIR [--flushed-rounds N [--sweep-stride K]] [--reuse] [benchmark flags]\n"
                "       %s --make-daemon-card DIR [--now EPOCH]\n",
                argv[0], argv[0]);
        return 2;
    }
    // The scenario's last day: 4 December 2026, four minutes before its end.
    SetupProcess(now ? (time_t)now : (time_t)1796342400 + DAY_SECONDS - 240);
    if (flushed_rounds > 0 && (RunFlushedRounds(flushed_rounds) != 0 || RunPageSweep(sweep_stride) != 0)) return 1;
    int rest_argc = (int)rest.size();
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CloseTkStore();
    return 0;
}
