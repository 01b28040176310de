// Hand-written SVG line chart of sensor history: reading, greatest, least
// and average against time, with axes, grid, a legend and the extremes
// marked.  Values carry no unit (the store keeps none).
#ifndef TRENDKEEP_TOOLS_DAYCHART_H
#define TRENDKEEP_TOOLS_DAYCHART_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace tk {

// One recorded slot: its start time and its four figures.
struct ChartPoint {
    int64_t Time;
    double Reading;
    double Max;
    double Min;
    double Avg;
};

// A marked extreme: the value, when it was seen, and whether it is the
// greatest (else the least).
struct ChartMark {
    int64_t Time;
    double Value;
    bool IsMax;
};

struct ChartInput {
    std::string Title;
    std::string Subtitle;
    int64_t From = 0;                                     // time at the left edge
    int64_t To = 0;                                       // time at the right edge
    std::vector<std::pair<int64_t, std::string>> XTicks;  // time and label
    int64_t XLabelShift = 0;                              // labels stand this much right of their tick
    std::vector<ChartPoint> Points;                       // ascending time
    std::vector<ChartMark> Marks;
    int64_t GapSeconds = 3600;  // points further apart are not joined
    bool ShowDateInMarks = false;
    std::string Id;  // id attribute of the svg element, may be empty
    int Width = 960;
    int Height = 360;
};

// Ticks every three hours of the day that starts at day_key.
ChartInput DayChartFrame(int64_t day_key);
// Ticks at the start of each of the days in [first_day_key, end).
ChartInput DaysChartFrame(int64_t first_day_key, int64_t end);

// The chart as an <svg> element; standalone adds the XML declaration for a
// file of its own.
std::string RenderChartSvg(const ChartInput &chart, bool standalone);

}  // namespace tk

#endif
