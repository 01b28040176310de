// report: one self-contained HTML page with a chart per sensor for a day or
// the week up to it.  Inline SVG and CSS only: no script, no fetched
// resource, so the page opens the same anywhere, offline.
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "CardCheck.h"
#include "CardCommands.h"
#include "DayChart.h"
#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

namespace {

const char kStyle[] =
    "body{font-family:sans-serif;margin:24px 32px;color:#222;background:#fafafa}"
    "h1{font-size:22px;margin:0 0 6px}h2{font-size:17px;margin:0 0 4px}"
    ".meta{color:#555;margin:2px 0}"
    ".sound{color:#1a7f37;font-weight:bold}.problems{color:#b42318;font-weight:bold}"
    "table.index{border-collapse:collapse;margin:14px 0}"
    "table.index td,table.index th{border:1px solid #ddd;padding:3px 9px;text-align:left}"
    "table.index td.n{text-align:right}"
    "section.sensor{background:#fff;border:1px solid #ddd;border-radius:6px;padding:12px 14px;margin:16px 0}"
    "section.sensor p{margin:2px 0 8px;color:#444}svg.chart{max-width:100%;height:auto}"
    ".unreadable{color:#b42318}";

// What the page says of one sensor beside its chart.
struct SensorView {
    std::string File;
    std::string Name;
    unsigned Num = 0;
    unsigned Class = 0;
    int Days = 0;
    size_t Recorded = 0;
    bool HasExtremes = false;
    ChartMark Max{0, 0, true};
    ChartMark Min{0, 0, false};
};

// The view of one file over [from, to), and its recorded slots in time
// order when points is given.
SensorView Gather(const SensorFileImage &f, int64_t from, int64_t to, std::vector<ChartPoint> *points) {
    SensorView v;
    v.File = f.Name;
    v.Name = f.HeaderName();
    v.Num = f.Num();
    v.Class = f.Class();
    for (int d : f.DaysInOrder()) {
        const DayBlock &b = f.Data->Days[d];
        const int64_t key = b.DayKey;
        if (key < from || key >= to) continue;
        ++v.Days;
        for (const SampleSlot &slot : b.Slots) {
            if (slot.Recorded != 1) continue;
            ++v.Recorded;
            if (points)
                points->push_back(
                    {(int64_t)slot.SlotTime, slot.Reading, slot.MaxReading, slot.MinReading, slot.AvgReading});
        }
        if (b.StatsValid == 1) {
            const double mx = b.DayMax, mn = b.DayMin;
            if (!v.HasExtremes || mx > v.Max.Value) v.Max = {(int64_t)b.DayMaxTime, mx, true};
            if (!v.HasExtremes || mn < v.Min.Value) v.Min = {(int64_t)b.DayMinTime, mn, false};
            v.HasExtremes = true;
        }
    }
    if (points) {
        std::sort(points->begin(), points->end(),
                  [](const ChartPoint &a, const ChartPoint &b) { return a.Time < b.Time; });
    }
    return v;
}

std::string Escape(const std::string &s) { return XmlText(s); }

// At most this many problems are listed on the page; check lists them all.
const size_t kProblemsShown = 50;

// The days a report covers, [From, To), the last of them Day, and how the
// page names them.
struct ReportPeriod {
    int64_t Day = 0;
    bool Week = false;
    int64_t From = 0;
    int64_t To = 0;
    std::string Text;
};

// The day given, else the card's default day; with --week the seven days
// up to it.
ReportPeriod PeriodOf(const ParsedArgs &args, const CardImage &card) {
    std::optional<int64_t> date = DateOption(args);
    ReportPeriod p;
    p.Day = date ? *date : DefaultDayKey(card);
    if (p.Day == 0) throw ToolError(CARD_PROBLEMS, "the card holds no day yet; nothing to report");
    p.Week = args.Has("week");
    p.From = p.Week ? DayKeyAfter(p.Day, -(DAYS_PER_FILE - 1)) : p.Day;
    p.To = NextDayKey(p.Day);
    p.Text = p.Week ? DateText(p.From) + " to " + DateText(p.Day) : DateText(p.Day);
    return p;
}

// What the first pass learns of the card: the check, the view of each
// complete file (by sensor number, then file name) and the size of each
// file that is not complete.
struct CardSurvey {
    CheckSummary Check;
    std::vector<std::string> ShownProblems;  // the first kProblemsShown
    std::vector<SensorView> Views;
    std::vector<std::pair<std::string, int64_t>> Unreadable;  // file and size
};

// The first pass: every file read once, checked and summed up for the index.
CardSurvey SurveyCard(const CardImage &card, const ReportPeriod &period, bool quiet) {
    CardSurvey survey;
    CardChecker checker([&](const Problem &p) {
        if (survey.ShownProblems.size() < kProblemsShown) survey.ShownProblems.push_back(p.Text());
    });
    checker.Start(card);
    {
        Progress bar("reading", card.FileNames.size(), !quiet);
        ReadFiles(
            card, card.FileNames, false, &bar,
            [&](const SensorFileImage &f) {
                checker.File(f);
                if (f.Complete()) {
                    survey.Views.push_back(Gather(f, period.From, period.To, nullptr));
                } else {
                    survey.Unreadable.push_back({f.Name, f.Size});
                }
            },
            [&](const StrayEntry &s) { checker.Stray(s); });
    }
    checker.Finish();
    survey.Check = checker.Summary();
    std::stable_sort(survey.Views.begin(), survey.Views.end(), [](const SensorView &a, const SensorView &b) {
        return a.Num != b.Num ? a.Num < b.Num : a.File < b.File;
    });
    return survey;
}

// The page up to its index: the head, what card and when, and the check's
// verdict with the first problems it found.
std::string PageHead(const CardImage &card, const std::string &period, const CardSurvey &survey) {
    const CheckSummary &check = survey.Check;
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html +=
        "<title>Trendkeep history, " + Escape(period) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>Trendkeep sensor history, " + Escape(period) + "</h1>\n";
    html += "<p class=\"meta\">Card: " + Escape(card.RecordDir) + "</p>\n";
    const int64_t rday = card.RecordTime.RecordDay, rslot = card.RecordTime.RecordSlot;
    html += "<p class=\"meta\">Last recorded: " + Escape(rslot ? DateTimeText(rslot) : std::string("nothing yet")) +
            (rday ? " (record day " + Escape(DateText(rday)) + ")" : "") + "</p>\n";
    char made[64];
    time_t now = time(nullptr);
    strftime(made, sizeof made, "%Y-%m-%d %H:%M:%S", localtime(&now));
    html += "<p class=\"meta\">Page made " + std::string(made) + " by trendkeep-card; values carry no unit.</p>\n";
    if (check.Problems == 0) {
        html += "<p class=\"sound\">Card check: sound (" + std::to_string(check.SensorFiles) + " sensor files, " +
                std::to_string(check.DayBlocks) + " day blocks, " + std::to_string(check.RecordedSlots) +
                " recorded slots)</p>\n";
    } else {
        html += "<p class=\"problems\">Card check: " + std::to_string(check.Problems) + " problem" +
                (check.Problems == 1 ? "" : "s") + "</p>\n<ul class=\"problems\">\n";
        for (const std::string &text : survey.ShownProblems) html += "<li>" + Escape(text) + "</li>\n";
        if ((size_t)check.Problems > survey.ShownProblems.size()) {
            html += "<li>and " + std::to_string(check.Problems - (long)survey.ShownProblems.size()) +
                    " more (run trendkeep-card check)</li>\n";
        }
        html += "</ul>\n";
    }
    return html;
}

// The index: a row per sensor, linking to its section.
std::string IndexTable(const std::vector<SensorView> &views) {
    std::string html =
        "<table class=\"index\">\n<tr><th>Sensor</th><th>Number</th><th>Class</th><th>Recorded slots</th>"
        "<th>Greatest</th><th>Least</th></tr>\n";
    for (size_t i = 0; i < views.size(); ++i) {
        const SensorView &v = views[i];
        html += "<tr><td><a href=\"#sensor-" + std::to_string(i) + "\">" + Escape(v.Name) +
                "</a></td><td class=\"n\">" + SensorNumText(v.Num) + "</td><td class=\"n\">" + std::to_string(v.Class) +
                "</td><td class=\"n\">" + std::to_string(v.Recorded) + "</td><td class=\"n\">" +
                (v.HasExtremes ? Escape(FormatReading(v.Max.Value)) : "") + "</td><td class=\"n\">" +
                (v.HasExtremes ? Escape(FormatReading(v.Min.Value)) : "") + "</td></tr>\n";
    }
    html += "</table>\n";
    return html;
}

// The section of the i-th sensor of the index: what it held in the period,
// its extremes, and its chart of points.
std::string SensorSection(const SensorView &v, size_t i, const std::vector<ChartPoint> &points,
                          const ReportPeriod &period) {
    ChartInput chart = period.Week ? DaysChartFrame(period.From, period.To) : DayChartFrame(period.Day);
    chart.Title = v.Name + " (sensor " + SensorNumText(v.Num) + ")";
    chart.Subtitle = period.Text + ": " + std::to_string(v.Recorded) + " recorded five-minute slots";
    chart.Id = "chart-" + std::to_string(i);
    chart.Points = points;
    if (v.HasExtremes) chart.Marks = {v.Max, v.Min};
    std::string section =
        "<section class=\"sensor\" id=\"sensor-" + std::to_string(i) + "\">\n<h2>" + Escape(v.Name) + "</h2>\n";
    section += "<p>Sensor " + SensorNumText(v.Num) + ", class " + std::to_string(v.Class) + ", file " + Escape(v.File) +
               "; " + std::to_string(v.Days) + " day" + (v.Days == 1 ? "" : "s") + " held in this period";
    if (v.HasExtremes) {
        section += "; greatest " + Escape(FormatReading(v.Max.Value)) + " at " + Escape(DateTimeText(v.Max.Time)) +
                   ", least " + Escape(FormatReading(v.Min.Value)) + " at " + Escape(DateTimeText(v.Min.Time));
    }
    section += ".</p>\n<figure style=\"margin:0\">" + RenderChartSvg(chart, false) + "</figure>\n</section>\n";
    return section;
}

// The end of the page: a note for each file left out of the charts for being
// incomplete.
std::string PageTail(const std::vector<std::pair<std::string, int64_t>> &unreadable) {
    std::string tail;
    for (const auto &[name, size] : unreadable) {
        tail += "<section class=\"unreadable\"><h2>" + Escape(name) + "</h2><p>Not charted: the file has " +
                std::to_string(size) + " bytes instead of " + std::to_string(SENSOR_FILE_SIZE) + ".</p></section>\n";
    }
    tail += "</body>\n</html>\n";
    return tail;
}

}  // namespace

