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
// Records, in repository order: every full (0x01), compact (0x02) and
// event-only (0x03) sensor record is a sensor-info record, a compact record
// shared by several sensors one per sensor; the other records (device
// locators and the like) carry no sensor number and give none.  Every full
// and compact sensor has a reading record, so the count of info records
// covers the readings.  A reading is skipped when the sensor is discrete,
// has scanning disabled, reports its reading unavailable, or has no
// numeric reading to convert (no analog format, a non-linear formula, a
// sensor behind another controller).
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <freeipmi/freeipmi.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "bmc_session.h"
#include "libipmi.h"
#include "sensor_source.h"

namespace tk::host {

namespace {

// FreeIPMI gives a command (and the login) up when no answer came for this
// long, sending it again every kRetransmitMs: a controller that stops
// answering fails a call in about 4 s.  It also counts a session that
// stayed idle that long as lost, so one idle for half of it is opened
// afresh before it is used.  FreeIPMI measures both on the wall clock: a
// clock that libfaketime runs faster shortens them, a stopped one makes
// them endless.
constexpr unsigned kTimeoutMs = 3000;
constexpr unsigned kRetransmitMs = 1000;
constexpr uint8_t kCipherSuite = 3;  // RAKP-HMAC-SHA1, HMAC-SHA1-96, AES-CBC-128
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

struct Target {
    std::string setting;  // TRENDKEEP_IPMI as given, for the log
    bool inband = false;
    std::string host;  // HOST[:PORT], as FreeIPMI takes it
    std::string user, password;
    ~Target() { Wipe(&password); }
};

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
    if (fstat(fd, &st) != 0) *why = std::string("cannot stat: ") + strerror(errno);
    else if (!S_ISREG(st.st_mode)) *why = "is not a regular file";
    else if (st.st_uid != geteuid())
        *why = "is owned by uid " + std::to_string(st.st_uid) + ", not by the daemon's user (uid " +
               std::to_string(geteuid()) + ")";
    else if ((st.st_mode & 077) != 0)
        *why = "has group or other permissions (mode " + std::to_string(st.st_mode >> 6 & 7) +
               std::to_string(st.st_mode >> 3 & 7) + std::to_string(st.st_mode & 7) + "), must be 600 or stricter";
    else if ((n = read(fd, text.data(), text.size())) < 0) *why = std::string("cannot read: ") + strerror(errno);
    close(fd);
    if (n < 0) return false;
    text.resize(static_cast<size_t>(n));
    const size_t eol = text.find('\n');
    const size_t end = eol == std::string::npos ? eol : text.find('\n', eol + 1);
    if (static_cast<size_t>(n) > kMaxAuthFile) *why = "is longer than " + std::to_string(kMaxAuthFile) + " bytes";
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
    } else if (code >> 6 == 1) {  // BCD plus: two characters a byte, the first in the high nibble
        for (size_t i = 0; i < 2 * len; ++i) s.push_back("0123456789 -.:,_"[(p[i / 2] >> (i % 2 ? 0 : 4)) & 0xF]);
    } else {  // 8-bit ASCII and Latin-1 (or Unicode, taken byte by byte)
        s.assign(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), len));
    }
    return s;
}

// The name suffix of sensor k of a shared compact record: a number, or
// letters A to Z, AA to ZZ, from the record's offset on.
std::string ShareSuffix(const std::vector<uint8_t> &rec, unsigned k) {
    const unsigned v = (rec[24] & 0x7F) + k;
    if ((rec[23] >> 4 & 3) == 0) return std::to_string(v);
    std::string s(1, static_cast<char>('A' + v % 26));
    if (v >= 26) s.insert(s.begin(), static_cast<char>('A' + (v / 26 - 1) % 26));
    return s;
}

