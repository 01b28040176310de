// Utilisation figures measured on this machine, for the information store
// when neither the sensor file nor Redis gives them.  Each is a percentage
// (0 to 100) in one byte:
//   CPU     busy share of all CPU time in /proc/stat since the previous
//           query (since boot at the first);
//   memory  (MemTotal - MemAvailable) / MemTotal from /proc/meminfo;
//   IO      the busiest whole disk's io_ticks in /proc/diskstats since the
//           previous query, over the time elapsed (since boot at the first).
#ifndef TRENDKEEP_HOSTPLATFORM_HOST_UTILISATION_H
#define TRENDKEEP_HOSTPLATFORM_HOST_UTILISATION_H

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tk::host {

enum class UtilKind { Cpu, Mem, Io };

// Measures one figure; nothing when /proc cannot be read.  Thread-safe; the
// previous sample is kept per process.
std::optional<uint8_t> MeasureUtilisation(UtilKind kind);

// The pieces, over the text of the /proc files.
struct CpuTimes {
    uint64_t busy = 0;
    uint64_t total = 0;
};
std::optional<CpuTimes> ParseCpuTimes(std::string_view proc_stat);
std::optional<uint8_t> MemInUsePercent(std::string_view proc_meminfo);
// io_ticks (milliseconds spent doing IO) of each device that is_whole_disk
// accepts.
std::map<std::string, uint64_t> ParseIoTicks(std::string_view proc_diskstats,
                                             const std::function<bool(const std::string &)> &is_whole_disk);
// part / whole as a rounded percentage, at most 100; 0 when whole is 0.
uint8_t Percent(uint64_t part, uint64_t whole);

}  // namespace tk::host

#endif
