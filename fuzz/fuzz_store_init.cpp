// The store's initialisation over whatever a card holds: files of every
// size and content at the store's paths and at leading parts of sensor
// names, directories, FIFOs and links where files should be; then the
// first turn of the store over what initialisation made of it.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fuzz_support.h"

namespace {

std::string g_card;

void ChooseList(uint8_t pick, fuzz::Input &in) {
    static std::string odd;
    switch (pick % 4) {
        case 0:
            fuzz::BuildList(fuzz::DefaultSensors());
            break;
        case 1:
            fuzz::BuildList({});
            break;
        case 2:
            fuzz::BuildList({{"CPU0_Temp", 1, 0}, {"CPU0_Temp", 1, 0}, {"C", 1, 1}});
            break;
        default: {
            odd.clear();
            size_t len = in.U8() % 20;
            for (size_t i = 0; i < len; ++i) {
                char c = (char)in.U8();
                odd += c == '\0' ? 'x' : c;
            }
            fuzz::BuildList({{odd.c_str(), (uint16_t)in.U16(), (uint8_t)in.U8()}, {"CPU0_Temp", 1, 0}});
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SetUpDaemon("CET-1CEST,M3.5.0,M10.5.0/3");
    g_card = fuzz::MakeTempDir("tk-fuzz-init");
    fuzz::SetCard(g_card);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t pick = in.U8();
    ChooseList(pick, in);
    time_t now = fuzz::MakeCardTree(in, g_card);
    fuzz::g_now = now;
    if (InitSensorDataRecordSt(&RecordStore.SensorArr, &g_localdatahdr) == 0) {
        int none[2];
        if (pipe(none) == 0) {
            RecordStore.RequestFifoFd = none[0];
            pthread_mutex_lock(&g_sensordatamutex);
            g_localdatahdr.DataReady = 1;
            pthread_mutex_unlock(&g_sensordatamutex);
            StoreLoopTurn((int32_t)now, 0);
            close(none[0]);
            close(none[1]);
            RecordStore.RequestFifoFd = -1;
        }
    }
    fuzz::ReleaseStore();
    return 0;
}
