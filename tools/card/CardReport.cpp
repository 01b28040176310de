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

struct SensorView {
    const SensorFileImage *File;
    std::vector<ChartPoint> Points;
    bool HasExtremes = false;
    ChartMark Max{0, 0, true};
    ChartMark Min{0, 0, false};
    int Days = 0;
};

SensorView Gather(const SensorFileImage &f, int64_t from, int64_t to) {
    SensorView v{&f, {}};
    for (int d : f.DaysInOrder()) {
        const DayBlock &b = f.Data->Days[d];
        const int64_t key = b.DayKey;
        if (key < from || key >= to) continue;
        ++v.Days;
        for (const SampleSlot &slot : b.Slots) {
            if (slot.Recorded == 1) v.Points.push_back({(int64_t)slot.SlotTime, slot.Reading, slot.MaxReading, slot.MinReading, slot.AvgReading});
        }
        if (b.StatsValid == 1) {
            const double mx = b.DayMax, mn = b.DayMin;
            if (!v.HasExtremes || mx > v.Max.Value) v.Max = {(int64_t)b.DayMaxTime, mx, true};
            if (!v.HasExtremes || mn < v.Min.Value) v.Min = {(int64_t)b.DayMinTime, mn, false};
            v.HasExtremes = true;
        }
    }
    std::sort(v.Points.begin(), v.Points.end(), [](const ChartPoint &a, const ChartPoint &b) { return a.Time < b.Time; });
    return v;
}

std::string Escape(const std::string &s) { return XmlText(s); }

}  // namespace

