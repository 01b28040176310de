// The platform IPMI library, libipmi.so.13: a local session to the BMC's
// IPMI controller and the high-level calls that read every sensor at once.
// Every call but LIBIPMI_CloseSession returns 0 on success and any other
// value on failure; the last argument is a time-out in seconds.
#ifndef TRENDKEEP_PLATFORM_LIBIPMI_H
#define TRENDKEEP_PLATFORM_LIBIPMI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Session storage, owned by the caller and opaque to it.
typedef struct IPMI20_SESSION_T {
    uint8_t Opaque[256];
} IPMI20_SESSION_T;

// Record sizes and the offsets of the fields the daemon reads.
#define IPMI_SENSOR_READING_SIZE 112    // one reading record
#define IPMI_READING_NUM_OFFSET 1       // uint8 sensor number
#define IPMI_READING_NAME_OFFSET 2      // NUL-terminated name
#define IPMI_READING_NAME_MAX 30        // room up to the reading field
#define IPMI_READING_VALUE_OFFSET 32    // double, little-endian
#define IPMI_READING_SKIP_OFFSET 44     // uint8, non-zero: reading not used
#define IPMI_SENSOR_INFO_SIZE 54        // one sensor-info record
#define IPMI_INFO_RECORD_TYPE_OFFSET 3  // uint8 SDR record type
#define IPMI_INFO_SENSOR_NUM_OFFSET 7   // uint8 sensor number

// Opens a local session.  The daemon passes "", "", a byte holding 4, 0, 2
// and the seconds left of its refresh (30 when it has no deadline).
int LIBIPMI_Create_IPMI_Local_Session(IPMI20_SESSION_T *session, const char *user, const char *password, uint8_t *priv,
                                      int flags, int auth, int timeout);
// Writes the number of sensors into *count (which may be 0).
int LIBIPMI_HL_GetSensorCount(IPMI20_SESSION_T *session, uint32_t *count, int timeout);
// Fills buf with reading records; *count holds the capacity in records on
// entry and the number written on return, never above the capacity.
int LIBIPMI_HL_GetAllSensorReadings(IPMI20_SESSION_T *session, uint8_t *buf, uint32_t *count, int timeout);
// Fills buf with sensor-info records; *count as for the readings.
int LIBIPMI_HL_AMIGetSensorInfo(IPMI20_SESSION_T *session, uint8_t *buf, uint32_t *count, int timeout);
// Closes the session; the result means nothing to the caller.
int LIBIPMI_CloseSession(IPMI20_SESSION_T *session);

#ifdef __cplusplus
}
#endif

#endif
