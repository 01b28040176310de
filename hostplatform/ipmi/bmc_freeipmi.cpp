// The host IPMI library against a real IPMI controller, through FreeIPMI:
// the login (RMCP+ or the kernel's /dev/ipmi0), the SDR repository, and the
// sensor readings converted by each record's formula.
//
// The SDR repository is read once and kept for the whole process with the
// change stamps (most recent addition and erase) it was read under.  Every
// login asks the controller for its repository info, one command, and reads
// the repository again only when the stamps differ: a controller reports
// its repository out of date that way, and a simulated one at every start.
//
// Which sensors the daemon gets (the numbered ones): the threshold sensors
// of full sensor records that have a numeric reading (an analog data
// format and a formula FreeIPMI converts), owned by a controller rather
// than by system software, on any LUN and behind any controller.  With the
// "discretereading" workaround, also full records of discrete sensors that
// carry a unit and an analog format.  Compact and event-only records, and
// the rest, are not passed on.  A numbered sensor is passed on whether or
// not it can be read now: one that cannot (reading unavailable, scanning
// disabled, a failed or lost command, a formula with no finite value) reads
// NaN with a clear skip flag, so the daemon lists it and records nothing.
//
// Numbers, one byte, unique, the same at every start of one repository:
//   - the BMC's own sensors on channel 0, LUN 0 (owner 0x20) keep their
//     IPMI sensor number;
//   - every other numbered sensor, in the order of owner, channel, LUN and
//     sensor number (then repository order), gets the highest number from
//     254 down that no record of the BMC's LUN 0 uses (full, compact with
//     its whole shared range, event-only) and no sensor before it got;
//   - sensors beyond the numbers left are not passed on, said in one line.
// Names are the SDR ID strings.  Sensors whose names are alike in the
// daemon's 19 characters (a '/' counted as the '_' of its file name) all
// get "_" and their entity instance, the name cut to leave room; those
// still alike then get "#" and their number instead.
//
// After the repository changed under a running process, every number keeps
// the sensor (owner, channel, LUN, IPMI number, ID string) it was given to:
// a sensor no longer found is not read, and a new one gets its number of a
// fresh start if no known sensor holds it, else the highest one free, so
// that no reading ever arrives under another sensor's number.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <freeipmi/freeipmi.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bmc_session.h"
#include "libipmi.h"
#include "sensor_source.h"

namespace tk::host {

namespace {

// FreeIPMI gives a command (and the login) up when no answer came within
// the session time-out, sending it again after every retransmission
// time-out: TRENDKEEP_IPMI_TIMEOUT sets both, FreeIPMI's defaults (20 s,
// 1 s) otherwise.  A controller forgets a session left idle for long, so
// one idle for half the session time-out is opened afresh before it is
// used.  FreeIPMI measures both on the wall clock: a clock that libfaketime
// runs faster shortens them, a stopped one makes them endless.
constexpr unsigned kMaxTimeoutMs = 3600 * 1000;
constexpr int kLoginAttempts = 3;
constexpr const char *kInbandDevice = "/dev/ipmi0";
constexpr size_t kMaxAuthFile = 4096;

void Report(const std::string &why) { TkHostPlatformReportOnce("ipmi", why.c_str()); }

int64_t WallMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Wipe(std::string *secret) {
    explicit_bzero(secret->data(), secret->size());
    secret->clear();
}

// A FreeIPMI workaround, by the name its tools take (ipmi-sensors -W),
// and where its flag goes.
enum class FlagOf { Login, Inband, Reading, Sdr };
struct Workaround {
    const char *name;
    FlagOf of;
    unsigned flag;
};
constexpr unsigned kAssumeBmcOwner = 1, kDiscreteReading = 2, kIgnoreScanningDisabled = 4;
constexpr Workaround kWorkarounds[] = {
    {"authcap", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES},
    {"intel20", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_INTEL_2_0_SESSION},
    {"supermicro20", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUPERMICRO_2_0_SESSION},
    {"sun20", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUN_2_0_SESSION},
    {"opensesspriv", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE},
    {"integritycheckvalue", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NON_EMPTY_INTEGRITY_CHECK_VALUE},
    {"nochecksumcheck", FlagOf::Login, IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK},
    {"assumeio", FlagOf::Inband, IPMI_WORKAROUND_FLAGS_INBAND_ASSUME_IO_BASE_ADDRESS},
    {"spinpoll", FlagOf::Inband, IPMI_WORKAROUND_FLAGS_INBAND_SPIN_POLL},
    {"assumebmcowner", FlagOf::Reading, kAssumeBmcOwner},
    {"discretereading", FlagOf::Reading, kDiscreteReading},
    {"ignorescanningdisabled", FlagOf::Reading, kIgnoreScanningDisabled},
    {"assumemaxsdrrecordcount", FlagOf::Sdr, IPMI_SDR_CACHE_CREATE_FLAGS_ASSUME_MAX_SDR_RECORD_COUNT},
};

struct Target {
    std::string setting;  // TRENDKEEP_IPMI as given, for the log
    bool inband = false;
    std::string host;  // HOST[:PORT], as FreeIPMI takes it
    std::string user, password;
    unsigned session_ms = IPMI_SESSION_TIMEOUT_DEFAULT;
    unsigned retransmit_ms = IPMI_RETRANSMISSION_TIMEOUT_DEFAULT;
    uint8_t cipher = 3;  // 3: RAKP-HMAC-SHA1, HMAC-SHA1-96, AES-CBC-128; 17: the same with SHA-256
    // ipmi_sim and some controllers hash the session keys with the
    // privilege level of the open-session request, not the one of RAKP 1:
    // FreeIPMI's workaround asks for the same level in both, which suits
    // every controller, so it is always on.
    unsigned login_flags = IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE;
    unsigned inband_flags = 0, reading_flags = 0, sdr_flags = IPMI_SDR_CACHE_CREATE_FLAGS_DEFAULT;
    ~Target() { Wipe(&password); }
};

// A whole decimal number from 1 to kMaxTimeoutMs.
bool ParseMs(const std::string &text, unsigned *ms) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v < 1 || v > kMaxTimeoutMs) return false;
    *ms = static_cast<unsigned>(v);
    return true;
}

