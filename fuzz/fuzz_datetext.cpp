// A request's date text to its day key, in zones with and without
// daylight-saving time, with odd offsets and a change at midnight; and the
// day key of any 32-bit time.  The text lies in a field of exactly 128
// bytes that need not hold a NUL.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "Trendkeep.h"
#include "fuzz_support.h"

namespace {

const char *const kZones[] = {
    "UTC0",
    "CET-1CEST,M3.5.0,M10.5.0/3",
    "<+0530>-5:30",
    "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45",
    "<-03>3<-02>,M11.1.0/0,M2.3.0/0",  // springs forward at midnight
    "<-10>10",
    "<+14>-14",
    "EST5EDT,M3.2.0,M11.1.0",
};
const size_t kZoneCount = sizeof kZones / sizeof kZones[0];
size_t g_zone = (size_t)-1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SetUpDaemon("UTC0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t zone = data[0] % kZoneCount;
    if (zone != g_zone) {
        setenv("TZ", kZones[zone], 1);
        tzset();
        g_zone = zone;
    }
    ++data;
    --size;
    // "Now" supplies the fields a text leaves out.
    int32_t now = 0;
    if (size >= 4) {
        memcpy(&now, data, 4);
        data += 4;
        size -= 4;
    }
    fuzz::g_now = now;
    char *field = static_cast<char *>(malloc(TK_DATE_TEXT_SIZE));
    memset(field, 0, TK_DATE_TEXT_SIZE);
    memcpy(field, data, size < TK_DATE_TEXT_SIZE ? size : TK_DATE_TEXT_SIZE);
    time_t key = DateTextToDayStart(field);
    free(field);
    if (key != (time_t)-1 && key != TK_NO_DAY_KEY) (void)DayStartTime(key);
    (void)DayStartTime((time_t)now);
    return 0;
}
