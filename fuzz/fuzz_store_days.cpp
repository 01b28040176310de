// The day switch, the recording, the history query and the store's turns
// over whatever bytes the mapped files and the record time file hold: day
// keys in any order, doubled or negative, slot times that do not fit their
// day, extremes of any value.
#include "fuzz_support.h"

namespace {

const time_t kStart = 1792526400;      // the evening of 24 October 2026, before the change back from summer time
std::vector<uint8_t> g_files, g_list;  // as the history left them
int g_none[2];

// File i of the store; the record time file after the sensor data files.
uint8_t *File(uint32_t i) {
    return i < RecordStore.RecordCount ? (uint8_t *)RecordStore.SensorArr[i].Map : (uint8_t *)RecordStore.RecordTimeMap;
}
size_t Size(uint32_t i) { return i < RecordStore.RecordCount ? SENSOR_FILE_SIZE : RECORD_TIME_SIZE; }
int32_t DayNear(FuzzedDataProvider &in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<int32_t>();
    return (int32_t)DayStartTime(kStart + 86400 * in.ConsumeIntegralInRange(-10, 10));
}
int32_t TimeNear(FuzzedDataProvider &in) {
    return (int32_t)kStart + in.ConsumeIntegralInRange(-20 * 86400, 20 * 86400);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::StoreWithHistory(kStart, 300);
    for (uint32_t i = 0; i <= RecordStore.RecordCount; ++i) g_files.insert(g_files.end(), File(i), File(i) + Size(i));
    uint8_t *list = (uint8_t *)g_localdatahdr.SensorData;
    g_list.assign(list, list + g_localdatahdr.SensorCount * sizeof(LocalSensorData));
    return pipe(g_none);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint32_t count = RecordStore.RecordCount;
    for (uint32_t i = 0, at = 0; i <= count; at += Size(i++)) memcpy(File(i), &g_files[at], Size(i));
    memcpy((void *)g_localdatahdr.SensorData, g_list.data(), g_list.size());
    g_fake.Messages.clear();
    for (int ops = 0; in.remaining_bytes() > 0 && ops < 24; ++ops) {
        uint32_t file = in.ConsumeIntegralInRange<uint32_t>(0, count);
        int op = in.ConsumeIntegralInRange(0, 5);
        if (op == 0) {  // bytes of the input anywhere, the record time file included
            size_t at = in.ConsumeIntegralInRange<size_t>(0, Size(file) - 1);
            std::string bytes = in.ConsumeRandomLengthString(64);
            memcpy(File(file) + at, bytes.data(), std::min(bytes.size(), Size(file) - at));
        } else if (op == 1 && file < count) {
            RecordStore.SensorArr[file].Map->Days[in.ConsumeIntegralInRange(0, DAYS_PER_FILE - 1)].DayKey = DayNear(in);
        } else if (op == 2) {
            SwitchRecordDay(RecordStore.SensorArr, count, DayNear(in), in.ConsumeBool());
        } else if (op == 3) {
            SensorDataQuery query = {};
            query.SensorNum = RecordStore.SensorArr[file % count].Map->Header.SensorNum;
            if (in.ConsumeBool()) query.SensorNum = in.ConsumeIntegral<uint16_t>();
            SetQueryWindow(&query, DayNear(in), TimeNear(in));
            if (in.ConsumeBool()) query.EndTime = in.ConsumeIntegral<int32_t>();
            SearchSensorDataFromFile(RecordStore.SensorArr, &query, count);
        } else if (op == 4) {  // any figures, recorded at any slot
            pthread_mutex_lock(&g_sensordatamutex);
            for (uint32_t i = 0; i < g_localdatahdr.SensorCount; ++i) {
                LocalSensorData &e = g_localdatahdr.SensorData[i];
                uint64_t bits = in.ConsumeIntegral<uint64_t>();
                double v;
                memcpy(&v, &bits, sizeof v);
                e.Reading = v;
                e.MaxReading = v + 1;
                e.MinReading = in.ConsumeBool() ? 0.0 : v - 1;
                e.AvgReading = v;
                e.MaxTime = in.ConsumeIntegral<uint32_t>();
                e.MinTime = in.ConsumeIntegral<uint32_t>();
                e.InUse = in.ConsumeBool();
                e.Valid = 1;
            }
            uint32_t day = (uint32_t)DayNear(in);
            uint32_t slot = day + SLOT_SECONDS * in.ConsumeIntegralInRange(0, 299);
            if (in.ConsumeBool()) slot = in.ConsumeIntegral<uint32_t>();
            RecordSensorsDataToMem(&g_localdatahdr, RecordStore.SensorArr, slot, day);
            pthread_mutex_unlock(&g_sensordatamutex);
        } else if (op == 5) {  // a turn of the store at a time near the history
            RecordStore.RequestFifoFd = g_none[0];
            g_localdatahdr.DataReady = in.ConsumeBool();
            fuzz::g_now = TimeNear(in);
            StoreLoopTurn((int32_t)fuzz::g_now, 0);
            RecordStore.RequestFifoFd = -1;
        }
    }
    return 0;
}