// TRENDKEEP_IPMI_TIMEOUT, TRENDKEEP_IPMI_CIPHER and TRENDKEEP_IPMI_WORKAROUNDS
// into t; false with why naming the setting that is wrong.
bool ParseSettings(Target *t, std::string *why) {
    const char *timeout = getenv("TRENDKEEP_IPMI_TIMEOUT");
    if (timeout != nullptr && timeout[0] != '\0') {
        const std::string text = timeout;
        const size_t comma = text.find(',');
        bool ok = ParseMs(text.substr(0, comma), &t->session_ms);
        if (ok && comma != std::string::npos) ok = ParseMs(text.substr(comma + 1), &t->retransmit_ms);
        if (!ok || t->retransmit_ms >= t->session_ms) {
            *why = "TRENDKEEP_IPMI_TIMEOUT=" + text + ": must be SESSION[,RETRANSMIT] in milliseconds, from 1 to " +
                   std::to_string(kMaxTimeoutMs) + ", RETRANSMIT (1000 unless given) below SESSION";
            return false;
        }
    }
    const char *cipher = getenv("TRENDKEEP_IPMI_CIPHER");
    if (cipher != nullptr && cipher[0] != '\0') {
        if (strcmp(cipher, "3") != 0 && strcmp(cipher, "17") != 0) {
            *why = std::string("TRENDKEEP_IPMI_CIPHER=") + cipher + ": must be 3 or 17";
            return false;
        }
        t->cipher = static_cast<uint8_t>(atoi(cipher));
    }
    const char *names = getenv("TRENDKEEP_IPMI_WORKAROUNDS");
    std::string list = names != nullptr ? names : "";
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        const std::string name = list.substr(at, end - at);
        at = end + 1;
        const Workaround *w = std::find_if(std::begin(kWorkarounds), std::end(kWorkarounds),
                                           [&](const Workaround &k) { return name == k.name; });
        if (w == std::end(kWorkarounds)) {
            std::string known;
            for (const Workaround &k : kWorkarounds) known += (known.empty() ? "" : ", ") + std::string(k.name);
            *why =
                "TRENDKEEP_IPMI_WORKAROUNDS=" + list + ": unknown workaround \"" + name + "\" (known: " + known + ")";
            return false;
        }
        unsigned *flags[] = {&t->login_flags, &t->inband_flags, &t->reading_flags, &t->sdr_flags};
        *flags[static_cast<int>(w->of)] |= w->flag;
    }
    return true;
}

// Reads the two lines of the auth file: the user name, then the password.
// It must be a regular file of the daemon's user that nobody else may use;
// all of that is checked on the descriptor opened, which is never a link.
bool ReadAuthFile(const char *path, Target *t, std::string *why) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP ? "is a symbolic link" : std::string("cannot open: ") + strerror(errno);
        return false;
    }
    struct stat st;
    std::string text(kMaxAuthFile + 1, '\0');
    ssize_t n = -1;
    if (fstat(fd, &st) != 0)
        *why = std::string("cannot stat: ") + strerror(errno);
    else if (!S_ISREG(st.st_mode))
        *why = "is not a regular file";
    else if (st.st_uid != geteuid())
        *why = "is owned by uid " + std::to_string(st.st_uid) + ", not by the daemon's user (uid " +
               std::to_string(geteuid()) + ")";
    else if ((st.st_mode & 077) != 0)
        *why = "has group or other permissions (mode " + std::to_string(st.st_mode >> 6 & 7) +
               std::to_string(st.st_mode >> 3 & 7) + std::to_string(st.st_mode & 7) + "), must be 600 or stricter";
    else if ((n = read(fd, text.data(), text.size())) < 0)
        *why = std::string("cannot read: ") + strerror(errno);
    close(fd);
    if (n < 0) return false;
    text.resize(static_cast<size_t>(n));
    const size_t eol = text.find('\n');
    const size_t end = eol == std::string::npos ? eol : text.find('\n', eol + 1);
    if (static_cast<size_t>(n) > kMaxAuthFile)
        *why = "is longer than " + std::to_string(kMaxAuthFile) + " bytes";
    else if (eol == std::string::npos || eol + 1 == text.size() || (end != std::string::npos && end + 1 != text.size()))
        *why = "must hold two lines, the user name and then the password";
    else {
        t->user = text.substr(0, eol);
        t->password = text.substr(eol + 1, end == std::string::npos ? end : end - eol - 1);
        if (t->user.size() > IPMI_MAX_USER_NAME_LENGTH)
            *why = "the user name is longer than " + std::to_string(IPMI_MAX_USER_NAME_LENGTH) + " bytes";
        else if (t->password.size() > IPMI_2_0_MAX_PASSWORD_LENGTH)
            *why = "the password is longer than " + std::to_string(IPMI_2_0_MAX_PASSWORD_LENGTH) + " bytes";
    }
    Wipe(&text);
    return why->empty();
}

