// A session of the host IPMI library with a real IPMI controller, chosen by
// TRENDKEEP_IPMI: "lan:HOST[:PORT]" (IPMI 2.0 over RMCP+, the user name and
// password from the file named by TRENDKEEP_IPMI_AUTH) or "inband" (the
// local controller through /dev/ipmi0).  The records it writes are those of
// libipmi.h, taken from the controller's SDR repository and its sensors.
//
// Every failure is logged as "P ipmi <why>", once for as long as the same
// failure lasts.  A session's calls are serialised by the session itself.
#ifndef TRENDKEEP_HOSTPLATFORM_BMC_SESSION_H
#define TRENDKEEP_HOSTPLATFORM_BMC_SESSION_H

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>

#include "libipmi.h"

namespace tk::host {

class BmcSession {
public:
    virtual ~BmcSession() = default;
    // The number of sensor-info records, which is never below the number
    // of reading records the session returns.
    virtual bool Count(uint32_t *count) = 0;
    // Fill buf with at most *count records and set *count to the number
    // written, as LIBIPMI_HL_GetAllSensorReadings / _AMIGetSensorInfo.
    // The readings stop at deadline_ms (MonotonicMs): what was read by then
    // is returned, and the call succeeds.
    virtual bool Readings(uint8_t *buf, uint32_t *count, int64_t deadline_ms) = 0;
    virtual bool Info(uint8_t *buf, uint32_t *count) = 0;
};

// Milliseconds on CLOCK_MONOTONIC, the clock of the calls' time-outs: one
// that the wall clock's steps (a time server, an operator) never stretch or
// cut short.
inline int64_t MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes one reading record at rec, as both sources of readings give them:
// the sensor's number, its name (cut so that its NUL ends before the
// reading), the reading as a little-endian double whatever the machine's
// own byte order, the skip flag, and zero everywhere else.
inline void PutReadingRecord(uint8_t *rec, unsigned num, const std::string &name, double value, uint8_t skip) {
    memset(rec, 0, IPMI_SENSOR_READING_SIZE);
    rec[IPMI_READING_NUM_OFFSET] = static_cast<uint8_t>(num);
    memcpy(rec + IPMI_READING_NAME_OFFSET, name.data(), std::min<size_t>(name.size(), IPMI_READING_NAME_MAX - 1));
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) rec[IPMI_READING_VALUE_OFFSET + i] = static_cast<uint8_t>(bits >> (8 * i));
    rec[IPMI_READING_SKIP_OFFSET] = skip;
}

// Logs in to the controller named by setting (the value of TRENDKEEP_IPMI)
// and reads its SDR repository; null on failure, logged.
std::unique_ptr<BmcSession> OpenBmcSession(const char *setting);

}  // namespace tk::host

#endif
