// Verification of a card image against the store's format.
#ifndef TRENDKEEP_TOOLS_CARDCHECK_H
#define TRENDKEEP_TOOLS_CARDCHECK_H

#include <string>
#include <vector>

#include "CardReader.h"

namespace tk {

// One thing wrong: where (file, then block, slot and field where they
// apply) and what (expected against found).
struct Problem {
    std::string File;   // relative to the record directory
    std::string Where;  // "block 2, slot 17, SlotTime", may be empty
    std::string What;
    std::string Text() const { return File + ": " + (Where.empty() ? "" : Where + ": ") + What; }
};

struct CheckSummary {
    std::vector<Problem> Problems;
    int SensorFiles = 0;  // complete sensor data files
    int DayBlocks = 0;    // non-empty blocks in them
    long RecordedSlots = 0;
};

CheckSummary CheckCard(const CardImage &card);

}  // namespace tk

#endif
