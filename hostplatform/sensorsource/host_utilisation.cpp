#include "host_utilisation.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <sstream>

namespace tk::host {

namespace {

std::optional<std::string> ReadProcFile(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// A whole disk has an entry in /sys/block (partitions do not); loop, RAM
// and compressed-RAM devices say nothing about the machine's storage.
bool IsWholeDisk(const std::string &name) {
    for (const char *skip : {"loop", "ram", "zram"})
        if (name.rfind(skip, 0) == 0) return false;
    std::string sys = name;
    for (char &c : sys)
        if (c == '/') c = '!';  // how sysfs spells "cciss/c0d0"
    return access(("/sys/block/" + sys).c_str(), F_OK) == 0;
}

uint64_t BootClockMs() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

struct DiskSample {
    uint64_t ticks = 0;
    uint64_t at_ms = 0;
    uint8_t percent = 0;
};

struct Meter {
    std::mutex mutex;
    CpuTimes cpu_prev;  // zero before the first query: since boot
    uint8_t cpu_last = 0;
    std::map<std::string, DiskSample> disks;  // zero for a disk not seen: since boot
};

Meter &TheMeter() {
    static Meter *meter = new Meter;  // never destroyed, as callers may outlive statics
    return *meter;
}

std::optional<uint8_t> MeasureCpu(Meter &m) {
    auto text = ReadProcFile("/proc/stat");
    if (!text) return std::nullopt;
    auto now = ParseCpuTimes(*text);
    if (!now) return std::nullopt;
    CpuTimes prev = now->total >= m.cpu_prev.total && now->busy >= m.cpu_prev.busy ? m.cpu_prev : CpuTimes{};
    uint64_t total = now->total - prev.total;
    // Two queries within one clock tick: the last figure still holds.
    if (total == 0) return m.cpu_last;
    m.cpu_last = Percent(now->busy - prev.busy, total);
    m.cpu_prev = *now;
    return m.cpu_last;
}

std::optional<uint8_t> MeasureIo(Meter &m) {
    auto text = ReadProcFile("/proc/diskstats");
    if (!text) return std::nullopt;
    const uint64_t now_ms = BootClockMs();
    std::map<std::string, DiskSample> next;
    uint8_t busiest = 0;
    for (const auto &[name, ticks] : ParseIoTicks(*text, IsWholeDisk)) {
        DiskSample prev;
        auto it = m.disks.find(name);
        if (it != m.disks.end() && ticks >= it->second.ticks) prev = it->second;
        DiskSample cur{ticks, now_ms, prev.percent};
        if (now_ms > prev.at_ms)
            cur.percent = Percent(ticks - prev.ticks, now_ms - prev.at_ms);
        else
            cur = prev;  // no time has passed: keep the previous sample and figure
        next[name] = cur;
        if (cur.percent > busiest) busiest = cur.percent;
    }
    m.disks = std::move(next);
    return busiest;
}

}  // namespace

uint8_t Percent(uint64_t part, uint64_t whole) {
    if (whole == 0) return 0;
    if (part >= whole) return 100;
    return static_cast<uint8_t>((part * 100 + whole / 2) / whole);
}

std::optional<CpuTimes> ParseCpuTimes(std::string_view proc_stat) {
    // The first line, "cpu  user nice system idle iowait irq softirq steal
    // guest guest_nice", in clock ticks; guest time is already in user.
    size_t end = proc_stat.find('\n');
    std::istringstream line(std::string(proc_stat.substr(0, end)));
    std::string label;
    if (!(line >> label) || label != "cpu") return std::nullopt;
    uint64_t fields[8] = {};
    int n = 0;
    while (n < 8 && line >> fields[n]) ++n;
    if (n < 4) return std::nullopt;
    CpuTimes times;
    for (int i = 0; i < n; ++i) times.total += fields[i];
    const uint64_t idle = fields[3] + fields[4];
    times.busy = times.total - idle;
    return times;
}

std::optional<uint8_t> MemInUsePercent(std::string_view proc_meminfo) {
    std::istringstream in{std::string(proc_meminfo)};
    std::string key;
    uint64_t value = 0;
    std::optional<uint64_t> total, available;
    std::string rest;
    while (in >> key >> value) {
        if (key == "MemTotal:")
            total = value;
        else if (key == "MemAvailable:")
            available = value;
        std::getline(in, rest);  // the unit
    }
    if (!total || !available || *total == 0 || *available > *total) return std::nullopt;
    return Percent(*total - *available, *total);
}

std::map<std::string, uint64_t> ParseIoTicks(std::string_view proc_diskstats,
                                             const std::function<bool(const std::string &)> &is_whole_disk) {
    // "major minor name reads merged sectors ms writes merged sectors ms
    // in_flight io_ticks ...": io_ticks is the tenth figure after the name.
    std::map<std::string, uint64_t> ticks;
    std::istringstream in{std::string(proc_diskstats)};
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream line(text);
        unsigned major = 0, minor = 0;
        std::string name;
        if (!(line >> major >> minor >> name)) continue;
        uint64_t figure[10];
        int n = 0;
        while (n < 10 && line >> figure[n]) ++n;
        if (n < 10 || !is_whole_disk(name)) continue;
        ticks[name] = figure[9];
    }
    return ticks;
}

std::optional<uint8_t> MeasureUtilisation(UtilKind kind) {
    Meter &m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    switch (kind) {
    case UtilKind::Cpu: return MeasureCpu(m);
    case UtilKind::Mem: {
        auto text = ReadProcFile("/proc/meminfo");
        if (!text) return std::nullopt;
        return MemInUsePercent(*text);
    }
    case UtilKind::Io: return MeasureIo(m);
    }
    return std::nullopt;
}

}  // namespace tk::host
