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

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    // Sensors of every other kind (percentages, airflow, flow rates and the
    // like): a class of their own rather than the temperature class.
    {0x9000, 0x9100, 4},
};

namespace {

const int kIpmiTimeout = 30;
const unsigned kSensorCountRetryMs = 10 * 1000;
// The build reads every record once, over a link that may be slow: it may
// take this long, so that the list holds every sensor.
const int64_t kBuildReadMs = 10 * 60 * 1000;
// A refresh gives up what it has not read by then, well inside the minute
// it samples: a slow controller must not have refreshes run back to back.
// (Its log line gives the figure in seconds.)
const int64_t kRefreshDeadlineMs = 40 * 1000;

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

// The reading and sensor-info records of one use of the IPMI library, in
// buffers of Capacity records each (g_sensorcount when allocated), and how
// many of each it returned (never more than that).
struct IpmiRecords {
    uint8_t *Readings;
    uint32_t ReadingCount;
    uint8_t *Info;
    uint32_t InfoCount;
    uint32_t Capacity;
};

// The sampling thread's own buffers: the build hands its records over, and
// every refresh reads into them without the list mutex.  The sensor-info
// records of the last fetch stay, for a refresh whose deadline passed
// before it could fetch them again.
IpmiRecords g_refreshrecs;

// The two uses of the library.  Building the list asks for the sensor
// count and allocates both buffers before fetching anything; the refresh
// reads into the buffers the build handed over (allocating one that is
// missing just before its fetch), and closes the session even when it
// could not be opened.  Each logs in its own words, under
// its own name.
struct IpmiUse {
    const char *Func;
    bool BuildsList;
    const char *NoInfoSpace;
    const char *NoReadingSpace;
    const char *FetchFailed;
};
const IpmiUse kListBuild = {"InitSensorDataList", true, "Malloc Sensors info space failed",
                            "Malloc Sensors data space failed",
                            "Get all sensor detal failed"};  // frozen text: see Trendkeep.h
const IpmiUse kRefresh = {"UpdateSensorReadingToLocalStruct", false, "Malloc Sensors space failed",
                          "Malloc Sensors space failed", "Get Sensor info failed"};

// A failure report of func at line: "[file:line][func][line]text".
void LogFailure(const char *func, int line, const char *text) {
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "[%s:%d][%s][%d]%s\n", __FILE_NAME__, line, func, line, text);
}

void LogIpmiFailure(const IpmiUse &use, int line, const char *text) { LogFailure(use.Func, line, text); }

// Gives *buf a zero-filled buffer of g_sensorcount records of size bytes,
// unless it has one.  Returns false, logged with text, when it cannot.
bool AllocRecords(const IpmiUse &use, uint8_t **buf, size_t size, const char *text, int line) {
    if (*buf == nullptr) *buf = static_cast<uint8_t *>(calloc(g_sensorcount, size));
    if (*buf == nullptr) LogIpmiFailure(use, line, text);
    return *buf != nullptr;
}

void ReleaseIpmiRecords(IpmiRecords *recs) {
    free(recs->Readings);
    free(recs->Info);
    *recs = {};
}

// A controller may report any count: the list holds at most
// TK_MAX_SENSORS sensors, and the records beyond them are left out.
void BoundSensorCount(const IpmiUse &use) {
    if (g_sensorcount <= TK_MAX_SENSORS) return;
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL,
                         "[%s:%d][%s][%d]Sensor count %u beyond the %u the list holds, the rest left out\n",
                         __FILE_NAME__, __LINE__, use.Func, __LINE__, (unsigned)g_sensorcount,
                         (unsigned)TK_MAX_SENSORS);
    g_sensorcount = TK_MAX_SENSORS;
}

// The time-out of one IPMI call: what is left until the deadline, rounded
// up to whole seconds and never below one, so that a library that honours
// it returns at the deadline.  No deadline (0): the library's usual one.
int CallTimeout(int64_t deadline) {
    if (deadline == 0) return kIpmiTimeout;
    int64_t left = (deadline - g_monotonicms() + 999) / 1000;
    if (left < 1) return 1;
    return (int)left;
}

bool PastDeadline(int64_t deadline) { return deadline != 0 && g_monotonicms() >= deadline; }

