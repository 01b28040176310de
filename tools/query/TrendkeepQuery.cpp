// trendkeep-query: asks the running daemon, over its two FIFOs, for the
// sensor count, the sensor list or one day of one sensor's history, and
// prints the answer as a table, CSV or JSON, or draws the day as SVG.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "DayChart.h"
#include "LocalCalendar.h"
#include "MetricExport.h"
#include "PipeClient.h"
#include "SlotFormat.h"
#include "TextFormat.h"
#include "ToolCli.h"

using namespace tk;

namespace {

enum class Format { Table, Csv, Json, Redfish };

Format OutputFormat(const ParsedArgs &args) {
    if (args.Has("csv") + args.Has("json") + args.Has("redfish") > 1) {
        throw ToolError(QUERY_USAGE, "--csv, --json and --redfish exclude each other");
    }
    if (args.Has("redfish")) return Format::Redfish;
    return args.Has("csv") ? Format::Csv : args.Has("json") ? Format::Json : Format::Table;
}

double TimeoutOf(const ParsedArgs &args) {
    std::string text = args.Get("timeout", "3");
    char *end = nullptr;
    double t = strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(t > 0) || t > 3600) {
        throw ToolError(QUERY_USAGE, "--timeout needs a number of seconds above 0 (at most 3600), not '" + text + "'");
    }
    return t;
}

// --svg, --all-slots and --redfish shape a day of history; elsewhere they
// are a mistake, and so are the export's options.
void RejectDataOptions(const ParsedArgs &args, const char *command) {
    for (const char *option : {"svg", "all-slots", "redfish", "openmetrics", "textfile", "label", "from", "to"}) {
        if (args.Has(option)) {
            throw ToolError(QUERY_USAGE, std::string("--") + option + " does not apply to " + command);
        }
    }
}

std::string Seconds(double t) { return FormatShortest(t) + " s"; }

[[noreturn]] void NoListAnswer(double timeout) {
    throw ToolError(QUERY_NO_ANSWER, "no answer to the sensor list request within " + Seconds(timeout) +
                                         ": the daemon is not running, stalled, or has not built its sensor list yet");
}

int CmdCount(const ParsedArgs &args) {
    ExpectArgCount(args, 0, 0, "count");
    RejectDataOptions(args, "count");
    Format fmt = OutputFormat(args);
    PipeClient client(TimeoutOf(args), args.Has("verbose"));
    std::optional<uint32_t> count = client.Count();
    if (!count) {
        throw ToolError(QUERY_NO_ANSWER,
                        "no answer to the count request within " + Seconds(client.Timeout()) +
                            ": the daemon is not running, stalled, or has not built its sensor list yet");
    }
    if (fmt == Format::Json) {
        printf("{\"count\": %u}\n", *count);
    } else if (fmt == Format::Csv) {
        printf("count\n%u\n", *count);
    } else {
        printf("%u\n", *count);
    }
    return QUERY_OK;
}

int CmdList(const ParsedArgs &args) {
    ExpectArgCount(args, 0, 0, "list");
    RejectDataOptions(args, "list");
    Format fmt = OutputFormat(args);
    PipeClient client(TimeoutOf(args), args.Has("verbose"));
    auto list = client.List();
    if (!list) NoListAnswer(client.Timeout());
    if (fmt == Format::Json) {
        printf("[");
        for (size_t i = 0; i < list->size(); ++i) {
            const SensorEntry &e = (*list)[i];
            printf("%s\n  {\"num\": %u, \"name\": %s, \"class\": %u}", i ? "," : "", e.Num, JsonString(e.Name).c_str(),
                   e.Class);
        }
        printf("%s]\n", list->empty() ? "" : "\n");
    } else if (fmt == Format::Csv) {
        printf("num,name,class\n");
        for (const SensorEntry &e : *list) printf("%u,%s,%u\n", e.Num, CsvField(e.Name).c_str(), e.Class);
    } else {
        Table t({"NUM", "HEX", "NAME", "CLASS"}, {true, false, false, true});
        for (const SensorEntry &e : *list) {
            char hex[16];
            snprintf(hex, sizeof hex, "0x%02X", e.Num);
            t.Add({std::to_string(e.Num), hex, e.Name, std::to_string(e.Class)});
        }
        t.Print(stdout);
    }
    return QUERY_OK;
}