int CmdReport(const ParsedArgs &args) {
    ExpectArgCount(args, 1, 1, "report CARD -o FILE");
    if (!args.Has("output")) throw ToolError(CARD_USAGE, "report needs -o FILE for the page");
    CardImage card = LoadCardArg(args);
    std::optional<int64_t> date = DateOption(args);
    int64_t day = date ? *date : card.DefaultDayKey();
    if (day == 0) throw ToolError(CARD_PROBLEMS, "the card holds no day yet; nothing to report");
    const bool week = args.Has("week");
    const int64_t from = week ? DayKeyOf(AddDays(DateOf(day), -(DAYS_PER_FILE - 1))) : day;
    const int64_t to = NextDayKey(day);
    const std::string period = week ? DateText(from) + " to " + DateText(day) : DateText(day);

    CheckSummary check = CheckCard(card);
    std::vector<const SensorFileImage *> files;
    for (const SensorFileImage &f : card.Files) files.push_back(&f);
    std::stable_sort(files.begin(), files.end(), [](const SensorFileImage *a, const SensorFileImage *b) {
        if (a->Complete() != b->Complete()) return a->Complete();
        return a->Complete() && a->Num() != b->Num() ? a->Num() < b->Num() : a->Name < b->Name;
    });

    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html += "<title>Trendkeep history, " + Escape(period) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    html += "<h1>Trendkeep sensor history, " + Escape(period) + "</h1>\n";
    html += "<p class=\"meta\">Card: " + Escape(card.RecordDir) + "</p>\n";
    const int64_t rday = card.RecordTime.RecordDay, rslot = card.RecordTime.RecordSlot;
    html += "<p class=\"meta\">Last recorded: " + Escape(rslot ? DateTimeText(rslot) : std::string("nothing yet")) +
            (rday ? " (record day " + Escape(DateText(rday)) + ")" : "") + "</p>\n";
    char made[64];
    time_t now = time(nullptr);
    strftime(made, sizeof made, "%Y-%m-%d %H:%M:%S", localtime(&now));
    html += "<p class=\"meta\">Page made " + std::string(made) + " by trendkeep-card; values carry no unit.</p>\n";
    if (check.Problems.empty()) {
        html += "<p class=\"sound\">Card check: sound (" + std::to_string(check.SensorFiles) + " sensor files, " +
                std::to_string(check.DayBlocks) + " day blocks, " + std::to_string(check.RecordedSlots) +
                " recorded slots)</p>\n";
    } else {
        html += "<p class=\"problems\">Card check: " + std::to_string(check.Problems.size()) + " problem" +
                (check.Problems.size() == 1 ? "" : "s") + "</p>\n<ul class=\"problems\">\n";
        const size_t shown = std::min<size_t>(check.Problems.size(), 50);
        for (size_t i = 0; i < shown; ++i) html += "<li>" + Escape(check.Problems[i].Text()) + "</li>\n";
        if (shown < check.Problems.size()) html += "<li>and " + std::to_string(check.Problems.size() - shown) + " more (run trendkeep-card check)</li>\n";
        html += "</ul>\n";
    }

    std::vector<SensorView> views;
    Progress bar("charting", files.size(), !args.Has("quiet"));
    for (const SensorFileImage *f : files) {
        bar.Step(f->Name);
        if (f->Complete()) views.push_back(Gather(*f, from, to));
    }
    bar.Done();

    html += "<table class=\"index\">\n<tr><th>Sensor</th><th>Number</th><th>Class</th><th>Recorded slots</th>"
            "<th>Greatest</th><th>Least</th></tr>\n";
    for (size_t i = 0; i < views.size(); ++i) {
        const SensorView &v = views[i];
        html += "<tr><td><a href=\"#sensor-" + std::to_string(i) + "\">" + Escape(v.File->HeaderName()) +
                "</a></td><td class=\"n\">" + SensorNumText(v.File->Num()) + "</td><td class=\"n\">" +
                std::to_string(v.File->Class()) + "</td><td class=\"n\">" + std::to_string(v.Points.size()) + "</td><td class=\"n\">" +
                (v.HasExtremes ? Escape(FormatReading(v.Max.Value)) : "") + "</td><td class=\"n\">" +
                (v.HasExtremes ? Escape(FormatReading(v.Min.Value)) : "") + "</td></tr>\n";
    }
    html += "</table>\n";

    for (size_t i = 0; i < views.size(); ++i) {
        const SensorView &v = views[i];
        const SensorFileImage &f = *v.File;
        ChartInput chart = week ? DaysChartFrame(from, to) : DayChartFrame(day);
        chart.Title = f.HeaderName() + " (sensor " + SensorNumText(f.Num()) + ")";
        chart.Subtitle = period + ": " + std::to_string(v.Points.size()) + " recorded five-minute slots";
        chart.Id = "chart-" + std::to_string(i);
        chart.Points = v.Points;
        if (v.HasExtremes) chart.Marks = {v.Max, v.Min};
        html += "<section class=\"sensor\" id=\"sensor-" + std::to_string(i) + "\">\n<h2>" + Escape(f.HeaderName()) + "</h2>\n";
        html += "<p>Sensor " + SensorNumText(f.Num()) + ", class " + std::to_string(f.Class()) + ", file " +
                Escape(f.Name) + "; " + std::to_string(v.Days) + " day" + (v.Days == 1 ? "" : "s") + " held in this period";
        if (v.HasExtremes) {
            html += "; greatest " + Escape(FormatReading(v.Max.Value)) + " at " + Escape(DateTimeText(v.Max.Time)) +
                    ", least " + Escape(FormatReading(v.Min.Value)) + " at " + Escape(DateTimeText(v.Min.Time));
        }
        html += ".</p>\n<figure style=\"margin:0\">" + RenderChartSvg(chart, false) + "</figure>\n</section>\n";
    }
    for (const SensorFileImage *f : files) {
        if (f->Complete()) continue;
        html += "<section class=\"unreadable\"><h2>" + Escape(f->Name) + "</h2><p>Not charted: the file has " +
                std::to_string(f->Size) + " bytes instead of " + std::to_string(SENSOR_FILE_SIZE) + ".</p></section>\n";
    }
    html += "</body>\n</html>\n";

    WriteFileOrFail(args.Get("output"), html, CARD_USAGE);
    if (!args.Has("quiet")) {
        fprintf(stderr, "report of %zu sensors for %s written to %s\n", views.size(), period.c_str(), args.Get("output").c_str());
    }
    return CARD_OK;
}

}  // namespace tk
