// Host information store, libzelvar_redis_access_interface.so.1: device ids
// and utilisation figures.
//
// Every query reads the sensor file afresh (or takes the built-in table),
// so its fail entries (devid:<num>, cpu, mem, io) hold in either mode and a
// bad file fails every query.  The answer then comes from the Redis server
// named by TRENDKEEP_REDIS, or, without one, from the table: the sensor's
// devid, and cpu/mem/io when the file gives them, measured on this machine
// when it does not.  With a real IPMI controller (TRENDKEEP_IPMI), a sensor
// whose device id neither Redis nor the sensor file gives gets the one the
// IPMI library derived from its SDR (hostplatform/README.md); the built-in
// table's sensors are not the controller's, so it answers none then.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "host_utilisation.h"
#include "redis_store.h"
#include "sensor_source.h"
#include "zelvar_redis.h"

namespace {

using tk::host::FailCall;
using tk::host::SensorTable;
using tk::host::UtilKind;

constexpr int kFailed = -1;

const char *RedisTarget() {
    const char *target = getenv("TRENDKEEP_REDIS");
    return target != nullptr && target[0] != '\0' ? target : nullptr;
}

bool Set(const char *name) {
    const char *value = getenv(name);
    return value != nullptr && value[0] != '\0';
}
bool RealController() { return Set("TRENDKEEP_IPMI"); }

int DeviceId(int num, void *result) {
    std::shared_ptr<const SensorTable> table = tk::host::LoadSensorTable();
    if (!table || table->fail_devid.test(static_cast<size_t>(num))) return kFailed;
    std::optional<uint32_t> devid;
    if (const char *redis = RedisTarget()) {
        devid = tk::host::RedisGetNumber(redis, "trendkeep:devid:" + std::to_string(num), 0xFFFF);
    } else if (!RealController() || Set("TRENDKEEP_SENSORS")) {
        if (const tk::host::HostSensor *sensor = table->FindDevid(static_cast<unsigned>(num))) devid = *sensor->devid;
    }
    const int32_t derived = RealController() ? tk::host::TkHostPlatformDerivedDevid(static_cast<unsigned>(num)) : -1;
    if (!devid && derived >= 0) devid = static_cast<uint32_t>(derived);
    if (!devid) return kFailed;
    // The rest of the record is of no use off the BMC: zero.
    uint8_t record[ZELVAR_DEVREC_SIZE] = {};
    record[ZELVAR_DEVREC_DEVID_OFFSET] = static_cast<uint8_t>(*devid & 0xFF);
    record[ZELVAR_DEVREC_DEVID_OFFSET + 1] = static_cast<uint8_t>(*devid >> 8);
    memcpy(result, record, sizeof record);
    return 0;
}

int Utilisation(int item, void *result) {
    FailCall call;
    UtilKind kind;
    const char *key;
    switch (item) {
    case ZELVAR_UTIL_CPU:
        call = FailCall::Cpu;
        kind = UtilKind::Cpu;
        key = "trendkeep:util:cpu";
        break;
    case ZELVAR_UTIL_MEM:
        call = FailCall::Mem;
        kind = UtilKind::Mem;
        key = "trendkeep:util:mem";
        break;
    case ZELVAR_UTIL_IO:
        call = FailCall::Io;
        kind = UtilKind::Io;
        key = "trendkeep:util:io";
        break;
    default: return kFailed;
    }
    std::shared_ptr<const SensorTable> table = tk::host::LoadSensorTable();
    if (!table || table->Fails(call)) return kFailed;
    std::optional<uint32_t> value;
    if (const char *redis = RedisTarget()) {
        value = tk::host::RedisGetNumber(redis, key, 255);
    } else {
        const std::optional<uint8_t> &given = kind == UtilKind::Cpu   ? table->cpu
                                              : kind == UtilKind::Mem ? table->mem
                                                                      : table->io;
        if (given)
            value = *given;
        else if (auto measured = tk::host::MeasureUtilisation(kind))
            value = *measured;
    }
    if (!value) return kFailed;
    *static_cast<uint8_t *>(result) = static_cast<uint8_t>(*value);
    return 0;
}

}  // namespace

int zelvar_redis_info_basic_interface(int category, int kind, int sensor_num, int reserved, int item, void *result,
                                      int result_size, int mode) {
    if (result == nullptr || category != 1 || reserved != 0 || mode != 1) return kFailed;
    if (kind == 0 && item == 0 && result_size == ZELVAR_DEVREC_SIZE && sensor_num >= 0 && sensor_num <= 255)
        return DeviceId(sensor_num, result);
    if (kind == 9 && sensor_num == 0 && result_size == 1) return Utilisation(item, result);
    return kFailed;
}
