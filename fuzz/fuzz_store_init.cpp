// The store's initialisation over whatever a card holds, with lists of odd
// names, then the first turn of the store over what it made of the card.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<FakeSensor> sensors = fuzz::kSensors;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 1: sensors.clear(); break;
    case 2: sensors = {{1, "CPU0_Temp"}, {1, "CPU0_Temp"}, {3, "C"}}; break;
    case 3:
        sensors.insert(sensors.begin(), FakeSensor{in.ConsumeIntegral<uint8_t>(), in.ConsumeRandomLengthString(30)});
    }
    const std::string &card = fuzz::Card();
    g_fake.Messages.clear();
    fuzz::BuildList(sensors);
    fuzz::g_now = fuzz::MakeCardTree(in, card);
    int none[2];
    if (InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr) == 0 && pipe(none) == 0) {
        RecordStore.RequestFifoFd = none[0];  // no requests; released below with the store
        g_localdatahdr.DataReady = 1;
        StoreLoopTurn((int32_t)fuzz::g_now, 0);
        close(none[1]);
    }
    ReleaseStore();
    return 0;
}