bool ParseTarget(const char *setting, Target *t, std::string *why) {
    t->setting = setting;
    if (!ParseSettings(t, why)) return false;
    if (strcmp(setting, "inband") == 0) {
        t->inband = true;
        return true;
    }
    if (strncmp(setting, "lan:", 4) != 0 || setting[4] == '\0') {
        *why = std::string("TRENDKEEP_IPMI=") + setting + ": must be lan:HOST[:PORT] or inband";
        return false;
    }
    t->host = setting + 4;
    const char *auth = getenv("TRENDKEEP_IPMI_AUTH");
    if (auth == nullptr || auth[0] == '\0') {
        *why = std::string(setting) + ": TRENDKEEP_IPMI_AUTH names no auth file";
        return false;
    }
    if (ReadAuthFile(auth, t, why)) return true;
    *why = std::string("auth file ") + auth + ": " + *why;
    return false;
}

// The ID string of a sensor record whose type/length byte is at rec[at],
// cut to the length that byte gives and to the record.
std::string IdString(const std::vector<uint8_t> &rec, size_t at) {
    if (at >= rec.size()) return "";
    const uint8_t code = rec[at];
    const size_t len = std::min<size_t>(code & 0x1F, rec.size() - at - 1);
    const uint8_t *p = rec.data() + at + 1;
    std::string s;
    if (code >> 6 == 2) {  // 6-bit packed ASCII: four characters in three bytes, the first in the low bits
        for (size_t bit = 0; bit + 6 <= len * 8; bit += 6) {
            const size_t byte = bit / 8;
            const unsigned word = p[byte] | (byte + 1 < len ? p[byte + 1] << 8 : 0);
            s.push_back(static_cast<char>(0x20 + ((word >> (bit % 8)) & 0x3F)));
        }
        s.erase(s.find_last_not_of(' ') + 1);  // the padding of the last byte
    } else if (code >> 6 == 1) {               // BCD plus: two characters a byte, the first in the high nibble
        for (size_t i = 0; i < 2 * len; ++i) s.push_back("0123456789 -.:,_"[(p[i / 2] >> (i % 2 ? 0 : 4)) & 0xF]);
    } else {  // 8-bit ASCII and Latin-1 (or Unicode, taken byte by byte)
        s.assign(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), len));
    }
    return s;
}

// Byte offsets in a sensor record, its 5-byte header included: those that
// full, compact and event-only records share, then those of full records
// (the formula and units), then where compact and event-only records keep
// their sharing and ID strings.
constexpr size_t kRecordType = 3, kOwner = 5, kOwnerLun = 6, kNumber = 7, kEntityInstance = 9;
constexpr size_t kSensorType = 12, kReadingType = 13, kUnits1 = 20, kBaseUnit = 21, kFullIdString = 47;
constexpr size_t kCompactSharing = 23, kCompactIdString = 31, kEventSharing = 12, kEventIdString = 16;
constexpr uint8_t kBmc = 0x20;       // the BMC's slave address, as a record's owner byte holds it
constexpr size_t kNameChars = 19;    // of a name, the daemon keeps this many
constexpr int kHighestNumber = 254;  // 255 is no sensor number

// The device id the information store gives a sensor that neither Redis
// nor the sensor file knows, from which the daemon takes its class: the
// first id of the range of the sensor's kind.  The sensor type decides;
// for other types (an "other units-based" power sensor, say) the base unit
// does, unless the reading is a percentage.  Every other kind (percentages,
// airflow, flow rates) gets the range of other kinds.
int32_t DerivedDevid(uint8_t sensor_type, uint8_t units1, uint8_t unit) {
    switch (sensor_type) {
    case 0x01: return 0x3000;  // temperature
    case 0x02: return 0x7000;  // voltage
    case 0x03: return 0x8000;  // current
    case 0x04: return 0x5000;  // fan
    }
    if ((units1 & 1) != 0) return 0x9000;  // a percentage of it
    switch (unit) {
    case 1:
    case 2:
    case 3: return 0x3000;   // degrees C, degrees F, kelvin
    case 4: return 0x7000;   // volts
    case 18: return 0x5000;  // RPM
    case 5:
    case 6: return 0x8000;  // amperes, watts
    }
    return 0x9000;
}

// Who a sensor is, as its record says: its owner (slave address or
// software id, with the id type in bit 0), channel, LUN, IPMI number and ID
// string, and how many sensors before it in the repository were the same.
struct Identity {
    uint8_t owner, channel, lun, ipmi_num;
    std::string id;
    unsigned nth;
    bool operator==(const Identity &) const = default;
};

// Orders the sensors that are not the BMC's own LUN 0 ones for numbering.
bool NumberedBefore(const Identity &a, const Identity &b) {
    return std::tie(a.owner, a.channel, a.lun, a.ipmi_num) < std::tie(b.owner, b.channel, b.lun, b.ipmi_num);
}

