// list, dump and export: what the card holds, as a table, CSV, JSON,
// OpenMetrics or a Redfish metric report.
#include <stdio.h>

#include "CardCommands.h"
#include "LocalCalendar.h"
#include "MetricExport.h"
#include "SlotFormat.h"
#include "TextFormat.h"

namespace tk {

namespace {

std::string DayJson(const SensorFileImage &f, int d, bool all_slots) {
    const DayBlock &b = f.Data->Days[d];
    const int64_t key = b.DayKey;
    const double day_max = b.DayMax, day_min = b.DayMin;
    const uint32_t max_time = b.DayMaxTime, min_time = b.DayMinTime;
    std::string o = "{\"block\": " + std::to_string(d) + ", \"date\": " + JsonString(DateText(key)) +
                    ", \"day_key\": " + std::to_string(key) + ", \"stats_valid\": " + std::to_string(b.StatsValid) +
                    ", \"day_max\": " + JsonNumber(day_max) + ", \"day_max_time\": " + std::to_string(max_time) +
                    ", \"day_min\": " + JsonNumber(day_min) + ", \"day_min_time\": " + std::to_string(min_time) +
                    ", \"recorded\": " + std::to_string(f.RecordedSlots(d)) + ", \"slots\": [";
    bool first = true;
    for (int s = 0; s < SLOTS_PER_DAY; ++s) {
        const SampleSlot &slot = b.Slots[s];
        if (!all_slots && slot.Recorded != 1) continue;
        o += std::string(first ? "\n" : ",\n") + "      " + SlotJson(s, slot, slot.SlotTime);
        first = false;
    }
    return o + (first ? "]}" : "\n    ]}");
}

// A complete file's days that range holds, as the exports take them.
SensorHistory HistoryOf(const SensorFileImage &f, const DayRange &range) {
    SensorHistory history;
    history.Num = f.Num();
    history.Name = f.HeaderName();
    history.Class = f.Class();
    for (int d : f.DaysInOrder()) {
        const DayBlock &b = f.Data->Days[d];
        const int64_t key = b.DayKey;
        if (range.Holds(key)) history.AddDay(key, b.Slots);
    }
    return history;
}

// dump --redfish: one sensor-day, the day given or else the newest the
// file holds.
int DumpRedfish(const ParsedArgs &args) {
    ExpectArgCount(args, 2, 2, "dump --redfish CARD SENSOR");
    CardImage card = LoadCardArg(args);
    const std::optional<int64_t> day = DateOption(args);
    const std::vector<std::string> names = SelectFiles(card, args.Positional[1]);
    if (names.size() != 1) {
        throw ToolError(CARD_USAGE, "'" + args.Positional[1] + "' selects " + std::to_string(names.size()) +
                                        " files: a report is of one sensor, give its file name");
    }
    SensorHistory history;
    ReadFiles(card, names, false, nullptr, [&](const SensorFileImage &f) {
        if (!f.Complete()) return;
        const std::vector<int> days = f.DaysInOrder();
        std::optional<int64_t> shown = day;
        if (!shown && !days.empty()) shown = (int64_t)f.Data->Days[days.back()].DayKey;
        if (shown) history = HistoryOf(f, {shown, shown});
    });
    if (history.Days.empty()) {
        throw ToolError(CARD_PROBLEMS, names[0] + " holds " + (day ? "no " + DateText(*day) : "no day"));
    }
    fputs(RedfishReport(history).c_str(), stdout);
    return CARD_OK;
}

// The blocks of a complete file that dump shows, in day order: all of them,
// or with day given only that day's.
std::vector<int> DumpedDays(const SensorFileImage &f, const std::optional<int64_t> &day) {
    std::vector<int> days;
    for (int d : f.DaysInOrder()) {
        if (!day || f.Data->Days[d].DayKey == *day) days.push_back(d);
    }
    return days;
}

// One file's entry in dump's JSON sensors array, with those blocks;
// first: the array's first entry.
std::string FileJson(const SensorFileImage &f, const std::vector<int> &days, bool all_slots, bool first) {
    std::string o = std::string(first ? "\n" : ",\n") + "  {\"file\": " + JsonString(f.Name) +
                    ", \"num\": " + std::to_string(f.Num()) + ", \"name\": " + JsonString(f.HeaderName()) +
                    ", \"class\": " + std::to_string(f.Class()) + ", \"days\": [";
    for (size_t i = 0; i < days.size(); ++i) {
        o += std::string(i ? ",\n    " : "\n    ") + DayJson(f, days[i], all_slots);
    }
    o += days.empty() ? "]}" : "\n  ]}";
    return o;
}

// One file's rows of dump's CSV, a row per slot of those blocks.
std::string FileCsv(const SensorFileImage &f, const std::vector<int> &days, bool all_slots) {
    const std::string head = CsvField(f.Name) + "," + std::to_string(f.Num()) + "," + CsvField(f.HeaderName()) + "," +
                             std::to_string(f.Class()) + ",";
    std::string o;
    for (int d : days) {
        const DayBlock &b = f.Data->Days[d];
        const int64_t key = b.DayKey;
        const std::string block = head + std::to_string(d) + "," + DateText(key) + "," + std::to_string(key) + ",";
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            const SampleSlot &slot = b.Slots[s];
            if (!all_slots && slot.Recorded != 1) continue;
            o += block + SlotCsv(s, slot, slot.SlotTime) + "\n";
        }
    }
    return o;
}

}  // namespace

