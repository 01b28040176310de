// The sensor data list: the in-memory table of sampled sensors, built once
// from the IPMI inventory and refreshed once a minute.
#ifndef TRENDKEEP_SENSORDATA_H
#define TRENDKEEP_SENSORDATA_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#define SENSOR_NAME_SIZE 20
// The most IPMI sensors the list holds, beyond the three utilisation
// entries.  The largest servers have a few hundred sensors (those past 255
// on further LUNs); a controller that reports more gets the first of them
// listed and one log line, never memory in proportion to its claim.
#define TK_MAX_SENSORS 1024
#define UTIL_ENTRY_COUNT 3
#define CPU_UTIL_NAME "CPU_Utilization"
#define MEM_UTIL_NAME "MEM_Utilization"
#define IO_UTIL_NAME "IO_Utilization"
#define CPU_UTIL_NUM 0xFFFF
#define MEM_UTIL_NUM 0xFFFE
#define IO_UTIL_NUM 0xFFFD
#define UTIL_SENSOR_CLASS 3

#pragma pack(push, 1)

// One list entry.  Packed: its doubles sit at unaligned offsets, so they are
// only ever read and written as members, never through their address.
//
//   OFFSET SIZE FIELD
//        0    1 InUse
//        1    1 Valid        1 once a reading was applied since the last recording
//        2   20 SensorName   NUL-terminated
//       22    2 SensorNum    IPMI number, or 0xFFFF/0xFFFE/0xFFFD
//       24    1 SensorClass
//       25    4 MaxTime
//       29    4 MinTime
//       33    8 Reading
//       41    8 MaxReading
//       49    8 MinReading
//       57    8 AvgReading
typedef struct LocalSensorData {
    uint8_t InUse;
    uint8_t Valid;
    char SensorName[SENSOR_NAME_SIZE];
    uint16_t SensorNum;
    uint8_t SensorClass;
    uint32_t MaxTime;
    uint32_t MinTime;
    double Reading;
    double MaxReading;
    double MinReading;
    double AvgReading;
} LocalSensorData;

// The list header.  DataReady and ListReady cross threads: read and write
// them only with g_sensordatamutex held.
//
//   OFFSET SIZE FIELD
//        0    4 UpdateTime   start of the minute of the last refresh
//        4    1 DataReady    1 after a refresh, 0 after a recording
//        5    1 ListReady    1 once the list is built
//        6    4 SensorCount  entries in use
//       10  ptr SensorData   room for g_sensorcount + 3 entries
typedef struct LocalDataHdr {
    uint32_t UpdateTime;
    uint8_t DataReady;
    uint8_t ListReady;
    uint32_t SensorCount;
    LocalSensorData *SensorData;
} LocalDataHdr;

#pragma pack(pop)

static_assert(sizeof(LocalSensorData) == 65, "list entry layout");
static_assert(offsetof(LocalSensorData, SensorNum) == 22, "list entry layout");
static_assert(offsetof(LocalSensorData, Reading) == 33, "list entry layout");
static_assert(offsetof(LocalSensorData, AvgReading) == 57, "list entry layout");
static_assert(offsetof(LocalDataHdr, SensorCount) == 6, "list header layout");
static_assert(offsetof(LocalDataHdr, SensorData) == 10, "list header layout");

// Device id ranges, [Low, High), and the class code they give.
typedef struct DevIdClass {
    uint16_t Low;
    uint16_t High;
    uint8_t Class;
} DevIdClass;
#define DEVID_CLASS_ROWS 5
extern const DevIdClass DevIdClassTable[DEVID_CLASS_ROWS];

extern LocalDataHdr g_localdatahdr;
extern uint32_t g_sensorcount;
extern pthread_mutex_t g_sensordatamutex;

// First of the first count sensor-info records (54 bytes each) whose sensor
// number is num.  Returns a pointer to it, or null when none matches, count
// is 0 or info is null.
const uint8_t *FindSensorInfo(const uint8_t *info, uint8_t num, uint32_t count);

// Class code of a device id (0 when it lies in no range).
uint8_t DevIdToClass(uint16_t devid);

// Builds the list into hdr.  Returns 0 with ListReady 1, or -1 with the
// header left empty.
int InitSensorDataList(LocalDataHdr *hdr);

// Refreshes the IPMI entries with the readings of sample time t.  The
// caller holds g_sensordatamutex (the sampling thread itself reads the
// controller without it: SampleIfNewMinute).  Returns 0 on success (also without
// sensors), -1 on failure with the list unchanged.
int UpdateSensorReadingToLocalStruct(LocalDataHdr *hdr, uint32_t t);

// Refreshes the three utilisation entries for sample time t and marks the
// list refreshed.  The caller holds g_sensordatamutex.
void UpdateCUPSToLocalStruct(LocalDataHdr *hdr, uint32_t t);

// One poll of the sampling loop at wall-clock time now: refreshes the list
// when now lies in another minute than *last_sample, then records the
// minute in *last_sample.  The controller and the information store are
// read without g_sensordatamutex, within a deadline well inside the minute;
// the mutex is taken only to fold in what was read.  A clock not yet set
// (before TK_CLOCK_FLOOR) or beyond what a 32-bit time holds refreshes
// nothing and leaves *last_sample alone.  Returns 1 when it refreshed, 0
// otherwise.
int SampleIfNewMinute(LocalDataHdr *hdr, time_t now, uint32_t *last_sample);

// Body of the sampling thread: builds the list, then refreshes it once per
// wall-clock minute.  Never returns.
void *SensorDataTask(void *arg);

#endif
