// The history store on the TF card and the request service on the FIFOs.
#include "StoreData.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Trendkeep.h"
#include "platform/bmc_services.h"

RecordStoreState RecordStore = {0, -1, nullptr, nullptr, -1};
int RecordTimeFd = -1;

namespace {

pthread_mutex_t g_storemutex = [] {
    pthread_mutex_t m;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
    return m;
}();

}  // namespace

void StoreLock(void) { pthread_mutex_lock(&g_storemutex); }
void StoreUnlock(void) { pthread_mutex_unlock(&g_storemutex); }

int UnMmap(StoreHandler **arr, uint32_t count) {
    if (arr == nullptr || *arr == nullptr) {
        IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "[%s][%d]Sensor arr is null,no need to Unmmap\n", __func__,
                             __LINE__);
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        StoreHandler &h = (*arr)[i];
        if (h.Map != nullptr) {
            munmap(h.Map, SENSOR_FILE_SIZE);
            h.Map = nullptr;
        }
        if (h.Fd != -1) {
            sigwrap_close(h.Fd);
            h.Fd = -1;
        }
    }
    return 0;
}

int CleanUp(void) {
    if (RecordTimeFd != -1) {
        sigwrap_close(RecordTimeFd);
        RecordTimeFd = -1;
    }
    if (RecordStore.SensorArr != nullptr) {
        UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
        free(RecordStore.SensorArr);
        RecordStore.SensorArr = nullptr;
    }
    if (RecordStore.RecordTimeMap != nullptr) {
        munmap(RecordStore.RecordTimeMap, RECORD_TIME_SIZE);
        RecordStore.RecordTimeMap = nullptr;
    }
    if (RecordStore.RequestFifoFd != -1) {
        sigwrap_close(RecordStore.RequestFifoFd);
        RecordStore.RequestFifoFd = -1;
    }
    if (RecordStore.ResponseFifoFd != -1) {
        sigwrap_close(RecordStore.ResponseFifoFd);
        RecordStore.ResponseFifoFd = -1;
    }
    RemovePathIfPresent(TK_REQUEST_FIFO);
    RemovePathIfPresent(TK_RESPONSE_FIFO);
    return 0;
}

void *StoreSensorsDataToFileRecord(void *) {
    for (;;) pause();
}