// A numbered sensor: its record, who it is, the number and name the daemon
// knows it by, and its formula.
struct Sensor {
    size_t record;
    Identity who;
    uint8_t instance;
    int num;
    std::string name;
    int8_t r_exp, b_exp;
    int16_t m, b;
    uint8_t linearization, format;
};

// What a process has given out: every number stays with its sensor.
struct Known {
    Identity who;
    int num;
    std::string name;
};

struct Repository {
    std::string setting;
    uint32_t addition = 0, erase = 0;  // the change stamps
    std::vector<std::vector<uint8_t>> records;
    std::vector<Sensor> sensors;  // the numbered ones, in the order a process first knew them
    bool holds_sensors = false;   // any sensor record at all
};

// The numbered sensors of the repository, without numbers yet, in
// repository order; *bmc_used gets every number a record of the BMC's own
// LUN 0 uses.
std::vector<Sensor> Candidates(const Repository &repo, unsigned reading_flags, std::bitset<256> *bmc_used) {
    std::vector<Sensor> found;
    ipmi_sdr_ctx_t sdr = ipmi_sdr_ctx_create();  // only to parse records with
    for (size_t i = 0; sdr != nullptr && i < repo.records.size(); ++i) {
        const std::vector<uint8_t> &rec = repo.records[i];
        const uint8_t type = rec.size() > kNumber ? rec[kRecordType] : 0;
        if (type < IPMI_SDR_FORMAT_FULL_SENSOR_RECORD || type > IPMI_SDR_FORMAT_EVENT_ONLY_RECORD) continue;
        const size_t sharing = type == IPMI_SDR_FORMAT_COMPACT_SENSOR_RECORD ? kCompactSharing : kEventSharing;
        const unsigned share =
            type != IPMI_SDR_FORMAT_FULL_SENSOR_RECORD && rec.size() > sharing ? rec[sharing] & 0xF : 1;
        if (rec[kOwner] == kBmc && (rec[kOwnerLun] & 0xF3) == 0) {
            for (unsigned k = 0; k < std::max(share, 1u) && rec[kNumber] + k < 256; ++k)
                bmc_used->set(rec[kNumber] + k);
        }
        if (type != IPMI_SDR_FORMAT_FULL_SENSOR_RECORD || rec.size() <= kFullIdString || (rec[kOwner] & 1) != 0)
            continue;
        Sensor s = {};
        uint8_t percentage, modifier, rate, unit, modifier_unit;
        if (ipmi_sdr_parse_sensor_decoding_data(sdr, rec.data(), rec.size(), &s.r_exp, &s.b_exp, &s.m, &s.b,
                                                &s.linearization, &s.format) < 0 ||
            ipmi_sdr_parse_sensor_units(sdr, rec.data(), rec.size(), &percentage, &modifier, &rate, &unit,
                                        &modifier_unit) < 0)
            continue;
        const bool threshold = rec[kReadingType] == IPMI_EVENT_READING_TYPE_CODE_THRESHOLD;
        const bool has_unit = percentage == IPMI_SDR_PERCENTAGE_YES || unit != IPMI_SENSOR_UNIT_UNSPECIFIED;
        if (!threshold && !((reading_flags & kDiscreteReading) != 0 && has_unit)) continue;
        if (!IPMI_SDR_ANALOG_DATA_FORMAT_VALID(s.format) || !IPMI_SDR_LINEARIZATION_IS_LINEAR(s.linearization))
            continue;
        s.record = i;
        s.who.owner = rec[kOwner];
        s.who.channel = static_cast<uint8_t>(rec[kOwnerLun] >> 4);
        s.who.lun = static_cast<uint8_t>(rec[kOwnerLun] & 3);
        s.who.ipmi_num = rec[kNumber];
        s.who.id = IdString(rec, kFullIdString);
        for (const Sensor &before : found) {
            if (before.who == s.who) ++s.who.nth;
        }
        s.instance = rec[kEntityInstance] & 0x7F;
        s.num = -1;
        found.push_back(std::move(s));
    }
    ipmi_sdr_ctx_destroy(sdr);
    return found;
}

// The numbers a start on this repository gives: the BMC's own LUN 0
// sensors theirs, the others the highest numbers free, in their order;
// -1 where none is left.
void FreshNumbers(std::vector<Sensor> *sensors, const std::bitset<256> &bmc_used) {
    std::bitset<256> given;
    std::vector<Sensor *> others;
    for (Sensor &s : *sensors) {
        const Identity &w = s.who;
        if (w.owner == kBmc && w.channel == 0 && w.lun == 0 && !given[w.ipmi_num]) {
            s.num = w.ipmi_num;
            given.set(w.ipmi_num);
        } else {
            others.push_back(&s);
        }
    }
    std::stable_sort(others.begin(), others.end(),
                     [](const Sensor *a, const Sensor *b) { return NumberedBefore(a->who, b->who); });
    int next = kHighestNumber;
    for (Sensor *s : others) {
        while (next >= 0 && (bmc_used[next] || given[next])) --next;
        if (next < 0) break;
        s->num = next;
        given.set(next);
    }
}

// The name as the daemon tells names apart: its first 19 characters, a '/'
// as the '_' its file name has there.
std::string NameKey(const std::string &name) {
    std::string key = name.substr(0, kNameChars);
    std::replace(key.begin(), key.end(), '/', '_');
    return key;
}

