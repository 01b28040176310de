#include "SlotFormat.h"

#include "LocalCalendar.h"
#include "TextFormat.h"

namespace tk {

const char kSlotCsvHead[] = "slot,slot_time,time,recorded,reading,max,min,avg";

std::string SlotJson(int s, const SampleSlot &slot, int64_t time) {
    const double r = slot.Reading, mx = slot.MaxReading, mn = slot.MinReading, av = slot.AvgReading;
    const uint32_t st = slot.SlotTime;
    return "{\"slot\": " + std::to_string(s) + ", \"slot_time\": " + std::to_string(st) +
           ", \"time\": " + JsonString(IsoLocalText(time)) + ", \"recorded\": " + std::to_string(slot.Recorded) +
           ", \"reading\": " + JsonNumber(r) + ", \"max\": " + JsonNumber(mx) + ", \"min\": " + JsonNumber(mn) +
           ", \"avg\": " + JsonNumber(av) + "}";
}

std::string SlotCsv(int s, const SampleSlot &slot, int64_t time) {
    const double r = slot.Reading, mx = slot.MaxReading, mn = slot.MinReading, av = slot.AvgReading;
    const uint32_t st = slot.SlotTime;
    return std::to_string(s) + "," + std::to_string(st) + "," + IsoLocalText(time) + "," +
           std::to_string(slot.Recorded) + "," + FormatShortest(r) + "," + FormatShortest(mx) + "," +
           FormatShortest(mn) + "," + FormatShortest(av);
}

}  // namespace tk
