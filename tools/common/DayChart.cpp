#include "DayChart.h"

#include <stdio.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "LocalCalendar.h"
#include "StoreData.h"
#include "TextFormat.h"

namespace tk {

namespace {

struct SeriesStyle {
    const char *Name;
    const char *Color;
    const char *Dash;
    double ChartPoint::*Field;
};

const SeriesStyle kSeries[] = {
    {"greatest", "#d62728", "", &ChartPoint::Max},
    {"least", "#2ca02c", "", &ChartPoint::Min},
    {"average", "#ff7f0e", "6 3", &ChartPoint::Avg},
    {"reading", "#1f77b4", "", &ChartPoint::Reading},
};

// Fixed margins around the plot area.
const int kLeft = 72, kRight = 24, kTop = 58, kBottom = 44;

std::string Num(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// At most this many intervals between value ticks.
const int kMaxYIntervals = 20;

double NiceStep(double raw) {
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double f = raw / mag;
    double nice = f <= 1 ? 1 : f <= 2 ? 2 : f <= 2.5 ? 2.5 : f <= 5 ? 5 : 10;
    return nice * mag;
}

// The value axis: from Low to High, with Intervals + 1 ticks Step apart.
// Readings are whatever a card or a FIFO held, up to +/-DBL_MAX, where a
// difference of two values or a rounded-up bound is no longer finite.  So
// differences are taken of halves, and when the nicely rounded axis does
// not come out finite with a bounded number of ticks, the axis is the plain
// range of the values cut into four.
struct ValueAxis {
    double Low;
    double High;
    double Step;
    int Intervals;

    // Where v lies between Low (0) and High (1).
    double Fraction(double v) const { return (v / 2 - Low / 2) / (High / 2 - Low / 2); }
    double Tick(int i) const { return i == Intervals ? High : std::clamp(2 * (Low / 2 + Step / 2 * i), Low, High); }
};

// lo and hi are finite, lo <= hi.
ValueAxis MakeValueAxis(double lo, double hi) {
    if (hi / 2 - lo / 2 < 0.5e-9 * std::max(1.0, std::fabs(hi))) {
        double pad = std::max(1.0, std::fabs(hi) * 0.05);
        lo = std::max(lo - pad, -DBL_MAX);
        hi = std::min(hi + pad, DBL_MAX);
    }
    const double half_span = hi / 2 - lo / 2;
    double step = NiceStep(half_span / 2.5);
    ValueAxis axis{std::floor(lo / step) * step, std::ceil(hi / step) * step, step, 0};
    if (axis.High <= axis.Low) axis.High = axis.Low + step;
    const double intervals = (axis.High / 2 - axis.Low / 2) / (step / 2);
    if (std::isfinite(step) && step > 0 && std::isfinite(axis.Low) && std::isfinite(axis.High) && intervals >= 1 &&
        intervals <= kMaxYIntervals) {
        axis.Intervals = (int)std::lround(intervals);
        return axis;
    }
    return {lo, hi, half_span / 2, 4};
}

// Where the plot area lies inside the margins and how a time and a value
// map onto it.
struct PlotArea {
    int64_t From;      // time at the left edge
    double PlotWidth;  // of the area inside the margins
    double PlotHeight;
    double Span;  // seconds across, never 0
    ValueAxis Axis;

    double X(int64_t t) const { return kLeft + PlotWidth * (double)(t - From) / Span; }
    double Y(double v) const { return kTop + PlotHeight * (1 - Axis.Fraction(v)); }
};

// The plot area, its value axis over every finite figure shown (the marks
// included); *empty tells there is none, and the axis then runs from 0 to 1.
PlotArea MakePlotArea(const ChartInput &chart, bool *empty) {
    const double pw = chart.Width - kLeft - kRight, ph = chart.Height - kTop - kBottom;
    const double span = chart.To > chart.From ? (double)(chart.To - chart.From) : 1.0;

    double lo = INFINITY, hi = -INFINITY;
    auto take = [&](double v) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    };
    for (const ChartPoint &p : chart.Points) {
        for (const SeriesStyle &s : kSeries) take(p.*s.Field);
    }
    for (const ChartMark &m : chart.Marks) take(m.Value);
    *empty = !(lo <= hi);
    if (*empty) lo = 0, hi = 1;
    return {chart.From, pw, ph, span, MakeValueAxis(lo, hi)};
}

// The opening svg element, the background, the title and the subtitle.
std::string SvgOpening(const ChartInput &chart, bool standalone) {
    std::string o;
    if (standalone) o += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"" + std::to_string(chart.Width) +
         "\" height=\"" + std::to_string(chart.Height) + "\" viewBox=\"0 0 " + std::to_string(chart.Width) + " " +
         std::to_string(chart.Height) + "\"";
    if (!chart.Id.empty()) o += " id=\"" + XmlText(chart.Id) + "\"";
    o += " font-family=\"sans-serif\" font-size=\"12\">\n";
    o += "<title>" + XmlText(chart.Title) + "</title>\n";
    o += "<rect class=\"background\" x=\"0\" y=\"0\" width=\"" + std::to_string(chart.Width) + "\" height=\"" +
         std::to_string(chart.Height) + "\" fill=\"#ffffff\"/>\n";
    o += "<text class=\"title\" x=\"" + std::to_string(kLeft) + "\" y=\"20\" font-size=\"15\" font-weight=\"bold\">" +
         XmlText(chart.Title) + "</text>\n";
    if (!chart.Subtitle.empty()) {
        o += "<text class=\"subtitle\" x=\"" + std::to_string(kLeft) + "\" y=\"38\" fill=\"#555555\">" +
             XmlText(chart.Subtitle) + "</text>\n";
    }
    return o;
}

// The legend, top right: each series' line and name.
std::string SvgLegend(const ChartInput &chart) {
    std::string o = "<g class=\"legend\">\n";
    double lx = chart.Width - kRight - 4 * 92;
    for (const SeriesStyle &s : kSeries) {
        o += "<line x1=\"" + Num(lx) + "\" y1=\"34\" x2=\"" + Num(lx + 22) + "\" y2=\"34\" stroke=\"" + s.Color +
             "\" stroke-width=\"2\"" + (s.Dash[0] ? std::string(" stroke-dasharray=\"") + s.Dash + "\"" : "") + "/>";
        o += "<text x=\"" + Num(lx + 27) + "\" y=\"38\">" + s.Name + "</text>\n";
        lx += 92;
    }
    o += "</g>\n";
    return o;
}

// The grid, the two axes and the labels of their ticks.
std::string SvgGridAndAxes(const ChartInput &chart, const PlotArea &plot) {
    const double pw = plot.PlotWidth, ph = plot.PlotHeight;
    const ValueAxis &axis = plot.Axis;
    std::string o = "<g class=\"grid\" stroke=\"#e3e3e3\" stroke-width=\"1\">\n";
    for (int i = 0; i <= axis.Intervals; ++i) {
        const double y = plot.Y(axis.Tick(i));
        o += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(kLeft + pw) + "\" y2=\"" + Num(y) +
             "\"/>\n";
    }
    for (const auto &tick : chart.XTicks) {
        o += "<line x1=\"" + Num(plot.X(tick.first)) + "\" y1=\"" + Num(kTop) + "\" x2=\"" + Num(plot.X(tick.first)) +
             "\" y2=\"" + Num(kTop + ph) + "\"/>\n";
    }
    o += "</g>\n";
    o += "<g class=\"axes\" stroke=\"#333333\" stroke-width=\"1\">\n";
    o += "<line class=\"x-axis\" x1=\"" + Num(kLeft) + "\" y1=\"" + Num(kTop + ph) + "\" x2=\"" + Num(kLeft + pw) +
         "\" y2=\"" + Num(kTop + ph) + "\"/>\n";
    o += "<line class=\"y-axis\" x1=\"" + Num(kLeft) + "\" y1=\"" + Num(kTop) + "\" x2=\"" + Num(kLeft) + "\" y2=\"" +
         Num(kTop + ph) + "\"/>\n";
    o += "</g>\n";
    o += "<g class=\"y-ticks\" text-anchor=\"end\">\n";
    for (int i = 0; i <= axis.Intervals; ++i) {
        const double v = axis.Tick(i);
        o += "<text x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(plot.Y(v) + 4) + "\">" +
             XmlText(FormatTick(v, axis.Step)) + "</text>\n";
    }
    o += "</g>\n";
    o += "<g class=\"x-ticks\" text-anchor=\"middle\">\n";
    for (const auto &tick : chart.XTicks) {
        if (tick.second.empty()) continue;
        o += "<text x=\"" + Num(plot.X(tick.first + chart.XLabelShift)) + "\" y=\"" + Num(kTop + ph + 18) + "\">" +
             XmlText(tick.second) + "</text>\n";
    }
    o += "</g>\n";
    return o;
}

// One series: a polyline per run of points no further apart than
// GapSeconds; a run of one point is a dot.
std::string SvgSeries(const ChartInput &chart, const PlotArea &plot, const SeriesStyle &s) {
    std::string o =
        std::string("<g class=\"series series-") + s.Name + "\" stroke=\"" + s.Color + "\" fill=\"" + s.Color + "\">\n";
    size_t i = 0;
    while (i < chart.Points.size()) {
        size_t j = i + 1;
        while (j < chart.Points.size() && chart.Points[j].Time - chart.Points[j - 1].Time <= chart.GapSeconds) ++j;
        std::string pts;
        size_t shown = 0;
        double dx = 0, dy = 0;
        for (size_t k = i; k < j; ++k) {
            double v = chart.Points[k].*s.Field;
            if (!std::isfinite(v)) continue;
            dx = plot.X(chart.Points[k].Time);
            dy = plot.Y(v);
            if (shown > 0) pts += ' ';
            pts += Num(dx);
            pts += ',';
            pts += Num(dy);
            ++shown;
        }
        if (shown == 1) {
            o += "<circle cx=\"" + Num(dx) + "\" cy=\"" + Num(dy) + "\" r=\"2\" stroke=\"none\"/>\n";
        } else if (shown > 1) {
            o += "<polyline fill=\"none\" stroke-width=\"1.6\"" +
                 (s.Dash[0] ? std::string(" stroke-dasharray=\"") + s.Dash + "\"" : "") + " points=\"" + pts + "\"/>\n";
        }
        i = j;
    }
    o += "</g>\n";
    return o;
}

// One extreme: a ring on the point and its value and time beside it;
// nothing for one that is not finite or lies outside the chart's time.
std::string SvgExtreme(const ChartInput &chart, const PlotArea &plot, const ChartMark &m) {
    if (!std::isfinite(m.Value) || m.Time < chart.From || m.Time > chart.To) return "";
    double x = plot.X(m.Time);
    double y = plot.Y(m.Value);
    const char *color = m.IsMax ? "#d62728" : "#2ca02c";
    std::string when = chart.ShowDateInMarks ? DateText(m.Time).substr(5) + " " + ClockText(m.Time) : ClockText(m.Time);
    std::string label = std::string(m.IsMax ? "max " : "min ") + FormatReading(m.Value) + " at " + when;
    bool right_half = x > kLeft + plot.PlotWidth / 2;
    double ty = m.IsMax ? y - 9 : y + 17;
    ty = std::clamp(ty, (double)kTop + 10, (double)kTop + plot.PlotHeight - 4);
    std::string o = std::string("<g class=\"extreme ") + (m.IsMax ? "extreme-max" : "extreme-min") + "\">";
    o += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"5\" fill=\"none\" stroke=\"" + color +
         "\" stroke-width=\"2\"/>";
    o += "<text x=\"" + Num(right_half ? x - 8 : x + 8) + "\" y=\"" + Num(ty) + "\" text-anchor=\"" +
         (right_half ? "end" : "start") + "\" fill=\"" + color + "\" font-weight=\"bold\">" + XmlText(label) +
         "</text></g>\n";
    return o;
}

}  // namespace

ChartInput DayChartFrame(int64_t day_key) {
    ChartInput chart;
    chart.From = day_key;
    chart.To = NextDayKey(day_key);
    for (int h = 0; h <= 24; h += 3) {
        char label[8];
        snprintf(label, sizeof label, "%02d:00", h);
        chart.XTicks.push_back({day_key + h * 3600, label});
    }
    return chart;
}

ChartInput DaysChartFrame(int64_t first_day_key, int64_t end) {
    ChartInput chart;
    chart.From = first_day_key;
    chart.To = end;
    chart.ShowDateInMarks = true;
    chart.XLabelShift = DAY_SECONDS / 2;  // each date under its day
    // The day keys may come from a card's record time: stop where the
    // calendar cannot go on rather than trust it to move forward.
    for (int64_t k = first_day_key; k < end && chart.XTicks.size() < 2 * DAYS_PER_FILE;) {
        chart.XTicks.push_back({k, DateText(k).substr(5)});
        const int64_t next = NextDayKey(k);
        if (next <= k) break;
        k = next;
    }
    chart.XTicks.push_back({end, ""});
    return chart;
}

std::string RenderChartSvg(const ChartInput &chart, bool standalone) {
    bool empty = false;
    const PlotArea plot = MakePlotArea(chart, &empty);
    std::string o = SvgOpening(chart, standalone);
    o += SvgLegend(chart);
    o += SvgGridAndAxes(chart, plot);
    if (empty) {
        o += "<text class=\"no-data\" x=\"" + Num(kLeft + plot.PlotWidth / 2) + "\" y=\"" +
             Num(kTop + plot.PlotHeight / 2) +
             "\" text-anchor=\"middle\" fill=\"#888888\" font-size=\"16\">no recorded samples</text>\n";
    }
    for (const SeriesStyle &s : kSeries) o += SvgSeries(chart, plot, s);
    for (const ChartMark &m : chart.Marks) o += SvgExtreme(chart, plot, m);
    o += "</svg>\n";
    return o;
}

}  // namespace tk
