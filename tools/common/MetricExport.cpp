#include "MetricExport.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

namespace {

const char kFamily[] = "trendkeep_sensor_reading";
const char *const kFigureLabels[4] = {"reading", "max", "min", "avg"};
// The Redfish Sensor properties that the four figures correspond to.
const char *const kRedfishMetrics[4] = {"Reading", "PeakReading", "LowestReading", "AverageReading"};
const char *const kOwnLabels[] = {"sensor", "num", "class", "figure"};

bool IsLabelName(const std::string &name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9') || name.compare(0, 2, "__") == 0) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

bool IsUtf8(const std::string &s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = (unsigned char)s[i];
        size_t more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
        if (more == 4 || (more == 1 && c < 0xC2) || i + more >= s.size()) return false;
        for (size_t k = 1; k <= more; ++k) {
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        }
        i += more + 1;
    }
    return true;
}

// Names from a card or the FIFOs are bytes: those above 0x7f are taken as
// Latin-1, as the JSON output takes them, so that the text is UTF-8
// whatever the bytes.
std::string Latin1AsUtf8(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x80) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)c;
        }
    }
    return out;
}

// A label value (UTF-8) in quotes.
std::string QuotedLabelValue(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A sample value as OpenMetrics writes numbers.
std::string SampleValue(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    return FormatShortest(v);
}

// The labels given on the command line, each followed by a comma.
std::string UserLabels(const MetricLabels &labels) {
    std::string out;
    for (const auto &[name, value] : labels) out += name + "=" + QuotedLabelValue(value) + ",";
    return out;
}

// The labels of a sensor's series up to the figure, each followed by a comma.
std::string SensorLabels(const MetricLabels &labels, const SensorHistory &history) {
    std::string out = UserLabels(labels);
    out += "sensor=" + QuotedLabelValue(Latin1AsUtf8(history.Name)) + ",num=\"" + SensorNumText(history.Num) + "\",";
    if (history.Class) out += "class=\"" + std::to_string(*history.Class) + "\",";
    return out;
}

std::string FamilyHead(const char *name, const char *help) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

const char kReadingHelp[] =
    "Figures of the five-minute slots Trendkeep recorded: the latest reading and the greatest, least and average "
    "of the minute samples (label figure).";

// Path text for a URI: every byte outside the unreserved set as %XX (a
// name's bytes above 0x7f are first made UTF-8 as above).
std::string UriSegment(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += (char)c;
        } else {
            char buf[4];
            snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

MetricLabels LabelOptions(const ParsedArgs &args) {
    MetricLabels labels;
    for (const std::string &given : args.GetAll("label")) {
        const size_t eq = given.find('=');
        const std::string name = given.substr(0, eq);
        if (eq == std::string::npos || !IsLabelName(name)) {
            throw ToolError(UsageStatus(),
                            "--label needs NAME=VALUE with a Prometheus label name (letters, digits "
                            "and '_', not first a digit, not '__' first), not '" +
                                given + "'");
        }
        for (const char *own : kOwnLabels) {
            if (name == own) throw ToolError(UsageStatus(), "--label " + name + " would hide the export's own label");
        }
        for (const auto &label : labels) {
            if (label.first == name) throw ToolError(UsageStatus(), "--label " + name + " is given twice");
        }
        const std::string value = given.substr(eq + 1);
        if (!IsUtf8(value)) throw ToolError(UsageStatus(), "--label " + name + ": the value is not UTF-8 text");
        labels.emplace_back(name, value);
    }
    return labels;
}

bool DayRange::Holds(int64_t day_key) const { return (!From || day_key >= *From) && (!To || day_key <= *To); }

DayRange DayRangeOptions(const ParsedArgs &args) {
    DayRange range;
    for (const char *option : {"from", "to"}) {
        if (!args.Has(option)) continue;
        const std::string text = args.Get(option);
        const int64_t key = IsDateText(text) ? DayKeyOf(text) : -1;
        if (key == -1) {
            throw ToolError(UsageStatus(),
                            std::string("--") + option + " needs a calendar date as YYYY-MM-DD, not '" + text + "'");
        }
        (option[0] == 'f' ? range.From : range.To) = key;
    }
    if (range.From && range.To && *range.From > *range.To) {
        throw ToolError(UsageStatus(), "--from " + args.Get("from") + " comes after --to " + args.Get("to"));
    }
    return range;
}

void SensorHistory::AddDay(int64_t key, const SampleSlot *slots) {
    Days.push_back({key, std::vector<SampleSlot>(slots, slots + SLOTS_PER_DAY)});
}

std::vector<SlotFigures> RecordedFigures(const SensorHistory &history) {
    std::vector<SlotFigures> figures;
    for (const SensorHistory::Day &day : history.Days) {
        for (int s = 0; s < SLOTS_PER_DAY; ++s) {
            const SampleSlot &slot = day.Slots[s];
            const int64_t time = slot.SlotTime;
            if (slot.Recorded != 1 || time != day.Key + (int64_t)SLOT_SECONDS * s) continue;
            figures.push_back({time, {slot.Reading, slot.MaxReading, slot.MinReading, slot.AvgReading}});
        }
    }
    auto earlier = [](const SlotFigures &a, const SlotFigures &b) { return a.Time < b.Time; };
    auto same_time = [](const SlotFigures &a, const SlotFigures &b) { return a.Time == b.Time; };
    std::stable_sort(figures.begin(), figures.end(), earlier);
    figures.erase(std::unique(figures.begin(), figures.end(), same_time), figures.end());
    return figures;
}

std::string OpenMetricsWriter::Head() { return FamilyHead(kFamily, kReadingHelp); }

std::string OpenMetricsWriter::Sensor(const SensorHistory &history) {
    const std::string labels = SensorLabels(Labels, history);
    if (!Seen.insert(labels).second) {
        Warn("a second sensor " + history.Name + " (" + SensorNumText(history.Num) +
             ") with the same labels is left out: a series can be exported once only");
        return "";
    }
    const std::vector<SlotFigures> figures = RecordedFigures(history);
    std::string out;
    out.reserve(figures.size() * 4 * (labels.size() + 64));
    for (int f = 0; f < 4; ++f) {
        const std::string series = std::string(kFamily) + "{" + labels + "figure=\"" + kFigureLabels[f] + "\"} ";
        for (const SlotFigures &slot : figures) {
            out += series;
            out += SampleValue(slot.Value[f]);
            out += ' ';
            out += std::to_string(slot.Time);
            out += '\n';
        }
    }
    return out;
}

std::string TextfileText(const std::vector<SensorHistory> &sensors, const MetricLabels &labels, int64_t now) {
    std::string out = FamilyHead(kFamily, kReadingHelp);
    std::optional<int64_t> newest;
    for (const SensorHistory &history : sensors) {
        const std::vector<SlotFigures> figures = RecordedFigures(history);
        if (figures.empty()) continue;
        const SlotFigures &last = figures.back();
        newest = std::max(newest.value_or(last.Time), last.Time);
        const std::string sensor_labels = SensorLabels(labels, history);
        for (int f = 0; f < 4; ++f) {
            out += std::string(kFamily) + "{" + sensor_labels + "figure=\"" + kFigureLabels[f] + "\"} " +
                   SampleValue(last.Value[f]) + "\n";
        }
    }
    if (newest) {
        out += FamilyHead("trendkeep_newest_slot_age_seconds",
                          "Seconds from the start of the newest recorded five-minute slot to the time of this file.");
        const std::string user = UserLabels(labels);
        const std::string label_set = user.empty() ? "" : "{" + user.substr(0, user.size() - 1) + "}";
        out += "trendkeep_newest_slot_age_seconds" + label_set + " " + std::to_string(now - *newest) + "\n";
    }
    return out;
}

void ReplaceFileInDir(const std::string &dir, const std::string &name, const std::string &text, int status) {
    auto fail = [&](const std::string &what, int err) {
        throw ToolError(status, "cannot " + what + ": " + strerror(err));
    };
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) fail("open the directory " + dir, errno);
    // A name of our own that no one else can have made: created, never
    // opened if it exists.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const long long stamp = (long long)(MonotonicSeconds() * 1e6) + attempt;
        temp = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(stamp);
        fd = openat(dfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int err = errno;
        close(dfd);
        fail("create a file in " + dir, err);
    }
    size_t done = 0;
    int err = 0;
    while (done < text.size() && err == 0) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) err = errno;
        if (n > 0) done += (size_t)n;
    }
    // The mode is set on the descriptor: the umask may have taken read
    // access from the collector, which runs as a user of its own.
    if (err == 0 && (fchmod(fd, 0644) != 0 || fsync(fd) != 0)) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && renameat(dfd, temp.c_str(), dfd, name.c_str()) != 0) err = errno;
    if (err != 0) unlinkat(dfd, temp.c_str(), 0);
    close(dfd);
    if (err != 0) fail("write " + dir + "/" + name, err);
}

