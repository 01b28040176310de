// Loading and validating the sensor file, and the readings of its sensors.
#include "sensor_source.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>

#include <nlohmann/json.hpp>

#include "platform_log.h"

namespace tk::host {

namespace {

using nlohmann::json;

// Thrown while walking the document: the field's place and what is wrong.
struct Invalid {
    std::string message;
};

[[noreturn]] void Fail(const std::string &where, const std::string &what) { throw Invalid{where + ": " + what}; }

// An integer from lo to hi (no fraction, no boolean).
int64_t IntegerIn(const json &v, const std::string &where, int64_t lo, int64_t hi) {
    const std::string what = "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (v.is_number_unsigned()) {
        uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(hi)) Fail(where, what);
        return static_cast<int64_t>(u);
    }
    if (!v.is_number_integer()) Fail(where, what);
    int64_t i = v.get<int64_t>();
    if (i < lo || i > hi) Fail(where, what);
    return i;
}

double Number(const json &v, const std::string &where) {
    if (!v.is_number()) Fail(where, "must be a number");
    return v.get<double>();
}

double PositiveNumber(const json &v, const std::string &where) {
    double d = Number(v, where);
    if (!(d > 0)) Fail(where, "must be a number above 0");
    return d;
}

MovingReading ParseMoving(const json &v, const std::string &where) {
    MovingReading m;
    if (!v.contains("base")) Fail(where, "a moving reading needs \"base\"");
    m.base = Number(v["base"], where + ".base");
    if (v.contains("swing")) m.swing = Number(v["swing"], where + ".swing");
    if (v.contains("period")) m.period = PositiveNumber(v["period"], where + ".period");
    if (v.contains("phase")) m.phase = Number(v["phase"], where + ".phase");
    if (v.contains("wobble")) m.wobble = Number(v["wobble"], where + ".wobble");
    if (v.contains("wobble_period")) m.wobble_period = PositiveNumber(v["wobble_period"], where + ".wobble_period");
    return m;
}

HostSensor ParseSensor(const json &v, const std::string &where) {
    if (!v.is_object()) Fail(where, "must be an object");
    HostSensor s;
    if (!v.contains("num")) Fail(where, "needs \"num\"");
    s.num = static_cast<uint8_t>(IntegerIn(v["num"], where + ".num", 0, 255));
    if (!v.contains("name")) Fail(where, "needs \"name\"");
    if (!v["name"].is_string()) Fail(where + ".name", "must be a string");
    s.name = v["name"].get<std::string>();
    if (v.contains("type")) s.type = static_cast<uint8_t>(IntegerIn(v["type"], where + ".type", 0, 255));
    if (v.contains("skip")) {
        const json &skip = v["skip"];
        s.skip = skip.is_boolean() ? (skip.get<bool>() ? 1 : 0)
                                   : static_cast<uint8_t>(IntegerIn(skip, where + ".skip", 0, 255));
    }
    if (v.contains("devid")) s.devid = static_cast<uint16_t>(IntegerIn(v["devid"], where + ".devid", 0, 65535));
    if (!v.contains("reading")) Fail(where, "needs \"reading\"");
    const json &reading = v["reading"];
    if (reading.is_number()) {
        s.fixed = reading.get<double>();
    } else if (reading.is_object()) {
        s.moving = true;
        s.wave = ParseMoving(reading, where + ".reading");
    } else {
        Fail(where + ".reading", "must be a number or a moving reading object");
    }
    if (v.contains("info")) {
        if (!v["info"].is_boolean()) Fail(where + ".info", "must be true or false");
        s.info = v["info"].get<bool>();
    }
    return s;
}

void ParseFail(const json &v, SensorTable *table) {
    if (!v.is_array()) Fail("fail", "must be an array of strings");
    static const std::map<std::string, FailCall> kCalls = {{"session", FailCall::Session},
                                                           {"count", FailCall::Count},
                                                           {"readings", FailCall::Readings},
                                                           {"info", FailCall::Info},
                                                           {"cpu", FailCall::Cpu},
                                                           {"mem", FailCall::Mem},
                                                           {"io", FailCall::Io}};
    for (size_t i = 0; i < v.size(); ++i) {
        const std::string where = "fail[" + std::to_string(i) + "]";
        if (!v[i].is_string()) Fail(where, "must be a string");
        const std::string entry = v[i].get<std::string>();
        auto it = kCalls.find(entry);
        if (it != kCalls.end()) {
            table->fail_calls |= 1u << static_cast<unsigned>(it->second);
            continue;
        }
        // "devid:<num>", the number in decimal.
        const std::string digits = entry.rfind("devid:", 0) == 0 ? entry.substr(6) : "";
        bool ok = !digits.empty() && digits.size() <= 3 && digits.find_first_not_of("0123456789") == std::string::npos;
        if (!ok || std::stoi(digits) > 255)
            Fail(where, "\"" + entry +
                            "\" is none of session, count, readings, info, "
                            "devid:<0-255>, cpu, mem, io");
        table->fail_devid.set(static_cast<size_t>(std::stoi(digits)));
    }
}

