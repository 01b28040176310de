// History in the formats of the monitoring world, shared by the card tool
// (offline) and the query tool (through the FIFOs):
//  - OpenMetrics with timestamps, for backfilling Prometheus
//    (`promtool tsdb create-blocks-from openmetrics`);
//  - the Prometheus text format without timestamps, for node_exporter's
//    textfile collector;
//  - a Redfish MetricReport of one sensor-day.
//
// Every figure of a slot is one sample of the gauge family
// trendkeep_sensor_reading, told apart by the label figure ("reading",
// "max", "min", "avg": the slot's latest reading and the greatest, least
// and average of its minute samples, named as the CSV and JSON columns
// name them).  The sensor is named by the labels sensor (its name), num
// (as the tools print numbers) and class.  Only slots recorded in their
// own place (SlotTime = day key + 300 s x slot, as the daemon answers
// them) are exported; a slot never recorded is left out, not sent as 0.
#ifndef TRENDKEEP_TOOLS_METRICEXPORT_H
#define TRENDKEEP_TOOLS_METRICEXPORT_H

#include <stdint.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "StoreData.h"
#include "ToolCli.h"

namespace tk {

// Labels given on the command line (--label NAME=VALUE), in their order.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// The --label options, checked: Prometheus label names that are not ours
// (sensor, num, class, figure), given once each, with UTF-8 values.
MetricLabels LabelOptions(const ParsedArgs &args);

// The --from and --to options as day keys; either may be absent.
struct DayRange {
    std::optional<int64_t> From;
    std::optional<int64_t> To;
    bool Holds(int64_t day_key) const;
};
DayRange DayRangeOptions(const ParsedArgs &args);

// One sensor's history as the exports take it: its name and number, its
// class when known, and the slots of some of its days.
struct SensorHistory {
    unsigned Num = 0;
    std::string Name;
    std::optional<unsigned> Class;
    struct Day {
        int64_t Key;
        std::vector<SampleSlot> Slots;  // SLOTS_PER_DAY of them
    };
    std::vector<Day> Days;

    void AddDay(int64_t key, const SampleSlot *slots);
};

// The four figures of one recorded slot.
struct SlotFigures {
    int64_t Time;
    double Value[4];  // reading, max, min, avg
};

// The slots recorded in their own place, over all days, in time order;
// a time held twice (a damaged card) is taken once, from the first day.
std::vector<SlotFigures> RecordedFigures(const SensorHistory &history);

// Writes an OpenMetrics exposition: Head(), then Sensor() for each sensor,
// then End().  Each sensor's four series come whole, one after another, in
// time order, as the OpenMetrics parser and promtool's backfill want them.
class OpenMetricsWriter {
public:
    explicit OpenMetricsWriter(MetricLabels labels) : Labels(std::move(labels)) {}
    static std::string Head();
    // The sensor's samples, or "" (and a warning on stderr) when a sensor
    // with the same labels came before: a series may be exported once only.
    std::string Sensor(const SensorHistory &history);
    static std::string End() { return "# EOF\n"; }

private:
    MetricLabels Labels;
    std::set<std::string> Seen;
};

// node_exporter's textfile: the four figures of each sensor's newest
// recorded slot, and the age at now of the newest slot of all.  Sensors
// without a recorded slot are left out.
std::string TextfileText(const std::vector<SensorHistory> &sensors, const MetricLabels &labels, int64_t now);

// Replaces dir/name with text atomically: a new file in dir, written and
// synced, renamed over the old one.  Links in dir are not followed; a
// failure leaves the old file as it was and is a ToolError of status.
void ReplaceFileInDir(const std::string &dir, const std::string &name, const std::string &text, int status);

// One sensor-day as a Redfish MetricReport (JSON, ending in a newline).
std::string RedfishReport(const SensorHistory &history);

}  // namespace tk

#endif