int CmdExport(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 2, "export [--openmetrics] CARD [SENSOR]");
    for (const char *option : {"csv", "json", "redfish"}) {
        if (args.Has(option)) throw ToolError(CARD_USAGE, std::string("export writes OpenMetrics, not --") + option);
    }
    const MetricLabels labels = LabelOptions(args);
    const DayRange range = DayRangeOptions(args);
    CardImage card = LoadCardArg(args);
    const std::vector<std::string> names = SelectFiles(card, args.Positional.size() > 1 ? args.Positional[1] : "");
    // Written sensor by sensor: a whole card is some 200 MB of text.
    OutputFile out(args.Get("output", "-"), CARD_USAGE);
    OpenMetricsWriter writer(labels);
    out.Write(writer.Head());
    Progress bar("exporting", names.size(), !args.Has("quiet"));
    bool any_day = false;
    ReadFiles(card, names, false, &bar, [&](const SensorFileImage &f) {
        if (!f.Complete()) return;
        const SensorHistory history = HistoryOf(f, range);
        any_day = any_day || !history.Days.empty();
        out.Write(writer.Sensor(history));
    });
    bar.Done();
    out.Write(writer.End());
    out.Close();
    // The text stands (an exposition without samples is a valid one), but
    // a range that misses every day held is most likely a mistake.
    if (!any_day && (range.From || range.To)) {
        throw ToolError(CARD_PROBLEMS, "no file holds a day from " +
                                           (range.From ? DateText(*range.From) : "the first") + " to " +
                                           (range.To ? DateText(*range.To) : "the last"));
    }
    return CARD_OK;
}

