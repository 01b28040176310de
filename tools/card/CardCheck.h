// Verification of a card image against the store's format.
#ifndef TRENDKEEP_TOOLS_CARDCHECK_H
#define TRENDKEEP_TOOLS_CARDCHECK_H

#include <functional>
#include <string>

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
    long Problems = 0;
    int SensorFiles = 0;  // complete sensor data files
    int DayBlocks = 0;    // non-empty blocks in them
    long RecordedSlots = 0;
};

// Receives each problem as it is found; nothing keeps them all.
using ProblemSink = std::function<void(const Problem &)>;

// Checks a card piece by piece, as its files are read one at a time: Start
// with what LoadCard found, File for each file, Stray for what stopped being
// a regular file, Finish at the end.
class CardChecker {
public:
    explicit CardChecker(ProblemSink sink) : Sink(std::move(sink)) {}
    void Start(const CardImage &card);
    void File(const SensorFileImage &file);
    void Stray(const StrayEntry &stray);
    void Finish();
    const CheckSummary &Summary() const { return Sum; }

private:
    void Add(const Problem &p);

    ProblemSink Sink;
    CheckSummary Sum;
    int64_t RecordDay = 0;  // of a sound record time file, else 0
};

// The whole check: reads every file of the card once.
CheckSummary CheckCard(const CardImage &card, Progress *bar = nullptr, const ProblemSink &sink = nullptr);

}  // namespace tk

#endif
