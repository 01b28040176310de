// The sensors behind the host IPMI library and the host information store.
//
// TRENDKEEP_SENSORS names a JSON sensor file (format in hostplatform/README.md);
// unset or empty, a built-in table of a two-socket server's sensors stands in,
// with readings that move with the local time of day.  Both host libraries
// link this code; each load reads the file afresh and hands back an immutable
// table that callers may keep for as long as they like.
#ifndef TRENDKEEP_HOSTPLATFORM_SENSOR_SOURCE_H
#define TRENDKEEP_HOSTPLATFORM_SENSOR_SOURCE_H

#include <stdint.h>
#include <time.h>

#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tk::host {

// A reading that moves with time:
//   base + swing * cos(2pi (t - phase) / period) + wobble * sin(2pi (t - phase) / wobble_period)
// where t is the time in seconds since the epoch as seen on the local clock
// (UTC plus the local offset).  With a period of 86400 the first term is a
// daily cycle that peaks at `phase` seconds after local midnight.
struct MovingReading {
    double base = 0;
    double swing = 0;
    double period = 86400;
    double phase = 0;
    double wobble = 0;
    double wobble_period = 5400;
};

struct HostSensor {
    uint8_t num = 0;
    std::string name;
    uint8_t type = 1;  // SDR record type
    uint8_t skip = 0;  // the reading record's skip flag
    std::optional<uint16_t> devid;
    bool moving = false;
    double fixed = 0;    // the reading when not moving
    MovingReading wave;  // the reading when moving
    bool info = true;    // has a sensor-info record
};

// The calls that a sensor file can make fail, besides "devid:<num>".
enum class FailCall { Session, Count, Readings, Info, Cpu, Mem, Io };

struct SensorTable {
    std::string origin;  // the file's path, or "built-in"
    std::optional<uint32_t> count;
    std::optional<uint8_t> cpu, mem, io;
    std::vector<HostSensor> sensors;
    uint32_t fail_calls = 0;      // bit per FailCall
    std::bitset<256> fail_devid;  // sensor numbers whose device id query fails

    bool Fails(FailCall call) const { return (fail_calls & (1u << static_cast<unsigned>(call))) != 0; }
    // What the sensor count query reports.
    uint32_t ReportedCount() const { return count ? *count : static_cast<uint32_t>(sensors.size()); }
    // The first sensor of that number that carries a device id, if any.
    const HostSensor *FindDevid(unsigned num) const;
};

// Reads TRENDKEEP_SENSORS afresh (or returns the built-in table).  A file
// that cannot be read, parsed or validated gives null, and the reason goes
// to the platform log as "P sensors <path>: <reason>" -- once for as long as
// the same failure lasts, however many calls meet it.
std::shared_ptr<const SensorTable> LoadSensorTable();

// Parses and validates sensor file text; null with *error set on failure.
std::shared_ptr<const SensorTable> ParseSensorTable(const std::string &text, const std::string &origin,
                                                    std::string *error);

// The table used when TRENDKEEP_SENSORS is unset.
std::shared_ptr<const SensorTable> BuiltinSensorTable();

// The sensor's reading at time t.
double ReadingAt(const HostSensor &sensor, time_t t);

// Writes "P <topic> <message>" to the platform log unless the last message
// written for that topic was the same; a null message ends the topic's
// failure, so that the next one is written again.  Returns 1 when it wrote.
// Both host libraries carry this function with default visibility, so the
// dynamic linker binds them to one copy and a process that loads both writes
// each failure once.
extern "C" int TkHostPlatformReportOnce(const char *topic, const char *message) __attribute__((visibility("default")));

// The device ids that the IPMI library derived from a real controller's SDR
// repository (TRENDKEEP_IPMI), for the information store: 256 entries by
// sensor number, -1 where none.  The last table noted holds; shared between
// the two libraries as TkHostPlatformReportOnce is.
extern "C" void TkHostPlatformNoteDerivedDevids(const int32_t *devids) __attribute__((visibility("default")));
// The derived device id of sensor num, or -1.
extern "C" int32_t TkHostPlatformDerivedDevid(unsigned num) __attribute__((visibility("default")));

}  // namespace tk::host

#endif