// name cut so that suffix fits within the daemon's 19 characters.
std::string WithSuffix(const std::string &name, const std::string &suffix) {
    return name.substr(0, kNameChars - std::min(kNameChars, suffix.size())) + suffix;
}

// The names a start gives the numbered sensors: their ID strings, made
// unique with the entity instance, and then with the number.
void FreshNames(std::vector<Sensor> *sensors) {
    std::map<std::string, int> seen;
    for (const Sensor &s : *sensors) {
        if (s.num >= 0) ++seen[NameKey(s.who.id)];
    }
    std::vector<bool> renamed(sensors->size());
    for (size_t i = 0; i < sensors->size(); ++i) {
        Sensor &s = (*sensors)[i];
        s.name = s.who.id;
        renamed[i] = s.num >= 0 && seen[NameKey(s.name)] > 1;
        if (renamed[i]) s.name = WithSuffix(s.who.id, "_" + std::to_string(s.instance));
    }
    seen.clear();
    for (const Sensor &s : *sensors) {
        if (s.num >= 0) ++seen[NameKey(s.name)];
    }
    for (size_t i = 0; i < sensors->size(); ++i) {
        Sensor &s = (*sensors)[i];
        if (renamed[i] && seen[NameKey(s.name)] > 1) s.name = WithSuffix(s.who.id, "#" + std::to_string(s.num));
    }
}

// Gives the repository's numbered sensors their numbers and names: those
// the process knows theirs, new ones their fresh ones where no known
// sensor holds them, and lists them in the order the process knew them.
// Says once how many found no number.
void NumberSensors(Repository *repo, unsigned reading_flags, std::vector<Known> *known) {
    std::bitset<256> bmc_used;
    std::vector<Sensor> found = Candidates(*repo, reading_flags, &bmc_used);
    repo->holds_sensors = std::any_of(repo->records.begin(), repo->records.end(), [](const std::vector<uint8_t> &r) {
        return r.size() > kNumber && r[kRecordType] >= 1 && r[kRecordType] <= 3;
    });
    FreshNumbers(&found, bmc_used);
    FreshNames(&found);
    std::bitset<256> taken;
    for (const Known &k : *known) taken.set(static_cast<size_t>(k.num));
    const size_t known_before = known->size();
    std::vector<const Sensor *> left_out;
    for (Sensor &s : found) {
        auto same = std::find_if(known->begin(), known->begin() + static_cast<long>(known_before),
                                 [&](const Known &k) { return k.who == s.who; });
        if (same != known->begin() + static_cast<long>(known_before)) {
            s.num = same->num;
            s.name = same->name;
            continue;
        }
        if (s.num >= 0 && taken[static_cast<size_t>(s.num)]) {
            int next = kHighestNumber;
            while (next >= 0 && (bmc_used[next] || taken[next])) --next;
            s.num = next;
        }
        if (s.num < 0) {
            left_out.push_back(&s);
            continue;
        }
        const bool name_held = std::any_of(known->begin(), known->end(),
                                           [&](const Known &k) { return NameKey(k.name) == NameKey(s.name); });
        if (name_held) s.name = WithSuffix(s.who.id, "#" + std::to_string(s.num));
        taken.set(static_cast<size_t>(s.num));
        known->push_back({s.who, s.num, s.name});
    }
    for (const Known &k : *known) {
        auto it =
            std::find_if(found.begin(), found.end(), [&](const Sensor &s) { return s.who == k.who && s.num >= 0; });
        if (it != found.end()) repo->sensors.push_back(*it);
    }
    if (!left_out.empty()) {
        const Identity &w = left_out[0]->who;
        char where[64];
        snprintf(where, sizeof where, "owner 0x%02x, channel %u, LUN %u, number %u", w.owner, w.channel, w.lun,
                 w.ipmi_num);
        Report(repo->setting + ": " + std::to_string(left_out.size()) +
               " readable sensors left out, no sensor number left for them (the first: \"" + w.id + "\", " + where +
               ")");
    }
    std::vector<int32_t> devids(256, -1);
    for (const Sensor &s : repo->sensors) {
        const std::vector<uint8_t> &rec = repo->records[s.record];
        devids[static_cast<size_t>(s.num)] = DerivedDevid(rec[kSensorType], rec[kUnits1], rec[kBaseUnit]);
    }
    TkHostPlatformNoteDerivedDevids(devids.data());
}