// Finds a sensor by the name the list gives it.  The list carries only the
// first 16 characters of each name, so a longer name is matched by those.
const SensorEntry &FindByName(const std::vector<SensorEntry> &list, const std::string &name) {
    std::vector<const SensorEntry *> found;
    auto collect = [&](auto match) {
        for (const SensorEntry &e : list) {
            if (match(e)) found.push_back(&e);
        }
    };
    collect([&](const SensorEntry &e) { return e.Name == name; });
    if (found.empty() && name.size() > SENSOR_LIST_NAME_CHARS) {
        std::string listed = name.substr(0, SENSOR_LIST_NAME_CHARS);
        collect([&](const SensorEntry &e) { return e.Name == listed; });
    }
    if (found.empty()) {
        collect([&](const SensorEntry &e) { return strcasecmp(e.Name.c_str(), name.c_str()) == 0; });
    }
    if (found.empty()) {
        throw ToolError(QUERY_NO_ANSWER, "no sensor named '" + name + "' among the daemon's " +
                                             std::to_string(list.size()) + " sensors (see 'trendkeep-query list')");
    }
    for (const SensorEntry *e : found) {
        if (e->Num != found[0]->Num) {
            std::string nums;
            for (const SensorEntry *f : found) nums += (nums.empty() ? "" : ", ") + SensorNumText(f->Num);
            throw ToolError(QUERY_USAGE, "'" + name + "' names several sensors (" + nums + "): give the number");
        }
    }
    return *found[0];
}

// One day of one sensor as the daemon answered it, with the sensor's list
// entry when the list has it.
struct DayAnswer {
    unsigned Num = 0;
    std::optional<SensorEntry> Entry;
    std::string Day;
    int64_t DayKey = 0;
    SensorDataResponse Resp;

    std::string Name() const { return Entry ? Entry->Name : ""; }
    int Recorded() const {
        int n = 0;
        for (const SampleSlot &s : Resp.Slots) n += s.Recorded == 1;
        return n;
    }
    // The slot's start: its stamp, or where the day puts it when unstamped.
    int64_t SlotStart(int s) const {
        const uint32_t t = Resp.Slots[s].SlotTime;
        return t != 0 ? (int64_t)t : DayKey + (int64_t)SLOT_SECONDS * s;
    }
};

// Asks for the day that data's arguments name: the sensor by number, or by
// name through the list.
DayAnswer AskDay(const ParsedArgs &args) {
    DayAnswer a;
    const std::string &sensor = args.Positional[0];
    a.Day = args.Positional.size() == 2 ? args.Positional[1] : DateText(time(nullptr));
    if (!IsDateText(a.Day)) {
        throw ToolError(QUERY_USAGE, "DATE must be a calendar date as YYYY-MM-DD, not '" + a.Day + "'");
    }
    a.DayKey = DayKeyOf(a.Day);
    PipeClient client(TimeoutOf(args), args.Has("verbose"));
    if (!ParseSensorNum(sensor, &a.Num)) {
        auto list = client.List();
        if (!list) NoListAnswer(client.Timeout());
        a.Entry = FindByName(*list, sensor);
        a.Num = a.Entry->Num;
    }
    if (!client.Data(a.Num, a.Day, &a.Resp)) {
        std::string what = "no answer within " + Seconds(client.Timeout()) + " for sensor " + SensorNumText(a.Num) +
                           " on " + a.Day + ": ";
        if (a.Entry) {
            what += "the daemon lists that sensor, so it holds no history of that day, or it stopped answering";
        } else {
            what +=
                "the daemon does not store that sensor, holds no history of that day, or is not running; "
                "it answers none of these, so they cannot be told apart";
        }
        throw ToolError(QUERY_NO_ANSWER, what);
    }
    if (!a.Entry) {
        // The name is only for the reader; the history came without it.
        if (auto list = client.List()) {
            for (const SensorEntry &e : *list) {
                if (e.Num == a.Num) {
                    a.Entry = e;
                    break;
                }
            }
        }
    }
    return a;
}

void PrintDayJson(const DayAnswer &a, bool all) {
    const double max_value = a.Resp.MaxValue;
    const double min_value = a.Resp.MinValue;
    const uint32_t max_time = a.Resp.MaxTime;
    const uint32_t min_time = a.Resp.MinTime;
    std::string o = "{\n  \"sensor\": " + std::to_string(a.Num) +
                    ",\n  \"name\": " + (a.Entry ? JsonString(a.Name()) : "null") +
                    ",\n  \"class\": " + (a.Entry ? std::to_string(a.Entry->Class) : "null") + ",\n  \"date\": \"" +
                    a.Day + "\",\n  \"day_key\": " + std::to_string(a.DayKey) +
                    ",\n  \"recorded\": " + std::to_string(a.Recorded()) + ",\n";
    o += "  \"max\": {\"value\": " + JsonNumber(max_value) + ", \"time\": " + std::to_string(max_time) +
         ", \"at\": " + JsonString(max_time ? IsoLocalText(max_time) : "") + "},\n";
    o += "  \"min\": {\"value\": " + JsonNumber(min_value) + ", \"time\": " + std::to_string(min_time) +
         ", \"at\": " + JsonString(min_time ? IsoLocalText(min_time) : "") + "},\n  \"slots\": [";
    bool first = true;
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const SampleSlot &slot = a.Resp.Slots[s];
        if (!all && slot.Recorded != 1) continue;
        o += std::string(first ? "\n" : ",\n") + "    " + SlotJson(s, slot, a.SlotStart(s));
        first = false;
    }
    o += first ? "]\n}\n" : "\n  ]\n}\n";
    fputs(o.c_str(), stdout);
}

