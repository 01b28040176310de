// The sensor data list and the sampling thread that keeps it fresh.
//
// The list is built once from the IPMI inventory: every sensor with a
// reading record, a sensor-info record of a type other than 0 and 3
// (event-only) and a clear skip flag, in the library's reading order,
// followed by the CPU, memory and IO utilisation entries.  Once a minute
// the sampling thread folds the IPMI readings and the utilisation bytes
// into each entry's latest, greatest, least and average values; the store
// thread records them every five minutes and clears Valid and DataReady,
// which starts the next period.
#include "SensorData.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "StoreData.h"
#include "Trendkeep.h"
#include "platform/libipmi.h"
#include "platform/zelvar_redis.h"
#include "platform/bmc_services.h"

LocalDataHdr g_localdatahdr;
uint32_t g_sensorcount;
// Ready before any thread can take it, and never initialised again.
pthread_mutex_t g_sensordatamutex = PTHREAD_MUTEX_INITIALIZER;

const DevIdClass DevIdClassTable[DEVID_CLASS_ROWS] = {
    {0x3000, 0x3256, 0},
    {0x5000, 0x50C1, 1},
    {0x7000, 0x703F, 1},
    {0x8000, 0x8029, 2},
};

namespace {

const int kIpmiTimeout = 30;
const unsigned kSensorCountRetryMs = 10 * 1000;

// Fields of the library's records, read at their byte offsets.
uint8_t ReadingNum(const uint8_t *rec) { return rec[IPMI_READING_NUM_OFFSET]; }
uint8_t ReadingSkip(const uint8_t *rec) { return rec[IPMI_READING_SKIP_OFFSET]; }
double ReadingValue(const uint8_t *rec) {
    double v;
    memcpy(&v, rec + IPMI_READING_VALUE_OFFSET, sizeof v);
    return v;
}
// Copies the reading's name, cut at 19 characters whether or not the
// library terminated it.
void ReadingName(const uint8_t *rec, char out[SENSOR_NAME_SIZE]) {
    const char *name = reinterpret_cast<const char *>(rec + IPMI_READING_NAME_OFFSET);
    size_t n = strnlen(name, SENSOR_NAME_SIZE - 1);
    memcpy(out, name, n);
    out[n] = '\0';
}

// The reading's sensor-info record when the reading is one the list uses:
// it has a record of a type other than 0 and 3, and its skip flag is clear.
const uint8_t *UsableInfo(const uint8_t *reading, const uint8_t *info, uint32_t info_count) {
    const uint8_t *rec = FindSensorInfo(info, ReadingNum(reading), info_count);
    if (rec == nullptr) return nullptr;
    uint8_t type = rec[IPMI_INFO_RECORD_TYPE_OFFSET];
    if (type == 0 || type == 3) return nullptr;
    if (ReadingSkip(reading) != 0) return nullptr;
    return rec;
}

int OpenSession(IPMI20_SESSION_T *session) {
    uint8_t privilege = 4;
    memset(session, 0, sizeof *session);
    return LIBIPMI_Create_IPMI_Local_Session(session, "", "", &privilege, 0, 2, kIpmiTimeout);
}

// Folds the IPMI reading v of sample time t into entry e.
void ApplyIpmiReading(LocalSensorData *e, double v, uint32_t t) {
    e->Reading = v;
    if (e->Valid == 0) {
        e->MaxReading = v;
        e->MinReading = v;
        e->MaxTime = t;
        e->MinTime = t;
        e->AvgReading = v;
    }
    if (e->MaxReading < v) {
        e->MaxReading = v;
        e->MaxTime = t;
    }
    if (e->MinReading > v && v != 0.0) {
        e->MinReading = v;
        e->MinTime = t;
    }
    // A zero reading restarts the average.
    if (v == 0.0 || e->Valid != 1) {
        e->AvgReading = v;
    } else {
        e->AvgReading = (e->AvgReading + v) * 0.5;
    }
    e->Valid = 1;
}

// Folds the utilisation byte b of sample time t into entry e.  Unlike an
// IPMI reading, a zero takes part in the minimum and the average.
void ApplyUtilisation(LocalSensorData *e, uint8_t b, uint32_t t) {
    double v = b;
    e->Reading = v;
    if (e->Valid == 0) {
        e->MaxReading = v;
        e->MinReading = v;
        e->AvgReading = v;
        e->MaxTime = t;
        e->MinTime = t;
    } else {
        if (e->MaxReading < v) {
            e->MaxReading = v;
            e->MaxTime = t;
        }
        if (e->MinReading > v) {
            e->MinReading = v;
            e->MinTime = t;
        }
        e->AvgReading = (e->AvgReading + v) * 0.5;
    }
    e->Valid = 1;
    e->InUse = 1;
}

// Fetches one utilisation figure and applies it to the entry at index idx
// (none when idx is -1).  A failed fetch is logged with the caller's line
// and leaves the entry alone.
void RefreshUtilisation(LocalDataHdr *hdr, int idx, int item, uint32_t t, int line) {
    uint8_t value = 0;
    if (zelvar_redis_info_basic_interface(1, 9, 0, 0, item, &value, 1, 1) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get Cpu cups failed\n", __FILE_NAME__, line,
                             "UpdateCUPSToLocalStruct", line);
        return;
    }
    if (idx < 0) return;
    ApplyUtilisation(&hdr->SensorData[idx], value, t);
}

