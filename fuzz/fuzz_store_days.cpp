// The day switch, the recording and the history query over whatever bytes
// the mapped files hold: day keys in any order, doubled or negative, slot
// times that do not fit their day, extremes of any value; with the record
// time file saying anything.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fuzz_support.h"

namespace {

std::vector<std::vector<uint8_t>> g_baseline;
RecordTimeFile g_baselinetime;
time_t g_start;
int g_none[2] = {-1, -1};

void Restore() {
    for (uint32_t i = 0; i < RecordStore.RecordCount; ++i)
        memcpy(RecordStore.SensorArr[i].Map, g_baseline[i].data(), SENSOR_FILE_SIZE);
    memcpy(RecordStore.RecordTimeMap, &g_baselinetime, sizeof g_baselinetime);
}

int32_t DayNear(fuzz::Input &in) {
    uint8_t pick = in.U8();
    if (pick & 0x80) return (int32_t)in.U32();
    return (int32_t)DayStartTime(g_start + ((int)(pick % 20) - 10) * 86400);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SetUpDaemon("CET-1CEST,M3.5.0,M10.5.0/3");
    g_start = 1792526400;
    std::string card = fuzz::BuildStoreWithHistory(g_start, 300);
    for (uint32_t i = 0; i < RecordStore.RecordCount; ++i) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(RecordStore.SensorArr[i].Map);
        g_baseline.emplace_back(p, p + SENSOR_FILE_SIZE);
    }
    g_baselinetime = *RecordStore.RecordTimeMap;
    if (pipe2(g_none, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    Restore();
    uint32_t count = RecordStore.RecordCount;
    int ops = 0;
    while (in.Left() > 0 && ops++ < 24) {
        uint8_t op = in.U8();
        uint32_t file = in.U8() % count;
        uint8_t *map = reinterpret_cast<uint8_t *>(RecordStore.SensorArr[file].Map);
        switch (op % 8) {
            case 0: {  // raw bytes anywhere
                size_t off = in.U32() % SENSOR_FILE_SIZE;
                std::vector<uint8_t> bytes = in.Bytes(in.U8() % 64);
                for (size_t i = 0; i < bytes.size() && off + i < (size_t)SENSOR_FILE_SIZE; ++i) map[off + i] = bytes[i];
                break;
            }
            case 1: {  // a block's day key
                int d = in.U8() % DAYS_PER_FILE;
                RecordStore.SensorArr[file].Map->Days[d].DayKey = DayNear(in);
                break;
            }
            case 2: {  // a whole block of noise
                int d = in.U8() % DAYS_PER_FILE;
                uint32_t x = in.U32() | 1;
                uint8_t *p = reinterpret_cast<uint8_t *>(&RecordStore.SensorArr[file].Map->Days[d]);
                for (size_t i = 0; i < sizeof(DayBlock); ++i) {
                    x ^= x << 13;
                    x ^= x >> 17;
                    x ^= x << 5;
                    p[i] = (uint8_t)x;
                }
                break;
            }
            case 3:
                SwitchRecordDay(RecordStore.SensorArr, count, DayNear(in), in.U8() & 1);
                break;
            case 4: {
                SensorDataQuery query = {};
                uint8_t how = in.U8();
                query.SensorNum = how & 1 ? in.U16() : RecordStore.SensorArr[file].Map->Header.SensorNum;
                int32_t day = DayNear(in);
                if (how & 2) {
                    query.StartTime = day;
                    query.EndTime = (int32_t)in.U32();
                } else {
                    SetQueryWindow(&query, day, (int32_t)(g_start + (int32_t)(in.U32() % (40u * 86400)) - 20 * 86400));
                }
                (void)SearchSensorDataFromFile(RecordStore.SensorArr, &query, count);
                break;
            }
            case 5: {
                pthread_mutex_lock(&g_sensordatamutex);
                for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) {
                    LocalSensorData &e = g_localdatahdr.SensorData[i];
                    uint64_t bits = (uint64_t)in.U32() << 32 | in.U32();
                    double v;
                    memcpy(&v, &bits, sizeof v);
                    e.Reading = v;
                    e.MaxReading = v + 1;
                    e.MinReading = in.U8() & 1 ? 0.0 : v - 1;
                    e.AvgReading = v;
                    e.MaxTime = in.U32();
                    e.MinTime = in.U32();
                    e.InUse = in.U8() & 3 ? 1 : 0;
                    e.Valid = 1;
                }
                uint32_t day = (uint32_t)DayNear(in);
                uint32_t slot = in.U8() & 1 ? in.U32() : day + 300u * (in.U16() % 300);
                RecordSensorsDataToMem(&g_localdatahdr, RecordStore.SensorArr, slot, day);
                pthread_mutex_unlock(&g_sensordatamutex);
                break;
            }
            case 6: {  // the record time file
                RecordStore.RecordTimeMap->RecordDay = (uint32_t)DayNear(in);
                RecordStore.RecordTimeMap->RecordSlot = in.U32();
                break;
            }
            case 7: {  // one turn of the store at a time near the history
                RecordStore.RequestFifoFd = g_none[0];
                pthread_mutex_lock(&g_sensordatamutex);
                g_localdatahdr.DataReady = in.U8() & 1;
                pthread_mutex_unlock(&g_sensordatamutex);
                int32_t now = (int32_t)(g_start + (int32_t)(in.U32() % (40u * 86400)) - 20 * 86400);
                fuzz::g_now = now;
                StoreLoopTurn(now, 0);
                RecordStore.RequestFifoFd = -1;
                break;
            }
        }
    }
    return 0;
}
