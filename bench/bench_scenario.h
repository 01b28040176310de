// The benchmark scenario shared by every measurement: 255 IPMI sensors and
// the three utilisation entries (258 in all), and nine days of five-minute
// history written into two cards, one of Trendkeep's store files and one
// of RRDtool files, so that both have wrapped around before anything is
// timed.
#ifndef TRENDKEEP_BENCH_BENCH_SCENARIO_H
#define TRENDKEEP_BENCH_BENCH_SCENARIO_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "SensorData.h"
#include "StoreData.h"

namespace tkbench {

constexpr int kIpmiSensors = 255;
constexpr int kEntries = kIpmiSensors + UTIL_ENTRY_COUNT;  // 258
constexpr int kFilledDays = 9;                             // more than the seven kept: both wrap
constexpr int kRrdRows = 2016;                             // seven days of five-minute rows

// The day the scenario ends on (UTC midnight) and the time the benchmarks
// run at: four minutes before the end of that day, so today's answer walks
// 287 slots and a past day's all 288.
extern int32_t g_lastday;
extern time_t g_benchnow;

// Name and number of list entry i, as the daemon's list would hold them for
// the sensor file written by MakeSensorJson.
std::string SensorName(int i);
uint16_t SensorNumber(int i);

// The figures that entry i shows for the five minutes starting at t.
double FigureAt(int i, uint32_t t);

// The process's clock (g_clock) answers this time.
extern time_t g_faketime;

// Sets the zone to UTC, the store's clock to g_faketime, its pauses to
// nothing, and the scenario's days around now.
void SetupProcess(time_t now);

// The benchmark's own sensor data list (never the daemon's global one).
LocalDataHdr *List();
// Gives every entry the figures of the five minutes starting at t.
void SetFigures(uint32_t t);

// Binds the store (RecordStore) to the card at dir, initialising it at time
// now as the daemon would.  Returns 0 on success.
int OpenTkStore(const std::string &dir, time_t now);
// Releases the store without touching the FIFO paths.
void CloseTkStore();
// The directory the store is bound to ("" when none).
const std::string &BoundCard();

// Writes kFilledDays of history ending at g_benchnow into a new store at
// dir and leaves the store bound to it.  With a marker of an earlier fill
// of the same scenario, only binds.  Returns 0 on success.
int FillTkCard(const std::string &dir, bool reuse);

// Path of sensor i's store file on card dir.
std::string TkFilePath(const std::string &dir, int i);

// RRDtool: one file per sensor, step 300 s, one GAUGE source, RRAs LAST,
// MAX, MIN and AVERAGE of kRrdRows rows each, filled with the same figures
// over the same days.  With a marker of an earlier fill, only finds the
// last update.  Returns 0 on success.
int FillRrdCard(const std::string &dir, bool reuse);
std::string RrdFilePath(const std::string &dir, int i);
int CreateRrdFile(const std::string &path, time_t last_up);
// Time of the newest update in the RRDtool card.
extern time_t g_rrdlast;
// Last RRDtool error text (and clears it).
std::string RrdError();

// Bytes written by this process to storage so far (/proc/self/io
// write_bytes); -1 when unreadable.
long long ProcessWriteBytes();
// Sectors written so far by the block device that holds path (from its
// /sys/dev/block/<major>:<minor>/stat), in bytes; -1 when unreadable.
long long DeviceWriteBytes(const std::string &path);
// Name of that device ("" when unknown).
std::string DeviceName(const std::string &path);

// Removes a directory tree.
void RemoveTree(const std::string &dir);

}  // namespace tkbench

#endif