void AppendUtilisationEntry(LocalDataHdr *hdr, const char *name, uint16_t num) {
    LocalSensorData *e = &hdr->SensorData[hdr->SensorCount];
    snprintf(e->SensorName, sizeof e->SensorName, "%s", name);
    e->SensorNum = num;
    e->SensorClass = UTIL_SENSOR_CLASS;
    e->InUse = 1;
    hdr->SensorCount++;
}

}  // namespace

const uint8_t *FindSensorInfo(const uint8_t *info, uint8_t num, uint32_t count) {
    if (info == nullptr) return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *rec = info + (size_t)i * IPMI_SENSOR_INFO_SIZE;
        if (rec[IPMI_INFO_SENSOR_NUM_OFFSET] == num) return rec;
    }
    return nullptr;
}

uint8_t DevIdToClass(uint16_t devid) {
    uint8_t cls = 0;
    for (const DevIdClass &row : DevIdClassTable) {
        if (devid >= row.Low && devid < row.High) cls = row.Class;
    }
    return cls;
}

int InitSensorDataList(LocalDataHdr *hdr) {
    pthread_mutex_lock(&g_sensordatamutex);
    memset(hdr, 0, sizeof *hdr);
    pthread_mutex_unlock(&g_sensordatamutex);

    IPMI20_SESSION_T session;
    uint8_t *info = nullptr;
    uint8_t *readings = nullptr;
    LocalSensorData *entries = nullptr;
    bool locked = false;
    uint32_t n = 0, m = 0;

    if (OpenSession(&session) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Create local ipmi session failed!\n", TK_AT);
        return -1;
    }
    // The count is asked until the controller reports sensors, with a pause
    // after every attempt.
    while (g_sensorcount == 0) {
        if (LIBIPMI_HL_GetSensorCount(&session, &g_sensorcount, kIpmiTimeout) != 0) {
            IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get sensor count failed\n", TK_AT);
        }
        g_sleepms(kSensorCountRetryMs);
    }
    info = static_cast<uint8_t *>(calloc(g_sensorcount, IPMI_SENSOR_INFO_SIZE));
    if (info == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Malloc Sensors info space failed\n", TK_AT);
        goto fail;
    }
    readings = static_cast<uint8_t *>(calloc(g_sensorcount, IPMI_SENSOR_READING_SIZE));
    if (readings == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Malloc Sensors data space failed\n", TK_AT);
        goto fail;
    }
    n = g_sensorcount;
    if (LIBIPMI_HL_GetAllSensorReadings(&session, readings, &n, kIpmiTimeout) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get all sensor detal failed\n", TK_AT);
        goto fail;
    }
    if (n > g_sensorcount) n = g_sensorcount;  // never trust a count beyond the buffer
    m = g_sensorcount;
    if (LIBIPMI_HL_AMIGetSensorInfo(&session, info, &m, kIpmiTimeout) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get all sensor detal failed\n", TK_AT);
        goto fail;
    }
    if (m > g_sensorcount) m = g_sensorcount;
    // One array with room for the utilisation entries from the start.
    entries = static_cast<LocalSensorData *>(calloc((size_t)g_sensorcount + UTIL_ENTRY_COUNT, sizeof *entries));
    if (entries == nullptr) goto fail;

    pthread_mutex_lock(&g_sensordatamutex);
    locked = true;
    hdr->SensorData = entries;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t *rec = readings + (size_t)i * IPMI_SENSOR_READING_SIZE;
        if (UsableInfo(rec, info, m) == nullptr) continue;
        uint8_t num = ReadingNum(rec);
        uint8_t devrec[ZELVAR_DEVREC_SIZE] = {};
        if (zelvar_redis_info_basic_interface(1, 0, num, 0, 0, devrec, ZELVAR_DEVREC_SIZE, 1) != 0) {
            printf("[%s][%d]Get sensor devid from redis failed,sensor num:%d\n", __func__, __LINE__, num);
            fflush(stdout);
        }
        uint16_t devid = (uint16_t)(devrec[ZELVAR_DEVREC_DEVID_OFFSET] | devrec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);
        LocalSensorData *e = &entries[hdr->SensorCount];
        e->SensorClass = DevIdToClass(devid);
        e->SensorNum = num;
        ReadingName(rec, e->SensorName);
        e->Reading = 0.0;
        e->InUse = 1;
        hdr->SensorCount++;
    }
    AppendUtilisationEntry(hdr, CPU_UTIL_NAME, CPU_UTIL_NUM);
    AppendUtilisationEntry(hdr, MEM_UTIL_NAME, MEM_UTIL_NUM);
    AppendUtilisationEntry(hdr, IO_UTIL_NAME, IO_UTIL_NUM);
    hdr->ListReady = 1;
    pthread_mutex_unlock(&g_sensordatamutex);
    free(readings);
    free(info);
    LIBIPMI_CloseSession(&session);
    return 0;