// Reads the whole repository through FreeIPMI's SDR cache, which must be a
// file: one in a directory of our own, removed again at once.
bool ReadRepository(ipmi_ctx_t ctx, unsigned flags, Repository *repo, std::string *why) {
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/trendkeep-sdr-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        *why = "cannot make a directory for the SDR cache: " + std::string(strerror(errno));
        return false;
    }
    const std::string file = dir + "/sdr";
    ipmi_sdr_ctx_t sdr = ipmi_sdr_ctx_create();
    uint16_t count = 0;
    bool ok = sdr != nullptr && ipmi_sdr_cache_create(sdr, ctx, file.c_str(), flags, nullptr, nullptr) == 0 &&
              ipmi_sdr_cache_open(sdr, nullptr, file.c_str()) == 0 && ipmi_sdr_cache_record_count(sdr, &count) == 0 &&
              ipmi_sdr_cache_most_recent_addition_timestamp(sdr, &repo->addition) == 0 &&
              ipmi_sdr_cache_most_recent_erase_timestamp(sdr, &repo->erase) == 0;
    if (ok && count > 0 && (ok = ipmi_sdr_cache_first(sdr) == 0)) {
        uint8_t buf[IPMI_SDR_MAX_RECORD_LENGTH];
        int more = 1;
        for (int n; ok && more == 1; more = ipmi_sdr_cache_next(sdr)) {
            ok = (n = ipmi_sdr_cache_record_read(sdr, buf, sizeof buf)) >= 0;
            if (ok) repo->records.emplace_back(buf, buf + n);
        }
        ok = ok && more == 0;
    }
    if (!ok)
        *why = "reading the SDR repository: " + std::string(sdr == nullptr ? "out of memory"
                                                            : ipmi_sdr_ctx_errnum(sdr) == IPMI_SDR_ERR_IPMI_ERROR
                                                                ? ipmi_ctx_errormsg(ctx)
                                                                : ipmi_sdr_ctx_errormsg(sdr));
    if (sdr != nullptr) {
        ipmi_sdr_cache_close(sdr);
        ipmi_sdr_ctx_destroy(sdr);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());
    return ok;
}

// The repository as the controller holds it now: the kept one while the
// change stamps are those it was read under, else read again and its
// sensors numbered with what the process gave out before.
std::shared_ptr<const Repository> CurrentRepository(ipmi_ctx_t ctx, const Target &t, std::string *why) {
    static std::mutex *mutex = new std::mutex;  // never destroyed: calls may race exit
    static std::shared_ptr<const Repository> *kept = new std::shared_ptr<const Repository>;
    static std::vector<Known> *known = new std::vector<Known>;
    uint64_t addition = 0, erase = 0;
    fiid_obj_t rs = fiid_obj_create(tmpl_cmd_get_sdr_repository_info_rs);
    bool ok = rs != nullptr && ipmi_cmd_get_sdr_repository_info(ctx, rs) >= 0 &&
              fiid_obj_get(rs, "most_recent_addition_timestamp", &addition) == 1 &&
              fiid_obj_get(rs, "most_recent_erase_timestamp", &erase) == 1;
    fiid_obj_destroy(rs);
    if (!ok) {
        *why = "SDR repository info: " + std::string(ipmi_ctx_errormsg(ctx));
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(*mutex);
    const Repository *k = kept->get();
    if (k != nullptr && k->setting == t.setting && k->addition == addition && k->erase == erase) return *kept;
    auto repo = std::make_shared<Repository>();
    repo->setting = t.setting;
    if (!ReadRepository(ctx, t.sdr_flags, repo.get(), why)) return nullptr;
    if (k != nullptr && k->setting != t.setting) known->clear();  // another controller
    NumberSensors(repo.get(), t.reading_flags, known);
    *kept = repo;
    return repo;
}

// Whether a failed command means that the session is gone, rather than
// that one sensor could not be read.  A message time-out is a bridged
// command's: the controller behind the BMC did not answer, the session
// stands.
bool ConnectionLost(ipmi_ctx_t ctx) {
    switch (ipmi_ctx_errnum(ctx)) {
    case IPMI_ERR_SESSION_TIMEOUT:
    case IPMI_ERR_CONNECTION_TIMEOUT:
    case IPMI_ERR_DRIVER_TIMEOUT:
    case IPMI_ERR_DEVICE_NOT_OPEN:
    case IPMI_ERR_SYSTEM_ERROR: return true;
    }
    return false;
}

std::string LoginFailure(ipmi_ctx_t ctx, const Target &t) {
    const std::string what = ipmi_ctx_errormsg(ctx);
    switch (ipmi_ctx_errnum(ctx)) {
    case IPMI_ERR_USERNAME_INVALID:
    case IPMI_ERR_PASSWORD_INVALID:
    case IPMI_ERR_K_G_INVALID:
    case IPMI_ERR_PRIVILEGE_LEVEL_INSUFFICIENT:
    case IPMI_ERR_PRIVILEGE_LEVEL_CANNOT_BE_OBTAINED:
    case IPMI_ERR_AUTHENTICATION_TYPE_UNAVAILABLE:
    case IPMI_ERR_PASSWORD_VERIFICATION_TIMEOUT:
        return "login refused: the controller refused the password or authentication (" + what + ")";
    case IPMI_ERR_CIPHER_SUITE_ID_UNAVAILABLE:
        return "login refused: the controller refused the password or authentication (" + what + ", cipher suite " +
               std::to_string(t.cipher) + "; TRENDKEEP_IPMI_CIPHER chooses 3 or 17)";
    case IPMI_ERR_IPMI_ERROR:  // what a controller that allows no suite we asked for often makes of it
        if (!t.inband)
            return "session open failed: " + what + " (cipher suite " + std::to_string(t.cipher) +
                   "; TRENDKEEP_IPMI_CIPHER chooses 3 or 17)";
    }
    return "session open failed: " + what;
}

// Says once per cause that a sensor could not be read for it (a refused
// privilege, a controller behind the BMC that does not answer, ...),
// naming the first sensor it happened to.
void ReportSensorFailure(const std::string &setting, const Sensor &s, const std::string &cause) {
    static std::mutex *mutex = new std::mutex;  // never destroyed, as the reports
    static std::set<std::string> *said = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> lock(*mutex);
        if (!said->insert(setting + "\n" + cause).second) return;
    }
    char where[64];
    snprintf(where, sizeof where, "owner 0x%02x, LUN %u, number %u", s.who.owner, s.who.lun, s.who.ipmi_num);
    Report(setting + ": reading sensor \"" + s.name + "\" (" + where + "): " + cause +
           "; said once for every sensor it fails");
}