int CmdReport(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 1, "report CARD -o FILE");
    if (!args.Has("output")) throw ToolError(CARD_USAGE, "report needs -o FILE for the page");
    CardImage card = LoadCardArg(args);
    const ReportPeriod period = PeriodOf(args, card);
    const bool quiet = args.Has("quiet");

    // First pass: the check and what the index needs of each sensor; the
    // charts are drawn in a second pass, one file at a time again.
    const CardSurvey survey = SurveyCard(card, period, quiet);
    const std::vector<SensorView> &views = survey.Views;

    OutputFile out(args.Get("output"), CARD_USAGE);
    out.Write(PageHead(card, period.Text, survey) + IndexTable(views));

    std::vector<std::string> names;
    for (const SensorView &v : views) names.push_back(v.File);
    size_t i = 0;
    std::vector<ChartPoint> points;
    Progress bar("charting", names.size(), !quiet);
    ReadFiles(card, names, false, &bar, [&](const SensorFileImage &f) {
        while (i < views.size() && views[i].File != f.Name) ++i;  // a file gone since the first pass has no chart
        if (i == views.size() || !f.Complete()) return;
        points.clear();
        const SensorView v = Gather(f, period.From, period.To, &points);
        out.Write(SensorSection(v, i, points, period));
        ++i;
    });
    bar.Done();
    out.Write(PageTail(survey.Unreadable));
    out.Close();
    if (!quiet) {
        fprintf(stderr, "report of %zu sensors for %s written to %s\n", views.size(), period.Text.c_str(),
                PrintableText(args.Get("output")).c_str());
    }
    return CARD_OK;
}

}  // namespace tk