std::string RedfishReport(const SensorHistory &history) {
    const int64_t day_key = history.Days.empty() ? 0 : history.Days.front().Key;
    const std::string num = SensorNumText(history.Num);
    const std::string id = "Trendkeep_" + num + "_" + DateText(day_key);
    const std::string who = history.Name.empty() ? "sensor " + num : history.Name + " (sensor " + num + ")";
    const std::string property =
        "/redfish/v1/Chassis/1/Sensors/" + UriSegment(history.Name.empty() ? num : Latin1AsUtf8(history.Name)) + "#/";
    const std::vector<SlotFigures> figures = RecordedFigures(history);
    std::string values;
    for (const SlotFigures &slot : figures) {
        const std::string at = JsonString(IsoZonedText(slot.Time));
        for (int f = 0; f < 4; ++f) {
            values += std::string(values.empty() ? "\n" : ",\n") + "    {\"MetricId\": \"" + kRedfishMetrics[f] +
                      "\", \"MetricProperty\": " + JsonString(property + kRedfishMetrics[f]) +
                      ", \"MetricValue\": " + JsonString(FormatShortest(slot.Value[f])) + ", \"Timestamp\": " + at +
                      "}";
        }
    }
    return "{\n  \"@odata.type\": \"#MetricReport.v1_4_0.MetricReport\",\n  \"@odata.id\": \"/redfish/v1/"
           "TelemetryService/MetricReports/" +
           id + "\",\n  \"Id\": \"" + id +
           "\",\n  \"Name\": " + JsonString("Trendkeep history of " + who + " on " + DateText(day_key)) +
           ",\n  \"Timestamp\": " + JsonString(IsoZonedText(figures.empty() ? day_key : figures.back().Time)) +
           ",\n  \"MetricValues\": [" + values + (values.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace tk