// One use of the IPMI library: opens *session; when building the list,
// asks for the sensor count until the controller reports sensors, with a
// pause after every attempt; fetches every reading record and every
// sensor-info record into *recs.  The build starts from empty records; a
// refresh reads into the thread's own, and once its deadline (monotonic
// milliseconds, 0 for none) has passed after the readings, keeps the
// sensor-info records it has rather than fetch them again.  Returns 0 on
// success, with the session still open: the caller closes it once it has
// used the records.  Returns -1 on failure with the session closed: the
// build's records released, a refresh's kept for the next one.
int FetchIpmiRecords(const IpmiUse &use, IPMI20_SESSION_T *session, IpmiRecords *recs, int64_t deadline) {
    memset(session, 0, sizeof *session);
    uint8_t privilege = 4;
    if (LIBIPMI_Create_IPMI_Local_Session(session, "", "", &privilege, 0, 2, CallTimeout(deadline)) != 0) {
        LogIpmiFailure(use, __LINE__, "Create local ipmi session failed!");
        if (!use.BuildsList) LIBIPMI_CloseSession(session);
        return -1;
    }
    while (use.BuildsList && g_sensorcount == 0) {
        if (LIBIPMI_HL_GetSensorCount(session, &g_sensorcount, kIpmiTimeout) != 0) {
            LogIpmiFailure(use, __LINE__, "Get sensor count failed");
        }
        g_sleepms(kSensorCountRetryMs);
    }
    if (use.BuildsList) {
        BoundSensorCount(use);
        deadline = g_monotonicms() + kBuildReadMs;
    }
    // Buffers of another size (the count asked again by a new build) go.
    if (recs->Capacity != g_sensorcount) ReleaseIpmiRecords(recs);
    recs->Capacity = g_sensorcount;
    bool ok =
        !use.BuildsList || (AllocRecords(use, &recs->Info, IPMI_SENSOR_INFO_SIZE, use.NoInfoSpace, __LINE__) &&
                            AllocRecords(use, &recs->Readings, IPMI_SENSOR_READING_SIZE, use.NoReadingSpace, __LINE__));
    ok = ok && AllocRecords(use, &recs->Readings, IPMI_SENSOR_READING_SIZE, use.NoReadingSpace, __LINE__);
    recs->ReadingCount = g_sensorcount;
    if (ok) memset(recs->Readings, 0, (size_t)g_sensorcount * IPMI_SENSOR_READING_SIZE);
    if (ok &&
        LIBIPMI_HL_GetAllSensorReadings(session, recs->Readings, &recs->ReadingCount, CallTimeout(deadline)) != 0) {
        LogIpmiFailure(use, __LINE__, use.FetchFailed);
        ok = false;
    }
    // Past the deadline the sensor-info records of the last fetch stand in
    // (a refresh only ever follows a build, which fetched them).
    bool fetch_info = recs->Info == nullptr || !PastDeadline(deadline);
    ok = ok && AllocRecords(use, &recs->Info, IPMI_SENSOR_INFO_SIZE, use.NoInfoSpace, __LINE__);
    if (ok && fetch_info) {
        recs->InfoCount = g_sensorcount;
        memset(recs->Info, 0, (size_t)g_sensorcount * IPMI_SENSOR_INFO_SIZE);
        if (LIBIPMI_HL_AMIGetSensorInfo(session, recs->Info, &recs->InfoCount, CallTimeout(deadline)) != 0) {
            LogIpmiFailure(use, __LINE__, use.FetchFailed);
            recs->InfoCount = 0;
            ok = false;
        }
    }
    if (!ok) {
        recs->ReadingCount = 0;
        if (use.BuildsList) ReleaseIpmiRecords(recs);
        LIBIPMI_CloseSession(session);
        return -1;
    }
    // Never trust a count beyond the buffer.
    if (recs->ReadingCount > g_sensorcount) recs->ReadingCount = g_sensorcount;
    if (recs->InfoCount > g_sensorcount) recs->InfoCount = g_sensorcount;
    return 0;
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

// The utilisation figures of one refresh: each byte as fetched, and
// whether its fetch succeeded.
struct UtilisationFigures {
    uint8_t Value[UTIL_ENTRY_COUNT];
    bool Read[UTIL_ENTRY_COUNT];
};
const int kUtilItems[UTIL_ENTRY_COUNT] = {ZELVAR_UTIL_CPU, ZELVAR_UTIL_MEM, ZELVAR_UTIL_IO};

// Fetches the three utilisation figures.  A failed fetch is logged, each
// with a line of its own, and leaves its entry alone when applied.
void FetchUtilisation(UtilisationFigures *figures) {
    for (int k = 0; k < UTIL_ENTRY_COUNT; ++k) {
        figures->Value[k] = 0;
        figures->Read[k] = zelvar_redis_info_basic_interface(1, 9, 0, 0, kUtilItems[k], &figures->Value[k], 1, 1) == 0;
    }
    // One line each, as the only thing that tells the three reports apart:
    // the text is the same for all three (frozen text: see Trendkeep.h).
    const char *func = "UpdateCUPSToLocalStruct";
    if (!figures->Read[0]) LogFailure(func, __LINE__, "Get Cpu cups failed");
    if (!figures->Read[1]) LogFailure(func, __LINE__, "Get Cpu cups failed");
    if (!figures->Read[2]) LogFailure(func, __LINE__, "Get Cpu cups failed");
}

// Folds the fetched figures into the utilisation entries of the list (found
// by name) for sample time t and marks the list refreshed.  The caller
// holds g_sensordatamutex.
void ApplyUtilisationFigures(LocalDataHdr *hdr, const UtilisationFigures &figures, uint32_t t) {
    int idx[UTIL_ENTRY_COUNT] = {-1, -1, -1};
    for (uint32_t i = 0; i < hdr->SensorCount; ++i) {
        const char *name = hdr->SensorData[i].SensorName;
        if (strncmp(name, CPU_UTIL_NAME, 15) == 0) {
            idx[0] = (int)i;
        } else if (strncmp(name, MEM_UTIL_NAME, 15) == 0) {
            idx[1] = (int)i;
        } else if (strncmp(name, IO_UTIL_NAME, 14) == 0) {
            idx[2] = (int)i;
        }
    }
    for (int k = 0; k < UTIL_ENTRY_COUNT; ++k) {
        if (figures.Read[k] && idx[k] >= 0) ApplyUtilisation(&hdr->SensorData[idx[k]], figures.Value[k], t);
    }
    hdr->UpdateTime = t;
    hdr->DataReady = 1;
}

// Reads every IPMI reading into the thread's own records, without the list
// mutex.  Returns 0 on success, 1 when there are no sensors to read, -1 on
// failure (each logged).
int FetchSensorReadings(int64_t deadline) {
    if (g_sensorcount == 0) {
        LogFailure(kRefresh.Func, __LINE__, "Sensors is 0,return");
        return 1;
    }
    IPMI20_SESSION_T session;
    if (FetchIpmiRecords(kRefresh, &session, &g_refreshrecs, deadline) != 0) return -1;
    LIBIPMI_CloseSession(&session);
    return 0;
}

// The entry a reading record belongs to: the first with the reading's
// number and name.  A number alone is not enough: after the controller's
// repository changed, a number may stand for another sensor, and its
// reading must not land in the entry of the one it stood for before.
LocalSensorData *EntryOfReading(LocalDataHdr *hdr, const uint8_t *rec) {
    char name[SENSOR_NAME_SIZE];
    ReadingName(rec, name);
    uint8_t num = ReadingNum(rec);
    for (uint32_t k = 0; k < hdr->SensorCount; ++k) {
        LocalSensorData *e = &hdr->SensorData[k];
        if (e->SensorNum == num && strncmp(e->SensorName, name, SENSOR_NAME_SIZE) == 0) return e;
    }
    return nullptr;
}

// Folds the readings of the thread's records into the IPMI entries for
// sample time t and marks the list refreshed.  A reading that is not a
// finite number (a sensor that could not be read, a formula's logarithm of
// zero) is no reading: its entry stays as it was, and when nothing was
// read since the last recording, that recording leaves its slot empty.
// The caller holds g_sensordatamutex.
void ApplySensorReadings(LocalDataHdr *hdr, uint32_t t) {
    const IpmiRecords &recs = g_refreshrecs;
    for (uint32_t i = 0; i < recs.ReadingCount; ++i) {
        const uint8_t *rec = recs.Readings + (size_t)i * IPMI_SENSOR_READING_SIZE;
        if (UsableInfo(rec, recs.Info, recs.InfoCount) == nullptr) continue;
        double v = ReadingValue(rec);
        if (!std::isfinite(v)) continue;
        LocalSensorData *e = EntryOfReading(hdr, rec);
        if (e != nullptr) ApplyIpmiReading(e, v, t);
    }
    hdr->UpdateTime = t;
    hdr->DataReady = 1;
}

// One refresh of the sampling thread for sample time t.  The controller and
// the information store are read without the list mutex, so that count and
// list answers and the five-minute recording never wait for them; the
// mutex is held only to fold in what was read.  What the deadline leaves
// of the controller unread is given up, said once when refreshes start
// running late and once when they are back in time.  The utilisation
// figures are read all the same: the information store answers within its
// own short time-outs.
void RefreshList(LocalDataHdr *hdr, uint32_t t) {
    static bool late = false;
    int64_t deadline = g_monotonicms() + kRefreshDeadlineMs;
    int ipmi = FetchSensorReadings(deadline);
    bool now_late = PastDeadline(deadline);
    UtilisationFigures figures = {};
    FetchUtilisation(&figures);
    if (now_late && !late) {
        LogFailure("SensorDataTask", __LINE__, "Refresh past its deadline of 40 s, what was not read is given up");
    } else if (!now_late && late) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "[%s:%d][%s][%d]Refresh within its deadline again\n", __FILE_NAME__,
                             __LINE__, "SensorDataTask", __LINE__);
    }
    late = now_late;
    pthread_mutex_lock(&g_sensordatamutex);
    if (ipmi == 0) ApplySensorReadings(hdr, t);
    ApplyUtilisationFigures(hdr, figures, t);
    pthread_mutex_unlock(&g_sensordatamutex);
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
    IpmiRecords recs = {};
    if (FetchIpmiRecords(kListBuild, &session, &recs, 0) != 0) return -1;
    // One array with room for the utilisation entries from the start.
    size_t room = (size_t)g_sensorcount + UTIL_ENTRY_COUNT;
    LocalSensorData *entries = static_cast<LocalSensorData *>(calloc(room, sizeof(LocalSensorData)));
    if (entries == nullptr) {
        ReleaseIpmiRecords(&recs);
        LIBIPMI_CloseSession(&session);
        return -1;
    }

    // Built aside and published at once: the device id queries go to the
    // information store, and nobody waits on the list mutex for them.
    LocalDataHdr built = {};
    built.SensorData = entries;
    for (uint32_t i = 0; i < recs.ReadingCount; ++i) {
        const uint8_t *rec = recs.Readings + (size_t)i * IPMI_SENSOR_READING_SIZE;
        if (UsableInfo(rec, recs.Info, recs.InfoCount) == nullptr) continue;
        uint8_t num = ReadingNum(rec);
        uint8_t devrec[ZELVAR_DEVREC_SIZE] = {};
        if (zelvar_redis_info_basic_interface(1, 0, num, 0, 0, devrec, ZELVAR_DEVREC_SIZE, 1) != 0) {
            printf("[%s][%d]Get sensor devid from redis failed,sensor num:%d\n", __func__, __LINE__, num);
            fflush(stdout);
        }
        uint16_t devid = (uint16_t)(devrec[ZELVAR_DEVREC_DEVID_OFFSET] | devrec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);
        LocalSensorData *e = &entries[built.SensorCount];
        e->SensorClass = DevIdToClass(devid);
        e->SensorNum = num;
        ReadingName(rec, e->SensorName);
        e->Reading = 0.0;
        e->InUse = 1;
        built.SensorCount++;
    }
    AppendUtilisationEntry(&built, CPU_UTIL_NAME, CPU_UTIL_NUM);
    AppendUtilisationEntry(&built, MEM_UTIL_NAME, MEM_UTIL_NUM);
    AppendUtilisationEntry(&built, IO_UTIL_NAME, IO_UTIL_NUM);
    pthread_mutex_lock(&g_sensordatamutex);
    hdr->SensorData = built.SensorData;
    hdr->SensorCount = built.SensorCount;
    hdr->ListReady = 1;
    pthread_mutex_unlock(&g_sensordatamutex);
    // The refreshes read into the build's buffers from now on.
    ReleaseIpmiRecords(&g_refreshrecs);
    g_refreshrecs = recs;
    LIBIPMI_CloseSession(&session);
    return 0;
}

int UpdateSensorReadingToLocalStruct(LocalDataHdr *hdr, uint32_t t) {
    int rc = FetchSensorReadings(0);
    if (rc == 1) return 0;
    if (rc != 0) return -1;
    ApplySensorReadings(hdr, t);
    return 0;
}

void UpdateCUPSToLocalStruct(LocalDataHdr *hdr, uint32_t t) {
    UtilisationFigures figures;
    FetchUtilisation(&figures);
    ApplyUtilisationFigures(hdr, figures, t);
}

int SampleIfNewMinute(LocalDataHdr *hdr, time_t now, uint32_t *last_sample) {
    // Sample times are 32-bit; a clock outside them would stamp readings
    // with a wrapped time (near 2106 for a clock just before the epoch),
    // and one not yet set with a day the store does not record.  Held as
    // int64_t, where the upper bound is a real test whatever time_t is.
    if (!ClockIsSet(now)) return 0;
    uint32_t t = (uint32_t)now / 60 * 60;
    int refreshed = 0;
    if (t != *last_sample) {
        RefreshList(hdr, t);
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
