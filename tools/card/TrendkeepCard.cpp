// trendkeep-card: reads a card's history store offline (a card in a reader,
// or a copy of it) without ever writing to it: checks it against the
// store's format, lists what it holds, exports it, and draws it.
#include <stdio.h>

#include "CardCheck.h"
#include "CardCommands.h"
#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

CardImage LoadCardArg(const ParsedArgs &args) { return LoadCard(args.Positional.at(0)); }

std::optional<int64_t> DateOption(const ParsedArgs &args) {
    if (!args.Has("date")) return std::nullopt;
    if (!IsDateText(args.Get("date"))) {
        throw ToolError(CARD_USAGE, "--date needs a calendar date as YYYY-MM-DD, not '" + args.Get("date") + "'");
    }
    return DayKeyOf(args.Get("date"));
}

std::vector<std::string> SelectFiles(const CardImage &card, const std::string &selector) {
    // By file name, else by the name in the header, else by number: one
    // pass over the headers sorts them into the three.
    std::vector<std::string> all, by_file, by_name, by_num;
    unsigned num;
    const bool is_num = ParseSensorNum(selector, &num);
    ReadFiles(card, card.FileNames, true, nullptr, [&](const SensorFileImage &f) {
        if (!f.Complete()) return;
        all.push_back(f.Name);
        if (f.Name == selector) by_file.push_back(f.Name);
        if (f.HeaderName() == selector) by_name.push_back(f.Name);
        if (is_num && f.Num() == num) by_num.push_back(f.Name);
    });
    if (selector.empty()) return all;
    for (std::vector<std::string> *found : {&by_file, &by_name, &by_num}) {
        if (!found->empty()) return *found;
    }
    throw ToolError(CARD_PROBLEMS,
                    "no sensor data file is named '" + selector + "', or holds a sensor of that name or number");
}

int CmdCheck(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 1, "check CARD");
    const bool quiet = args.Has("quiet");
    CardImage card = LoadCardArg(args);
    Progress bar("checking", card.FileNames.size(), !quiet);
    // Each problem is printed as it is found: a card may hold any number.
    CheckSummary sum = CheckCard(card, &bar, [&](const Problem &p) {
        if (quiet) return;
        bar.Done();
        printf("%s\n", PrintableText(p.Text()).c_str());
    });
    bar.Done();
    if (quiet) return sum.Problems == 0 ? CARD_OK : CARD_PROBLEMS;
    if (sum.Problems == 0) {
        printf("sound: %d sensor files, %d day blocks, %ld recorded slots, record time consistent\n", sum.SensorFiles,
               sum.DayBlocks, sum.RecordedSlots);
        return CARD_OK;
    }
    printf("%ld problem%s in %s\n", sum.Problems, sum.Problems == 1 ? "" : "s", PrintableText(card.RecordDir).c_str());
    return CARD_PROBLEMS;
}

}  // namespace tk

namespace {

using namespace tk;

const CommandInfo kCommands[] = {
    {"check", "CARD", CmdCheck, "verify every sensor data file and the record time file against the store's format"},
    {"list", "CARD", CmdList, "the sensors (file, number, name, class) and the days each file holds"},
    {"dump", "CARD [SENSOR]", CmdDump,
     "export one sensor (file name, sensor name or number) or all, as CSV or JSON, or one sensor-day as a "
     "Redfish MetricReport (--redfish)"},
    {"export", "CARD [SENSOR]", CmdExport,
     "every recorded slot of one sensor or all, in OpenMetrics with timestamps (for promtool's backfill)"},
    {"report", "CARD", CmdReport, "write one self-contained HTML page with a chart per sensor (-o FILE)"},
};

const OptionInfo kOptions[] = {
    {"date", 0, "YYYY-MM-DD",
     "dump/report: that day only (report: default the last recorded day; dump --redfish: the newest held)"},
    {"from", 0, "YYYY-MM-DD", "export: from that day on (default: every day held)"},
    {"to", 0, "YYYY-MM-DD", "export: up to that day"},
    {"openmetrics", 0, nullptr, "export: OpenMetrics text (the default and only format)"},
    {"label", 0, "NAME=VALUE", "export: add this label to every series (repeatable), e.g. instance=bmc-17"},
    {"week", 0, nullptr, "report: the seven days up to the date"},
    {"output", 'o', "FILE", "report: where to write the page; export: where to write (default standard output)"},
    {"csv", 0, nullptr, "dump: CSV (the default)"},
    {"json", 0, nullptr, "list/dump: JSON"},
    {"redfish", 0, nullptr, "dump: one sensor-day as a Redfish MetricReport (JSON)"},
    {"all-slots", 0, nullptr, "dump: every slot, not only the recorded ones"},
    {"quiet", 'q', nullptr, "check: print nothing, only the exit status; others: no progress"},
};

const char kEpilogue[] =
    "CARD is the card's mount point (holding DataRecord/SensorHistory) or that\n"
    "record directory itself.  The card is only read, never written.  Day keys\n"
    "are local midnights: run with TZ set to the BMC's time zone.\n"
    "\n"
    "Exit status:\n"
    "  0  done; check: the card is sound\n"
    "  1  check: problems found; dump/report/export: nothing matches the selection\n"
    "  2  usage error, or the card cannot be read\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolInfo tool = {"trendkeep-card",
                           "[OPTIONS] COMMAND CARD [ARGS]",
                           "Reads a Trendkeep card's history store offline.",
                           kCommands,
                           kOptions,
                           kEpilogue,
                           CARD_USAGE};
    return RunTool(tool, argc, argv);
}