void PrintDayCsv(const DayAnswer &a, bool all) {
    printf("%s\n", kSlotCsvHead);
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const SampleSlot &slot = a.Resp.Slots[s];
        if (!all && slot.Recorded != 1) continue;
        printf("%s\n", SlotCsv(s, slot, a.SlotStart(s)).c_str());
    }
}

void PrintDayTable(const DayAnswer &a, bool all) {
    const double max_value = a.Resp.MaxValue, min_value = a.Resp.MinValue;
    const uint32_t max_time = a.Resp.MaxTime, min_time = a.Resp.MinTime;
    const int recorded = a.Recorded();
    const std::string sensor = SensorNumText(a.Num) + (a.Entry ? " " : "") + PrintableText(a.Name());
    printf("sensor %s, %s: %d of %d slots recorded\n", sensor.c_str(), a.Day.c_str(), recorded, SLOTS_PER_DAY);
    if (recorded > 0) {
        const std::string greatest = FormatReading(max_value) + " at " + DateTimeText(max_time);
        const std::string least = FormatReading(min_value) + " at " + DateTimeText(min_time);
        printf("greatest %s, least %s\n", greatest.c_str(), least.c_str());
    }
    Table t({"SLOT", "TIME", "REC", "READING", "GREATEST", "LEAST", "AVERAGE"},
            {true, false, true, true, true, true, true});
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const SampleSlot &slot = a.Resp.Slots[s];
        if (!all && slot.Recorded != 1) continue;
        // Copied out of the packed record before use.
        const double reading = slot.Reading;
        const double greatest = slot.MaxReading;
        const double least = slot.MinReading;
        const double average = slot.AvgReading;
        std::vector<std::string> row = {std::to_string(s), ClockText(a.SlotStart(s)), std::to_string(slot.Recorded)};
        for (double figure : {reading, greatest, least, average}) row.push_back(FormatReading(figure));
        t.Add(row);
    }
    t.Print(stdout);
}

void PrintDayRedfish(const DayAnswer &a) {
    SensorHistory history;
    history.Num = a.Num;
    history.Name = a.Name();
    if (a.Entry) history.Class = a.Entry->Class;
    history.AddDay(a.DayKey, a.Resp.Slots);
    fputs(RedfishReport(history).c_str(), stdout);
}

void WriteDayChart(const DayAnswer &a, const std::string &path) {
    const std::string num = SensorNumText(a.Num);
    const int recorded = a.Recorded();
    ChartInput chart = DayChartFrame(a.DayKey);
    chart.Title = (a.Entry ? a.Name() + " (sensor " + num + ")" : "sensor " + num) + ", " + a.Day;
    chart.Subtitle = std::to_string(recorded) + " of 288 five-minute slots recorded";
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const SampleSlot &slot = a.Resp.Slots[s];
        if (slot.Recorded != 1) continue;
        chart.Points.push_back({a.SlotStart(s), slot.Reading, slot.MaxReading, slot.MinReading, slot.AvgReading});
    }
    if (recorded > 0) {
        chart.Marks.push_back({a.Resp.MaxTime, a.Resp.MaxValue, true});
        chart.Marks.push_back({a.Resp.MinTime, a.Resp.MinValue, false});
    }
    WriteFileOrFail(path, RenderChartSvg(chart, true), QUERY_USAGE);
    fflush(stdout);
    fprintf(stderr, "chart written to %s\n", path.c_str());
}

int CmdData(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 2, "data SENSOR [YYYY-MM-DD]");
    for (const char *option : {"openmetrics", "textfile", "label", "from", "to"}) {
        if (args.Has(option)) throw ToolError(QUERY_USAGE, std::string("--") + option + " applies to export only");
    }
    const Format fmt = OutputFormat(args);
    const bool all = args.Has("all-slots");
    const DayAnswer a = AskDay(args);
    if (fmt == Format::Redfish) {
        PrintDayRedfish(a);
    } else if (fmt == Format::Json) {
        PrintDayJson(a, all);
    } else if (fmt == Format::Csv) {
        PrintDayCsv(a, all);
    } else {
        PrintDayTable(a, all);
    }
    if (args.Has("svg")) WriteDayChart(a, args.Get("svg"));
    return QUERY_OK;
}