// The device id the information store gives a sensor that neither Redis
// nor the sensor file knows: the first id of the device id class of the
// sensor's kind.  The sensor type decides; for other types (an "other
// units-based" power sensor, say) the record's base unit does.
int32_t DerivedDevid(uint8_t sensor_type, uint8_t unit) {
    switch (sensor_type) {
        case 0x01: return 0x3000;  // temperature
        case 0x02: return 0x7000;  // voltage
        case 0x03: return 0x8000;  // current
        case 0x04: return 0x5000;  // fan
    }
    switch (unit) {
        case 1: case 2: case 3: return 0x3000;  // degrees C, degrees F, kelvin
        case 4: return 0x7000;                  // volts
        case 18: return 0x5000;                 // RPM
        case 5: case 6: return 0x8000;          // amperes, watts
    }
    return -1;
}

struct Sensor {
    size_t record;  // its index among the repository's records
    uint8_t type;   // SDR record type
    uint8_t num;
    uint8_t share_offset;  // its place among the sensors of a shared compact record
    bool threshold;        // a threshold sensor, the only kind with a numeric reading
    std::string name;
};

struct Repository {
    std::string setting;
    uint32_t addition = 0, erase = 0;  // the change stamps
    std::vector<std::vector<uint8_t>> records;
    std::vector<Sensor> sensors;  // one per sensor-info record
};

void ListSensors(Repository *repo) {
    std::vector<int32_t> devids(256, -1);
    for (size_t i = 0; i < repo->records.size(); ++i) {
        const std::vector<uint8_t> &rec = repo->records[i];
        const uint8_t type = rec.size() >= 8 ? rec[3] : 0;
        if (type < IPMI_SDR_FORMAT_FULL_SENSOR_RECORD || type > IPMI_SDR_FORMAT_EVENT_ONLY_RECORD) continue;
        const bool compact = type == IPMI_SDR_FORMAT_COMPACT_SENSOR_RECORD, event_only = !compact && type != 1;
        const std::string id = IdString(rec, event_only ? 16 : compact ? 31 : 47);
        const unsigned share = compact && rec.size() > 24 && (rec[23] & 0xF) > 1 ? rec[23] & 0xF : 1;
        for (unsigned k = 0; k < share && rec[7] + k <= 255; ++k) {
            const uint8_t num = static_cast<uint8_t>(rec[7] + k);
            const bool threshold = !event_only && rec.size() > 13 && rec[13] == IPMI_EVENT_READING_TYPE_CODE_THRESHOLD;
            repo->sensors.push_back({i, type, num, static_cast<uint8_t>(k), threshold,
                                     share > 1 ? id + ShareSuffix(rec, k) : id});
            if (!event_only && rec.size() > 21 && devids[num] < 0) devids[num] = DerivedDevid(rec[12], rec[21]);
        }
    }
    TkHostPlatformNoteDerivedDevids(devids.data());
}

