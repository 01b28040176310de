// One five-minute slot as the tools' JSON and CSV write it, the same in
// trendkeep-card dump and trendkeep-query data: slot, slot_time, time,
// recorded, reading, max, min, avg.
#ifndef TRENDKEEP_TOOLS_SLOTFORMAT_H
#define TRENDKEEP_TOOLS_SLOTFORMAT_H

#include <stdint.h>

#include <string>

#include "StoreData.h"

namespace tk {

// The header line of the slot's CSV fields (no newline).
extern const char kSlotCsvHead[];

// Slot s as a JSON object; time is the local time shown for it.
std::string SlotJson(int s, const SampleSlot &slot, int64_t time);
// Slot s as CSV fields in the order of kSlotCsvHead (no newline).
std::string SlotCsv(int s, const SampleSlot &slot, int64_t time);

}  // namespace tk

#endif