// The longest range of days a live export asks for: a day the daemon does
// not hold costs a whole time-out to find out.
const int kMaxExportDays = 31;

SensorHistory HistoryOf(const SensorEntry &e) {
    SensorHistory history;
    history.Num = e.Num;
    history.Name = e.Name;
    history.Class = e.Class;
    return history;
}

// export --textfile: the newest recorded slot of each sensor, today's or
// else yesterday's.
int ExportTextfile(PipeClient &client, const std::vector<SensorEntry> &list, const MetricLabels &labels,
                   const std::string &dir) {
    const int64_t now = time(nullptr);
    const int64_t today = DayKeyOf(DateText(now));
    std::vector<SensorHistory> sensors;
    Progress bar("asking", list.size(), true);
    for (const SensorEntry &e : list) {
        bar.Step(e.Name);
        SensorHistory history = HistoryOf(e);
        for (int64_t day : {today, DayKeyAfter(today, -1)}) {
            SensorDataResponse resp;
            if (day != -1 && client.Data(e.Num, DateText(day), &resp)) history.AddDay(day, resp.Slots);
            if (!RecordedFigures(history).empty()) break;
        }
        sensors.push_back(std::move(history));
    }
    bar.Done();
    ReplaceFileInDir(dir, "trendkeep.prom", TextfileText(sensors, labels, now), QUERY_USAGE);
    return QUERY_OK;
}

// export --openmetrics: every sensor's days in the range, one request per
// sensor and day.  The daemon answers nothing for a day it does not hold,
// and each silence costs a whole time-out, so each day is first asked of
// the last entry listed, a utilisation entry: the daemon keeps those from
// its first start on the card, so a day none of them holds is taken as
// held by none and not asked again.
int ExportOpenMetrics(PipeClient &client, const std::vector<SensorEntry> &list, const MetricLabels &labels,
                      const DayRange &range) {
    const int64_t today = DayKeyOf(DateText(time(nullptr)));
    const int64_t from = range.From.value_or(DayKeyAfter(today, -(DAYS_PER_FILE - 1)));
    const int64_t to = range.To.value_or(today);
    std::vector<int64_t> days;
    for (int64_t key = from; key != -1 && key <= to; key = NextDayKey(key)) {
        if (days.size() == kMaxExportDays) {
            throw ToolError(QUERY_USAGE, "the range of days is longer than " + std::to_string(kMaxExportDays) +
                                             " days; the daemon holds seven");
        }
        days.push_back(key);
    }
    // The client takes only lists that end with the utilisation entries,
    // so there is a last entry to probe with.  The answers to the probe
    // are that entry's history too: they are kept.
    if (list.empty()) throw ToolError(QUERY_NO_ANSWER, "the daemon lists no sensors");
    const size_t probe = list.size() - 1;
    SensorHistory probed = HistoryOf(list[probe]);
    std::vector<int64_t> held;
    for (int64_t day : days) {
        SensorDataResponse resp;
        if (!client.Data(list[probe].Num, DateText(day), &resp)) continue;
        held.push_back(day);
        probed.AddDay(day, resp.Slots);
    }
    if (range.From || range.To) {
        for (int64_t day : days) {
            if (std::find(held.begin(), held.end(), day) == held.end()) {
                Warn("the daemon holds no history of " + DateText(day));
            }
        }
    }
    // Written sensor by sensor: seven days of every sensor are some 200 MB
    // of text.
    OutputFile out("-", QUERY_USAGE);
    OpenMetricsWriter writer(labels);
    out.Write(writer.Head());
    size_t silent = 0;
    Progress bar("asking", list.size(), true);
    for (size_t i = 0; i < list.size(); ++i) {
        bar.Step(list[i].Name);
        if (i == probe) {
            out.Write(writer.Sensor(probed));
            continue;
        }
        SensorHistory history = HistoryOf(list[i]);
        for (int64_t day : held) {
            SensorDataResponse resp;
            if (client.Data(list[i].Num, DateText(day), &resp)) {
                history.AddDay(day, resp.Slots);
            } else {
                ++silent;
            }
        }
        out.Write(writer.Sensor(history));
    }
    bar.Done();
    if (silent > 0) Warn(std::to_string(silent) + " sensor-days got no answer: those sensors hold no history of them");
    out.Write(writer.End());
    out.Close();
    return QUERY_OK;
}