enum class Read { Value, None, Lost };

class FreeIpmiSession : public BmcSession {
public:
    ~FreeIpmiSession() override { Disconnect(); }

    Target *target() { return &target_; }

    // Logs in and takes the repository as it is now.  A login that the
    // controller began to answer but that lost its way (an answer of the
    // RMCP+ handshake lost: resending the step does not mend it) is tried
    // again, kLoginAttempts in all; one that gets no answer at all (a
    // controller that is not there) or a refusal is not.
    bool Connect() {
        Disconnect();
        const Target &t = target_;
        int rc = -1;
        for (int attempt = 0; rc < 0 && attempt < kLoginAttempts; ++attempt) {
            if (attempt > 0 && ipmi_ctx_errnum(ctx_) != IPMI_ERR_SESSION_TIMEOUT) break;
            if (ctx_ != nullptr) ipmi_ctx_destroy(ctx_);
            if ((ctx_ = ipmi_ctx_create()) == nullptr) return Fail("out of memory");
            rc = t.inband ? ipmi_ctx_open_inband(ctx_, IPMI_DEVICE_OPENIPMI, 0, 0, 0, kInbandDevice, t.inband_flags,
                                                 IPMI_FLAGS_DEFAULT)
                          : ipmi_ctx_open_outofband_2_0(ctx_, t.host.c_str(), t.user.c_str(), t.password.c_str(),
                                                        nullptr, 0, IPMI_PRIVILEGE_LEVEL_USER, t.cipher, t.session_ms,
                                                        t.retransmit_ms, t.login_flags, IPMI_FLAGS_DEFAULT);
        }
        if (rc < 0) {
            std::string why = LoginFailure(ctx_, t);
            ipmi_ctx_destroy(ctx_);
            ctx_ = nullptr;
            return Fail(why);
        }
        std::string why;
        std::shared_ptr<const Repository> repo = CurrentRepository(ctx_, t, &why);
        if (repo == nullptr) return Fail(why);
        repo_ = std::move(repo);
        last_ms_ = WallMs();
        TkHostPlatformReportOnce("ipmi", nullptr);
        return true;
    }

    // The numbered sensors; at least one while the repository holds any
    // sensor record, so that a controller without a numeric sensor still
    // lets the daemon build its list.  An empty repository is asked again:
    // a controller that is still starting up fills it later.
    bool Count(uint32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!repo_->holds_sensors && !Connect()) return false;
        const size_t n = repo_->sensors.size();
        *count = static_cast<uint32_t>(std::max<size_t>(n, repo_->holds_sensors ? 1 : 0));
        return true;
    }

    // One Get Sensor Reading a numbered sensor, in the order the process
    // knew them, for as long as the deadline allows: once it has passed, no
    // further sensor is read and the records written so far are the answer.
    // The command under way when it passes is waited for, the session
    // time-out at most.  A sensor that cannot be read now reads NaN.  A
    // session lost on the way (its answers lost once FreeIPMI's resending
    // gave up) is opened again and the sensor asked once more; when the
    // controller cannot be logged into again, what was read stands.
    bool Readings(uint8_t *buf, uint32_t *count, int64_t deadline_ms) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t idle = WallMs() - last_ms_;
        if ((ctx_ == nullptr || idle < 0 || idle >= int64_t{target_.session_ms / 2}) && !Connect()) return false;
        const std::shared_ptr<const Repository> repo = repo_;  // a login again may bring a newer one
        uint32_t n = 0;
        for (const Sensor &s : repo->sensors) {
            if (n == *count || MonotonicMs() >= deadline_ms) break;
            // A session lost twice on the sensor before is opened again;
            // a controller that cannot be logged into fails the call, so
            // that a list is never built from part of the sensors.
            if (ctx_ == nullptr && !Connect()) return false;
            // Back with another repository, whose numbers this refresh
            // has not taken: what was read stands.
            if (repo_ != repo) break;
            double value = NAN;
            Read got = ReadSensor(s, &value);
            if (got == Read::Lost) {
                Disconnect();
                if (MonotonicMs() >= deadline_ms) break;
                if (!Connect()) return false;
                if (repo_ != repo) break;
                got = ReadSensor(s, &value);
                if (got == Read::Lost) Disconnect();
            }
            uint8_t *r = buf + static_cast<size_t>(n++) * IPMI_SENSOR_READING_SIZE;
            tk::host::PutReadingRecord(r, s.num, s.name, value, 0);
        }
        last_ms_ = WallMs();
        *count = n;
        return true;
    }

    // The records begin with the SDR's own header and key, as the
    // controller holds them, with the sensor's number in place of its IPMI
    // number.
    bool Info(uint8_t *buf, uint32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t n = 0;
        for (const Sensor &s : repo_->sensors) {
            if (n == *count) break;
            const std::vector<uint8_t> &rec = repo_->records[s.record];
            uint8_t *r = buf + static_cast<size_t>(n++) * IPMI_SENSOR_INFO_SIZE;
            memset(r, 0, IPMI_SENSOR_INFO_SIZE);
            memcpy(r, rec.data(), std::min<size_t>(rec.size(), IPMI_SENSOR_INFO_SIZE));
            r[IPMI_INFO_SENSOR_NUM_OFFSET] = static_cast<uint8_t>(s.num);
        }
        *count = n;
        return true;
    }