int CmdList(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 1, "list CARD");
    CardImage card = LoadCardArg(args);
    Progress bar("reading", card.FileNames.size(), !args.Has("quiet"));
    const int64_t rday = card.RecordTime.RecordDay, rslot = card.RecordTime.RecordSlot;
    // What each file adds is a line or two: the whole text is gathered and
    // printed at the end, so a card that fails to read prints nothing.
    if (args.Has("json")) {
        std::string o = "{\n  \"record_dir\": " + JsonString(card.RecordDir) +
                        ",\n  \"record_day\": " + std::to_string(rday) +
                        ",\n  \"record_slot\": " + std::to_string(rslot) + ",\n  \"sensors\": [";
        bool first = true;
        ReadFiles(card, card.FileNames, false, &bar, [&](const SensorFileImage &f) {
            o += std::string(first ? "\n" : ",\n") + "    {\"file\": " + JsonString(f.Name) +
                 ", \"size\": " + std::to_string(f.Size);
            first = false;
            if (f.Complete()) {
                o += ", \"num\": " + std::to_string(f.Num()) + ", \"name\": " + JsonString(f.HeaderName()) +
                     ", \"class\": " + std::to_string(f.Class()) + ", \"days\": [";
                bool first_day = true;
                for (int d : f.DaysInOrder()) {
                    const int64_t key = f.Data->Days[d].DayKey;
                    o += std::string(first_day ? "" : ", ") + "{\"block\": " + std::to_string(d) +
                         ", \"date\": " + JsonString(DateText(key)) + ", \"day_key\": " + std::to_string(key) +
                         ", \"recorded\": " + std::to_string(f.RecordedSlots(d)) + "}";
                    first_day = false;
                }
                o += "]";
            }
            o += "}";
        });
        bar.Done();
        o += first ? "]\n}\n" : "\n  ]\n}\n";
        fputs(o.c_str(), stdout);
        return CARD_OK;
    }

    Table t({"FILE", "NUM", "NAME", "CLASS", "DAYS HELD (recorded slots of 288)"}, {false, true, false, true, false});
    ReadFiles(card, card.FileNames, false, &bar, [&](const SensorFileImage &f) {
        if (!f.Complete()) {
            t.Add({f.Name, "", "", "", "unreadable: " + std::to_string(f.Size) + " bytes (see check)"});
            return;
        }
        std::string days;
        for (int d : f.DaysInOrder()) {
            days += (days.empty() ? "" : ", ") + DateText((int64_t)f.Data->Days[d].DayKey) + " (" +
                    std::to_string(f.RecordedSlots(d)) + ")";
        }
        t.Add(
            {f.Name, SensorNumText(f.Num()), f.HeaderName(), std::to_string(f.Class()), days.empty() ? "none" : days});
    });
    bar.Done();
    printf("record directory: %s\n", PrintableText(card.RecordDir).c_str());
    if (rday != 0) {
        printf("record time: day %s, last slot %s\n", DateText(rday).c_str(),
               rslot ? DateTimeText(rslot).c_str() : "none yet");
    } else {
        printf("record time: no day switched to yet\n");
    }
    t.Print(stdout);
    return CARD_OK;
}

int CmdDump(const ParsedArgs &args) {
    if (args.Has("csv") + args.Has("json") + args.Has("redfish") > 1) {
        throw ToolError(CARD_USAGE, "--csv, --json and --redfish exclude each other");
    }
    if (args.Has("redfish")) return DumpRedfish(args);
    ExpectArgCount(args, 1, 2, "dump CARD [SENSOR]");
    CardImage card = LoadCardArg(args);
    std::optional<int64_t> day = DateOption(args);
    std::string selector = args.Positional.size() > 1 ? args.Positional[1] : "";
    std::vector<std::string> names = SelectFiles(card, selector);
    const bool all_slots = args.Has("all-slots");
    const bool json = args.Has("json");

    // Written file by file as each is read.  The opening is held back until
    // the first file to show, so that finding none prints nothing but the
    // error.
    bool opened = false;
    auto open = [&] {
        if (opened) return;
        opened = true;
        if (json) {
            printf("{\n  \"record_dir\": %s,\n  \"sensors\": [", JsonString(card.RecordDir).c_str());
        } else {
            printf("file,num,name,class,block,date,day_key,%s\n", kSlotCsvHead);
        }
    };
    bool first = true;
    Progress bar("reading", names.size(), !args.Has("quiet"));
    ReadFiles(card, names, false, &bar, [&](const SensorFileImage &f) {
        if (!f.Complete()) return;  // cut short since it was selected
        const std::vector<int> days = DumpedDays(f, day);
        if (day && days.empty()) return;
        bar.Done();
        open();
        const std::string o = json ? FileJson(f, days, all_slots, first) : FileCsv(f, days, all_slots);
        first = false;
        fputs(o.c_str(), stdout);
    });
    bar.Done();
    if (!opened && day) {
        throw ToolError(CARD_PROBLEMS, "no " + std::string(selector.empty() ? "sensor" : "file of '" + selector + "'") +
                                           " holds " + DateText(*day));
    }
    open();
    if (json) fputs(first ? "]\n}\n" : "\n  ]\n}\n", stdout);
    return CARD_OK;
}

}  // namespace tk