int CmdExport(const ParsedArgs &args) {
    ExpectArgCount(args, 0, 0, "export [--openmetrics | --textfile DIR]");
    for (const char *option : {"csv", "json", "redfish", "svg", "all-slots"}) {
        if (args.Has(option)) throw ToolError(QUERY_USAGE, std::string("--") + option + " does not apply to export");
    }
    if (args.Has("openmetrics") && args.Has("textfile")) {
        throw ToolError(QUERY_USAGE, "--openmetrics and --textfile exclude each other");
    }
    if (args.Has("textfile") && (args.Has("from") || args.Has("to"))) {
        throw ToolError(QUERY_USAGE, "--textfile writes the latest figures: --from and --to do not apply");
    }
    const MetricLabels labels = LabelOptions(args);
    const DayRange range = DayRangeOptions(args);
    PipeClient client(TimeoutOf(args), args.Has("verbose"));
    auto list = client.List();
    if (!list) NoListAnswer(client.Timeout());
    if (args.Has("textfile")) return ExportTextfile(client, *list, labels, args.Get("textfile"));
    return ExportOpenMetrics(client, *list, labels, range);
}

const CommandInfo kCommands[] = {
    {"count", "", CmdCount, "number of sensors the daemon keeps (the utilisation entries included)"},
    {"list", "", CmdList, "the sensors: number, name (the daemon lists the first 16 characters) and class"},
    {"data", "SENSOR [DATE]", CmdData,
     "one day of one sensor's history; SENSOR is a number (12, 0x0C) or a name, DATE is YYYY-MM-DD (default today)"},
    {"export", "", CmdExport,
     "every sensor's history as OpenMetrics with timestamps, or (--textfile DIR) the latest figures for "
     "node_exporter's textfile collector"},
};

const OptionInfo kOptions[] = {
    {"csv", 0, nullptr, "print CSV instead of a table"},
    {"json", 0, nullptr, "print JSON instead of a table"},
    {"redfish", 0, nullptr, "data: print the day as a Redfish MetricReport (JSON)"},
    {"svg", 0, "FILE", "data: also draw the day as an SVG chart into FILE"},
    {"all-slots", 0, nullptr, "data: show all 288 slots, not only the recorded ones"},
    {"openmetrics", 0, nullptr, "export: OpenMetrics text on standard output (the default)"},
    {"textfile", 0, "DIR", "export: write the latest figures to DIR/trendkeep.prom, replacing it atomically"},
    {"from", 0, "YYYY-MM-DD", "export: from that day on (default: the seven days up to today)"},
    {"to", 0, "YYYY-MM-DD", "export: up to that day (default today)"},
    {"label", 0, "NAME=VALUE", "export: add this label to every series (repeatable), e.g. instance=bmc-17"},
    {"timeout", 0, "SECONDS", "how long to wait for each answer (default 3)"},
    {"verbose", 'v', nullptr, "say on standard error what is discarded from the response FIFO, and why"},
};

const char kEpilogue[] =
    "The daemon answers on /var/tmp/pipe_cups_to_restful what is asked on\n"
    "/var/tmp/pipe_restful_to_cups, one request at a time; requesters take turns\n"
    "through an flock on the request FIFO. Only FIFOs owned by root or by the\n"
    "user running this tool are used; links are never followed. A request it\n"
    "cannot answer gets no answer at all, so an unknown sensor, a day it does\n"
    "not hold and a daemon that is not running all end the same way: without\n"
    "an answer.\n"
    "\n"
    "Nor do answers name the request they answer: one that a requester who\n"
    "gave up left behind could pass for ours. So what waits in the response\n"
    "FIFO before asking is discarded, and so is an answer that cannot be the\n"
    "one asked for (another sensor, a time outside the day asked for, a count\n"
    "or list the daemon cannot send); reading then goes on until the time-out.\n"
    "--verbose says what was discarded and why.\n"
    "\n"
    "Exit status:\n"
    "  0  answered\n"
    "  1  usage error, or a local failure (lock, output file)\n"
    "  2  the daemon is not running (its FIFOs do not exist, or what stands at\n"
    "     their paths is not the daemon's)\n"
    "  3  no answer within the time-out, or no sensor of that name\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolInfo tool = {"trendkeep-query",
                           "[OPTIONS] COMMAND [ARGS]",
                           "Asks the running Trendkeep daemon for its sensors and their stored history.",
                           kCommands,
                           kOptions,
                           kEpilogue,
                           QUERY_USAGE};
    return RunTool(tool, argc, argv);
}