fail:
    if (!locked) pthread_mutex_lock(&g_sensordatamutex);
    free(entries);
    hdr->SensorData = nullptr;
    hdr->SensorCount = 0;
    pthread_mutex_unlock(&g_sensordatamutex);
    free(readings);
    free(info);
    LIBIPMI_CloseSession(&session);
    return -1;
}

int UpdateSensorReadingToLocalStruct(LocalDataHdr *hdr, uint32_t t) {
    if (g_sensorcount == 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Sensors is 0,return\n", TK_AT);
        return 0;
    }
    IPMI20_SESSION_T session;
    uint8_t *readings = nullptr;
    uint8_t *info = nullptr;
    uint32_t n = 0, m = 0;
    int rc = -1;

    if (OpenSession(&session) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Create local ipmi session failed!\n", TK_AT);
        goto done;
    }
    readings = static_cast<uint8_t *>(calloc(g_sensorcount, IPMI_SENSOR_READING_SIZE));
    if (readings == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Malloc Sensors space failed\n", TK_AT);
        goto done;
    }
    n = g_sensorcount;
    if (LIBIPMI_HL_GetAllSensorReadings(&session, readings, &n, kIpmiTimeout) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get Sensor info failed\n", TK_AT);
        goto done;
    }
    if (n > g_sensorcount) n = g_sensorcount;
    info = static_cast<uint8_t *>(calloc(g_sensorcount, IPMI_SENSOR_INFO_SIZE));
    if (info == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Malloc Sensors space failed\n", TK_AT);
        goto done;
    }
    m = g_sensorcount;
    if (LIBIPMI_HL_AMIGetSensorInfo(&session, info, &m, kIpmiTimeout) != 0) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]Get Sensor info failed\n", TK_AT);
        goto done;
    }
    if (m > g_sensorcount) m = g_sensorcount;

    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t *rec = readings + (size_t)i * IPMI_SENSOR_READING_SIZE;
        if (UsableInfo(rec, info, m) == nullptr) continue;
        uint8_t num = ReadingNum(rec);
        for (uint32_t k = 0; k < hdr->SensorCount; ++k) {
            if (hdr->SensorData[k].SensorNum == num) {
                ApplyIpmiReading(&hdr->SensorData[k], ReadingValue(rec), t);
                break;
            }
        }
    }
    hdr->UpdateTime = t;
    hdr->DataReady = 1;
    rc = 0;

done:
    // The session is closed on every path, also when opening it failed.
    LIBIPMI_CloseSession(&session);
    free(readings);
    free(info);
    return rc;
}

void UpdateCUPSToLocalStruct(LocalDataHdr *hdr, uint32_t t) {
    int cpu = -1, mem = -1, io = -1;
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        const char *name = hdr->SensorData[i].SensorName;
        if (strncmp(name, CPU_UTIL_NAME, 15) == 0) {
            cpu = (int)i;
        } else if (strncmp(name, MEM_UTIL_NAME, 15) == 0) {
            mem = (int)i;
        } else if (strncmp(name, IO_UTIL_NAME, 14) == 0) {
            io = (int)i;
        }
    }
    RefreshUtilisation(hdr, cpu, ZELVAR_UTIL_CPU, t, __LINE__);
    RefreshUtilisation(hdr, mem, ZELVAR_UTIL_MEM, t, __LINE__);
    RefreshUtilisation(hdr, io, ZELVAR_UTIL_IO, t, __LINE__);
    hdr->UpdateTime = t;
    hdr->DataReady = 1;
}

int SampleIfNewMinute(LocalDataHdr *hdr, time_t now, uint32_t *last_sample) {
    // Sample times are 32-bit; a clock outside them would stamp readings
    // with a wrapped time (near 2106 for a clock just before the epoch).
    // Held as int64_t, where the upper bound is a real test whatever time_t is.
    int64_t wide = now;
    if (wide <= 0 || wide > INT32_MAX) return 0;
    uint32_t t = (uint32_t)now / 60 * 60;
    int refreshed = 0;
    if (t != *last_sample) {
        pthread_mutex_lock(&g_sensordatamutex);
        UpdateSensorReadingToLocalStruct(hdr, t);
        UpdateCUPSToLocalStruct(hdr, t);
        pthread_mutex_unlock(&g_sensordatamutex);
        refreshed = 1;
    }
    *last_sample = t;
    return refreshed;
}

void *SensorDataTask(void *) {
    if (InitSensorDataList(&g_localdatahdr) == -1) {
        IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL,
                                   "[%s][%d]Init sensor data list failed,program will exit and retry!", __func__,
                                   __LINE__);
        StopProcess(1, TK_STOP_CLEANUP);
    }
    uint32_t last_sample = 0;
    for (;;) {
        SampleIfNewMinute(&g_localdatahdr, g_clock(nullptr), &last_sample);
        g_sleepms(1000);
    }
}
