// The maker's information store library, libzelvar_redis_access_interface.so.1.
// One entry point answers several kinds of query, chosen by its fixed
// arguments; the daemon uses two of them:
//
//   device id of sensor N:  (1, 0, N, 0, 0, buf, 42, 1)  -> SensorDevRec, 42 bytes
//   utilisation figure:     (1, 9, 0, 0, ID, buf, 1, 1)   -> one byte, 0 to 255
//                            ID 35 CPU, 37 memory, 36 IO
//
// Returns 0 when the result buffer has been filled, non-zero on failure.
#ifndef TRENDKEEP_PLATFORM_ZELVAR_REDIS_H
#define TRENDKEEP_PLATFORM_ZELVAR_REDIS_H

#ifdef __cplusplus
extern "C" {
#endif

#define ZELVAR_DEVREC_SIZE 42         // SensorDevRec
#define ZELVAR_DEVREC_DEVID_OFFSET 4  // uint16 device id, little-endian

#define ZELVAR_UTIL_CPU 35
#define ZELVAR_UTIL_MEM 37
#define ZELVAR_UTIL_IO 36

int zelvar_redis_info_basic_interface(int category, int kind, int sensor_num, int reserved, int item, void *result,
                                      int result_size, int mode);

#ifdef __cplusplus
}
#endif

#endif
