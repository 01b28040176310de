// Host IPMI library: sessions and sensor readings from the sensor file (or
// the built-in table) instead of the BMC's IPMI controller, or from a real
// controller when TRENDKEEP_IPMI names one (bmc_session.h).
//
// Opening a session reads the sensor file afresh and keeps that table for
// the session's life, so that the count, the readings and the sensor-info
// records of one session always agree.  The caller's session storage holds
// a tag and the session's id; the tables (or the controller sessions) live
// in a mutex-protected map.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "bmc_session.h"
#include "libipmi.h"
#include "sensor_source.h"

namespace {

using tk::host::FailCall;
using tk::host::SensorTable;

constexpr int kFailed = -1;
constexpr uint8_t kTag[8] = {'T', 'K', 'I', 'P', 'M', 'I', 'S', '1'};
constexpr size_t kIdOffset = sizeof kTag;
// A caller that never closes its sessions costs at most this many tables.
constexpr size_t kMaxOpenSessions = 256;

// One of the two is set.
struct OpenSession {
    std::shared_ptr<const SensorTable> table;
    std::shared_ptr<tk::host::BmcSession> bmc;
};

struct Sessions {
    std::mutex mutex;
    uint64_t next_id = 1;
    std::map<uint64_t, OpenSession> open;
};

Sessions &TheSessions() {
    static Sessions *sessions = new Sessions;  // never destroyed: calls may race exit
    return *sessions;
}

bool SessionId(const IPMI20_SESSION_T *session, uint64_t *id) {
    if (session == nullptr || memcmp(session->Opaque, kTag, sizeof kTag) != 0) return false;
    memcpy(id, session->Opaque + kIdOffset, sizeof *id);
    return true;
}

OpenSession FindSession(const IPMI20_SESSION_T *session) {
    uint64_t id = 0;
    if (!SessionId(session, &id)) return {};
    Sessions &s = TheSessions();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.open.find(id);
    return it == s.open.end() ? OpenSession{} : it->second;
}

}  // namespace

int LIBIPMI_Create_IPMI_Local_Session(IPMI20_SESSION_T *session, const char * /*user*/, const char * /*password*/,
                                      uint8_t * /*priv*/, int /*flags*/, int /*auth*/, int /*timeout*/) {
    if (session == nullptr) return kFailed;
    memset(session->Opaque, 0, sizeof session->Opaque);
    OpenSession opened;
    const char *bmc = getenv("TRENDKEEP_IPMI");
    if (bmc != nullptr && bmc[0] != '\0') {
        if ((opened.bmc = tk::host::OpenBmcSession(bmc)) == nullptr) return kFailed;
    } else {
        opened.table = tk::host::LoadSensorTable();
        if (!opened.table || opened.table->Fails(FailCall::Session)) return kFailed;
    }
    Sessions &s = TheSessions();
    uint64_t id;
    OpenSession oldest;  // closed, when it is a controller's, once the lock is released
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.open.size() >= kMaxOpenSessions) {
            oldest = std::move(s.open.begin()->second);
            s.open.erase(s.open.begin());
        }
        id = s.next_id++;
        s.open.emplace(id, std::move(opened));
    }
    memcpy(session->Opaque, kTag, sizeof kTag);
    memcpy(session->Opaque + kIdOffset, &id, sizeof id);
    return 0;
}

int LIBIPMI_HL_GetSensorCount(IPMI20_SESSION_T *session, uint32_t *count, int /*timeout*/) {
    OpenSession open = FindSession(session);
    if (count == nullptr) return kFailed;
    if (open.bmc) return open.bmc->Count(count) ? 0 : kFailed;
    auto table = open.table;
    if (!table || table->Fails(FailCall::Count)) return kFailed;
    *count = table->ReportedCount();
    return 0;
}

// The time-out bounds a controller's readings (bmc_session.h); the sensor
// file answers at once.
int LIBIPMI_HL_GetAllSensorReadings(IPMI20_SESSION_T *session, uint8_t *buf, uint32_t *count, int timeout) {
    const int64_t deadline_ms = tk::host::MonotonicMs() + int64_t{timeout} * 1000;
    OpenSession open = FindSession(session);
    if (buf == nullptr || count == nullptr) return kFailed;
    if (open.bmc) return open.bmc->Readings(buf, count, deadline_ms) ? 0 : kFailed;
    auto table = open.table;
    if (!table || table->Fails(FailCall::Readings)) return kFailed;
    const time_t now = time(nullptr);
    const size_t n = std::min<size_t>(*count, table->sensors.size());
    for (size_t i = 0; i < n; ++i) {
        const tk::host::HostSensor &sensor = table->sensors[i];
        uint8_t *rec = buf + i * IPMI_SENSOR_READING_SIZE;
        tk::host::PutReadingRecord(rec, sensor.num, sensor.name, tk::host::ReadingAt(sensor, now), sensor.skip);
    }
    *count = static_cast<uint32_t>(n);
    return 0;
}

int LIBIPMI_HL_AMIGetSensorInfo(IPMI20_SESSION_T *session, uint8_t *buf, uint32_t *count, int /*timeout*/) {
    OpenSession open = FindSession(session);
    if (buf == nullptr || count == nullptr) return kFailed;
    if (open.bmc) return open.bmc->Info(buf, count) ? 0 : kFailed;
    auto table = open.table;
    if (!table || table->Fails(FailCall::Info)) return kFailed;
    const uint32_t capacity = *count;
    uint32_t n = 0;
    for (const tk::host::HostSensor &sensor : table->sensors) {
        if (!sensor.info) continue;
        if (n == capacity) break;
        uint8_t *rec = buf + static_cast<size_t>(n) * IPMI_SENSOR_INFO_SIZE;
        memset(rec, 0, IPMI_SENSOR_INFO_SIZE);
        rec[IPMI_INFO_RECORD_TYPE_OFFSET] = sensor.type;
        rec[IPMI_INFO_SENSOR_NUM_OFFSET] = sensor.num;
        ++n;
    }
    *count = n;
    return 0;
}

int LIBIPMI_CloseSession(IPMI20_SESSION_T *session) {
    uint64_t id = 0;
    if (!SessionId(session, &id)) return kFailed;
    memset(session->Opaque, 0, sizeof session->Opaque);
    Sessions &s = TheSessions();
    OpenSession closed;  // a controller's session ends (it logs out) once the lock is released
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.open.find(id);
    if (it == s.open.end()) return kFailed;
    closed = std::move(it->second);
    s.open.erase(it);
    return 0;
}
