// A date text in a 128-byte field that need not hold a NUL, and any 32-bit time, to day keys in odd zones.
#include <string.h>

#include <vector>

#include "Trendkeep.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const char *const kZones[] = {"UTC0",
                                         "CET-1CEST,M3.5.0,M10.5.0/3",
                                         "<+0530>-5:30",
                                         "<-10>10",
                                         "<+14>-14",
                                         "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45",
                                         "<-03>3<-02>,M11.1.0/0,M2.3.0/0",
                                         "EST5EDT,M3.2.0,M11.1.0"};
    if (size < 5) return 0;
    ScopedTimeZone zone(kZones[data[0] % 7]);
    int32_t now;
    memcpy(&now, data + 1, 4);
    std::vector<char> field(TK_DATE_TEXT_SIZE);  // alone in its heap block: a read past it is caught
    memcpy(field.data(), data + 5, std::min(size - 5, field.size()));
    time_t key = DateTextToDayStart(field.data());
    if (key != (time_t)-1 && key != TK_NO_DAY_KEY) DayStartTime(key);
    DayStartTime(now);
    return 0;
}