private:
    // One Get Sensor Reading of s: to the BMC on the sensor's LUN, or
    // bridged to the controller that owns it.  *value gets the reading by
    // the record's formula when the sensor has one now.  A failure that is
    // the sensor's is said once per cause; Lost: the session is gone.
    Read ReadSensor(const Sensor &s, double *value) {
        fiid_obj_t rq = fiid_obj_create(tmpl_cmd_get_sensor_reading_rq);
        fiid_obj_t rs = fiid_obj_create(tmpl_cmd_get_sensor_reading_rs);
        std::string cause = "out of memory";
        Read got = Read::None;
        unsigned flags = 0;
        if (rq != nullptr && rs != nullptr && fill_cmd_get_sensor_reading(s.who.ipmi_num, rq) == 0 &&
            ipmi_ctx_get_flags(ctx_, &flags) == 0) {
            const bool own =
                (s.who.owner == kBmc && s.who.channel == 0) || (target_.reading_flags & kAssumeBmcOwner) != 0;
            // Many controllers leave out the answer's optional event bytes.
            ipmi_ctx_set_flags(ctx_, flags | IPMI_FLAGS_NO_VALID_CHECK);
            const int rc =
                own ? ipmi_cmd(ctx_, s.who.lun, IPMI_NET_FN_SENSOR_EVENT_RQ, rq, rs)
                    : ipmi_cmd_ipmb(ctx_, s.who.channel, s.who.owner, s.who.lun, IPMI_NET_FN_SENSOR_EVENT_RQ, rq, rs);
            ipmi_ctx_set_flags(ctx_, flags);
            got = rc < 0 && ConnectionLost(ctx_) ? Read::Lost : Read::None;
            cause = got == Read::Lost ? "" : Answer(rc, rs, s, value);
            if (std::isfinite(*value)) got = Read::Value;
        }
        fiid_obj_destroy(rq);
        fiid_obj_destroy(rs);
        if (!cause.empty()) ReportSensorFailure(target_.setting, s, cause);
        return got;
    }

    // What an answer rs (of result rc) says: *value set to the reading, or
    // left NaN for a sensor that has none now (reading unavailable,
    // scanning disabled); the cause when it is a failure.
    std::string Answer(int rc, fiid_obj_t rs, const Sensor &s, double *value) {
        uint64_t code = 0, state = 0, scanning = 0, raw = 0;
        if (fiid_obj_get(rs, "comp_code", &code) == 1 && code != 0) {
            char text[256] = "";
            const uint8_t cc = static_cast<uint8_t>(code);
            ipmi_completion_code_strerror_r(IPMI_CMD_GET_SENSOR_READING, IPMI_NET_FN_SENSOR_EVENT_RQ, cc, text, 256);
            char hex[48];
            snprintf(hex, sizeof hex, "completion code 0x%02X", static_cast<unsigned>(code));
            return std::string(hex) + " (" + text + ")";
        }
        // FreeIPMI now and then fails a command without saying why (an
        // answer to a command sent again, say).
        if (rc < 0 && ipmi_ctx_errnum(ctx_) == IPMI_ERR_SUCCESS) return "no answer FreeIPMI could take";
        if (rc < 0) return ipmi_ctx_errormsg(ctx_);
        if (fiid_obj_get(rs, "reading_state", &state) == 1 && state == IPMI_SENSOR_READING_STATE_UNAVAILABLE) return "";
        const bool check_scanning = (target_.reading_flags & kIgnoreScanningDisabled) == 0;
        if (check_scanning && fiid_obj_get(rs, "sensor_scanning", &scanning) == 1 &&
            scanning == IPMI_SENSOR_SCANNING_ON_THIS_SENSOR_DISABLE)
            return "";
        if (fiid_obj_get(rs, "sensor_reading", &raw) != 1) return "an answer without a reading";
        ipmi_sensor_decode_value(s.r_exp, s.b_exp, s.m, s.b, s.linearization, s.format, static_cast<uint8_t>(raw),
                                 value);
        return "";
    }

    bool Fail(const std::string &why) {
        Report(target_.setting + ": " + why);
        Disconnect();
        return false;
    }

    void Disconnect() {
        if (ctx_ != nullptr) {
            ipmi_ctx_close(ctx_);
            ipmi_ctx_destroy(ctx_);
        }
        ctx_ = nullptr;
    }

    std::mutex mutex_;
    Target target_;
    ipmi_ctx_t ctx_ = nullptr;
    int64_t last_ms_ = 0;  // the wall clock at the last answer, as FreeIPMI counts idle time
    std::shared_ptr<const Repository> repo_ = std::make_shared<Repository>();
};

}  // namespace

std::unique_ptr<BmcSession> OpenBmcSession(const char *setting) {
    auto session = std::make_unique<FreeIpmiSession>();
    std::string why;
    if (!ParseTarget(setting, session->target(), &why)) {
        Report(why);
        return nullptr;
    }
    if (!session->Connect()) return nullptr;
    return session;
}

}  // namespace tk::host