bool ReadWholeFile(const char *path, std::string *text, std::string *error) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = std::string("cannot read: ") + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

struct ReportState {
    std::mutex mutex;
    std::map<std::string, std::string> last;  // topic -> failure last written
};

ReportState &Reports() {
    // Never destroyed: threads may still report while the process exits.
    static ReportState *state = new ReportState;
    return *state;
}

}  // namespace

const HostSensor *SensorTable::FindDevid(unsigned num) const {
    for (const HostSensor &s : sensors)
        if (s.num == num && s.devid) return &s;
    return nullptr;
}

std::shared_ptr<const SensorTable> ParseSensorTable(const std::string &text, const std::string &origin,
                                                    std::string *error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception &e) {
        // Drop the library's "[json.exception.parse_error.101] " tag.
        std::string what = e.what();
        size_t tag = what.find("] ");
        *error = "not valid JSON: " + (tag == std::string::npos ? what : what.substr(tag + 2));
        return nullptr;
    }
    auto table = std::make_shared<SensorTable>();
    table->origin = origin;
    try {
        if (!doc.is_object()) Fail("the file", "must hold a JSON object");
        if (doc.contains("count"))
            table->count = static_cast<uint32_t>(IntegerIn(doc["count"], "count", 0, UINT32_MAX));
        if (doc.contains("fail")) ParseFail(doc["fail"], table.get());
        if (doc.contains("cpu")) table->cpu = static_cast<uint8_t>(IntegerIn(doc["cpu"], "cpu", 0, 255));
        if (doc.contains("mem")) table->mem = static_cast<uint8_t>(IntegerIn(doc["mem"], "mem", 0, 255));
        if (doc.contains("io")) table->io = static_cast<uint8_t>(IntegerIn(doc["io"], "io", 0, 255));
        if (!doc.contains("sensors")) Fail("the file", "needs \"sensors\"");
        const json &sensors = doc["sensors"];
        if (!sensors.is_array()) Fail("sensors", "must be an array");
        table->sensors.reserve(sensors.size());
        for (size_t i = 0; i < sensors.size(); ++i)
            table->sensors.push_back(ParseSensor(sensors[i], "sensors[" + std::to_string(i) + "]"));
    } catch (const Invalid &e) {
        *error = e.message;
        return nullptr;
    }
    return table;
}

std::shared_ptr<const SensorTable> LoadSensorTable() {
    const char *path = getenv("TRENDKEEP_SENSORS");
    if (path == nullptr || path[0] == '\0') return BuiltinSensorTable();
    std::string text, error;
    std::shared_ptr<const SensorTable> table;
    if (ReadWholeFile(path, &text, &error)) table = ParseSensorTable(text, path, &error);
    if (!table) {
        TkHostPlatformReportOnce("sensors", (std::string(path) + ": " + error).c_str());
        return nullptr;
    }
    TkHostPlatformReportOnce("sensors", nullptr);
    return table;
}

double ReadingAt(const HostSensor &sensor, time_t t) {
    if (!sensor.moving) return sensor.fixed;
    struct tm local;
    long offset = localtime_r(&t, &local) != nullptr ? local.tm_gmtoff : 0;
    const double s = static_cast<double>(t) + static_cast<double>(offset);
    const MovingReading &w = sensor.wave;
    const double two_pi = 2 * std::numbers::pi;
    // Reduce before scaling so that the angle keeps its precision.
    double value = w.base + w.swing * std::cos(two_pi * std::fmod(s - w.phase, w.period) / w.period);
    if (w.wobble != 0) value += w.wobble * std::sin(two_pi * std::fmod(s - w.phase, w.wobble_period) / w.wobble_period);
    return value;
}

extern "C" int TkHostPlatformReportOnce(const char *topic, const char *message) {
    ReportState &state = Reports();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (message == nullptr) {
        state.last.erase(topic);
        return 0;
    }
    auto it = state.last.find(topic);
    if (it != state.last.end() && it->second == message) return 0;
    state.last[topic] = message;
    // One line: control characters (a path may hold any) become '?'.
    std::string line = std::string("P ") + topic + " " + message;
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    TkPlatformLogLine(LOG_ERR, line.c_str());
    return 1;
}

namespace {
struct DerivedDevids {
    std::mutex mutex;
    int32_t devid[256];
    DerivedDevids() { std::fill_n(devid, 256, -1); }
};
DerivedDevids &Derived() {
    static DerivedDevids *derived = new DerivedDevids;  // never destroyed, as the reports
    return *derived;
}
}  // namespace

extern "C" void TkHostPlatformNoteDerivedDevids(const int32_t *devids) {
    DerivedDevids &d = Derived();
    std::lock_guard<std::mutex> lock(d.mutex);
    std::copy_n(devids, 256, d.devid);
}

extern "C" int32_t TkHostPlatformDerivedDevid(unsigned num) {
    DerivedDevids &d = Derived();
    std::lock_guard<std::mutex> lock(d.mutex);
    return num < 256 ? d.devid[num] : -1;
}

}  // namespace tk::host