// Reads the whole repository through FreeIPMI's SDR cache, which must be a
// file: one in a directory of our own, removed again at once.
bool ReadRepository(ipmi_ctx_t ctx, Repository *repo, std::string *why) {
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/trendkeep-sdr-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        *why = "cannot make a directory for the SDR cache: " + std::string(strerror(errno));
        return false;
    }
    const std::string file = dir + "/sdr";
    ipmi_sdr_ctx_t sdr = ipmi_sdr_ctx_create();
    uint16_t count = 0;
    bool ok = sdr != nullptr &&
              ipmi_sdr_cache_create(sdr, ctx, file.c_str(), IPMI_SDR_CACHE_CREATE_FLAGS_DEFAULT, nullptr, nullptr) == 0 &&
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
        *why = "reading the SDR repository: " +
               std::string(sdr == nullptr ? "out of memory"
                           : ipmi_sdr_ctx_errnum(sdr) == IPMI_SDR_ERR_IPMI_ERROR ? ipmi_ctx_errormsg(ctx)
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
// change stamps are those it was read under, else read again.
std::shared_ptr<const Repository> CurrentRepository(ipmi_ctx_t ctx, const std::string &setting, std::string *why) {
    static std::mutex *mutex = new std::mutex;  // never destroyed: calls may race exit
    static std::shared_ptr<const Repository> *kept = new std::shared_ptr<const Repository>;
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
    if (k != nullptr && k->setting == setting && k->addition == addition && k->erase == erase) return *kept;
    auto repo = std::make_shared<Repository>();
    repo->setting = setting;
    if (!ReadRepository(ctx, repo.get(), why)) return nullptr;
    ListSensors(repo.get());
    *kept = repo;
    return repo;
}

// Whether a failed command means that the controller is gone, rather than
// that one sensor could not be read.
bool ConnectionLost(ipmi_ctx_t ctx) {
    switch (ipmi_ctx_errnum(ctx)) {
        case IPMI_ERR_SESSION_TIMEOUT: case IPMI_ERR_CONNECTION_TIMEOUT: case IPMI_ERR_MESSAGE_TIMEOUT:
        case IPMI_ERR_DRIVER_TIMEOUT: case IPMI_ERR_DEVICE_NOT_OPEN: case IPMI_ERR_SYSTEM_ERROR:
            return true;
    }
    return false;
}

std::string LoginFailure(ipmi_ctx_t ctx) {
    const std::string what = ipmi_ctx_errormsg(ctx);
    switch (ipmi_ctx_errnum(ctx)) {
        case IPMI_ERR_USERNAME_INVALID: case IPMI_ERR_PASSWORD_INVALID: case IPMI_ERR_K_G_INVALID:
        case IPMI_ERR_PRIVILEGE_LEVEL_INSUFFICIENT: case IPMI_ERR_PRIVILEGE_LEVEL_CANNOT_BE_OBTAINED:
        case IPMI_ERR_AUTHENTICATION_TYPE_UNAVAILABLE: case IPMI_ERR_CIPHER_SUITE_ID_UNAVAILABLE:
        case IPMI_ERR_PASSWORD_VERIFICATION_TIMEOUT:
            return "login refused: the controller refused the password or authentication (" + what + ")";
    }
    return "session open failed: " + what;
}

class FreeIpmiSession : public BmcSession {
  public:
    ~FreeIpmiSession() override { Disconnect(); }

    Target *target() { return &target_; }

    // Logs in and takes the repository as it is now.
    bool Connect() {
        Disconnect();
        if ((ctx_ = ipmi_ctx_create()) == nullptr) return Fail("out of memory");
        const Target &t = target_;
        int rc = t.inband ? ipmi_ctx_open_inband(ctx_, IPMI_DEVICE_OPENIPMI, 0, 0, 0, kInbandDevice, 0, IPMI_FLAGS_DEFAULT)
                          // ipmi_sim and some controllers hash the session keys with the privilege
                          // level of the open-session request, not the one of RAKP 1: FreeIPMI's
                          // workaround asks for the same level in both, which suits every controller.
                          : ipmi_ctx_open_outofband_2_0(
                                ctx_, t.host.c_str(), t.user.c_str(), t.password.c_str(), nullptr, 0,
                                IPMI_PRIVILEGE_LEVEL_USER, kCipherSuite, kTimeoutMs, kRetransmitMs,
                                IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE, IPMI_FLAGS_DEFAULT);
        if (rc < 0) {
            std::string why = LoginFailure(ctx_);
            ipmi_ctx_destroy(ctx_);
            ctx_ = nullptr;
            return Fail(why);
        }
        std::string why;
        std::shared_ptr<const Repository> repo = CurrentRepository(ctx_, t.setting, &why);
        if (repo == nullptr || (reader_ = ipmi_sensor_read_ctx_create(ctx_)) == nullptr)
            return Fail(why.empty() ? "out of memory" : why);
        repo_ = std::move(repo);
        last_ms_ = WallMs();
        TkHostPlatformReportOnce("ipmi", nullptr);
        return true;
    }

    bool Count(uint32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // An empty repository is asked again: a controller that is still
        // starting up fills it later.
        if (repo_->sensors.empty() && !Connect()) return false;
        *count = static_cast<uint32_t>(repo_->sensors.size());
        return true;
    }

    // One Get Sensor Reading a threshold sensor, in repository order, for
    // as long as the deadline allows: once it has passed, no further sensor
    // is read and the records written so far are the answer.  The command
    // under way when it passes is waited for, FreeIPMI's time-out at most.
    bool Readings(uint8_t *buf, uint32_t *count, int64_t deadline_ms) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t idle = WallMs() - last_ms_;
        if ((ctx_ == nullptr || idle < 0 || idle >= int64_t{kTimeoutMs / 2}) && !Connect()) return false;
        const Repository &repo = *repo_;
        uint32_t n = 0;
        for (const Sensor &s : repo.sensors) {
            if (s.type == IPMI_SDR_FORMAT_EVENT_ONLY_RECORD) continue;
            if (n == *count || MonotonicMs() >= deadline_ms) break;
            double value = 0;
            bool skip = true;
            if (s.threshold) {
                const std::vector<uint8_t> &rec = repo.records[s.record];
                uint8_t raw = 0;
                uint16_t events = 0;
                double *reading = nullptr;
                int rc = ipmi_sensor_read(reader_, rec.data(), static_cast<unsigned>(rec.size()), s.share_offset,
                                          &raw, &reading, &events);
                if (rc == 1 && reading != nullptr) value = *reading, skip = false;
                free(reading);
                if (rc < 0 && ConnectionLost(ctx_))
                    return Fail("reading sensor " + std::to_string(s.num) + ": " + ipmi_ctx_errormsg(ctx_));
            }
            uint8_t *r = buf + static_cast<size_t>(n++) * IPMI_SENSOR_READING_SIZE;
            memset(r, 0, IPMI_SENSOR_READING_SIZE);
            r[IPMI_READING_NUM_OFFSET] = s.num;
            memcpy(r + IPMI_READING_NAME_OFFSET, s.name.data(), std::min<size_t>(s.name.size(), IPMI_READING_NAME_MAX - 1));
            tk::host::PutDoubleLE(r + IPMI_READING_VALUE_OFFSET, value);
            r[IPMI_READING_SKIP_OFFSET] = skip ? 1 : 0;
        }
        last_ms_ = WallMs();
        *count = n;
        return true;
    }

    // The records begin with the SDR's own header and key, as the
    // controller holds them; a shared sensor gets its own number.
    bool Info(uint8_t *buf, uint32_t *count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t n = 0;
        for (const Sensor &s : repo_->sensors) {
            if (n == *count) break;
            const std::vector<uint8_t> &rec = repo_->records[s.record];
            uint8_t *r = buf + static_cast<size_t>(n++) * IPMI_SENSOR_INFO_SIZE;
            memset(r, 0, IPMI_SENSOR_INFO_SIZE);
            memcpy(r, rec.data(), std::min<size_t>(rec.size(), IPMI_SENSOR_INFO_SIZE));
            r[IPMI_INFO_SENSOR_NUM_OFFSET] = s.num;
        }
        *count = n;
        return true;
    }

  private:
    bool Fail(const std::string &why) {
        Report(target_.setting + ": " + why);
        Disconnect();
        return false;
    }

    void Disconnect() {
        if (reader_ != nullptr) ipmi_sensor_read_ctx_destroy(reader_);
        if (ctx_ != nullptr) {
            ipmi_ctx_close(ctx_);
            ipmi_ctx_destroy(ctx_);
        }
        reader_ = nullptr;
        ctx_ = nullptr;
    }

    std::mutex mutex_;
    Target target_;
    ipmi_ctx_t ctx_ = nullptr;
    ipmi_sensor_read_ctx_t reader_ = nullptr;
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
