// trendkeep-card: reads a card's history store offline (a card in a reader,
// or a copy of it) without ever writing to it: checks it against the
// store's format, lists what it holds, exports it, and draws it.
#include <stdio.h>

#include "CardCheck.h"
#include "CardCommands.h"
#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

CardImage LoadCardArg(const ParsedArgs &args) {
    return LoadCard(args.Positional.at(0), !args.Has("quiet"));
}

std::optional<int64_t> DateOption(const ParsedArgs &args) {
    if (!args.Has("date")) return std::nullopt;
    CivilDate date;
    if (!ParseDate(args.Get("date"), &date)) {
        throw ToolError(CARD_USAGE, "--date needs a calendar date as YYYY-MM-DD, not '" + args.Get("date") + "'");
    }
    return DayKeyOf(date);
}

std::vector<const SensorFileImage *> SelectFiles(const CardImage &card, const std::string &selector) {
    std::vector<const SensorFileImage *> all = card.CompleteFiles();
    if (selector.empty()) return all;
    std::vector<const SensorFileImage *> out;
    for (const SensorFileImage *f : all) {
        if (f->Name == selector) out.push_back(f);
    }
    if (out.empty()) {
        for (const SensorFileImage *f : all) {
            if (f->HeaderName() == selector) out.push_back(f);
        }
    }
    unsigned num;
    if (out.empty() && ParseSensorNum(selector, &num)) {
        for (const SensorFileImage *f : all) {
            if (f->Num() == num) out.push_back(f);
        }
    }
    if (out.empty()) {
        throw ToolError(CARD_PROBLEMS, "no sensor data file is named '" + selector + "', or holds a sensor of that name or number");
    }
    return out;
}

int CmdCheck(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 1, "check CARD");
    CardImage card = LoadCardArg(args);
    CheckSummary sum = CheckCard(card);
    if (args.Has("quiet")) return sum.Problems.empty() ? CARD_OK : CARD_PROBLEMS;
    for (const Problem &p : sum.Problems) printf("%s\n", p.Text().c_str());
    if (sum.Problems.empty()) {
        printf("sound: %d sensor files, %d day blocks, %ld recorded slots, record time consistent\n", sum.SensorFiles,
               sum.DayBlocks, sum.RecordedSlots);
        return CARD_OK;
    }
    printf("%zu problem%s in %s\n", sum.Problems.size(), sum.Problems.size() == 1 ? "" : "s", card.RecordDir.c_str());
    return CARD_PROBLEMS;
}

}  // namespace tk

namespace {

using namespace tk;

const CommandInfo kCommands[] = {
    {"check", "CARD", CmdCheck,
     "verify every sensor data file and the record time file against the store's format"},
    {"list", "CARD", CmdList, "the sensors (file, number, name, class) and the days each file holds"},
    {"dump", "CARD [SENSOR]", CmdDump,
     "export one sensor (file name, sensor name or number) or all, as CSV or JSON"},
    {"report", "CARD", CmdReport, "write one self-contained HTML page with a chart per sensor (-o FILE)"},
};

const OptionInfo kOptions[] = {
    {"date", 0, "YYYY-MM-DD", "dump/report: that day only (report: default the last recorded day)"},
    {"week", 0, nullptr, "report: the seven days up to the date"},
    {"output", 'o', "FILE", "report: where to write the page"},
    {"csv", 0, nullptr, "dump: CSV (the default)"},
    {"json", 0, nullptr, "list/dump: JSON"},
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
    "  1  check: problems found; dump/report: nothing matches the selection\n"
    "  2  usage error, or the card cannot be read\n";

}  // namespace

int main(int argc, char **argv) {
    const ToolInfo tool = {"trendkeep-card", "[OPTIONS] COMMAND CARD [ARGS]",
                           "Reads a Trendkeep card's history store offline.", kCommands, kOptions, kEpilogue, CARD_USAGE};
    return RunTool(tool, argc, argv);
}
