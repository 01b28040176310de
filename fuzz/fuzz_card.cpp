// The card reader over whatever a card holds: the card is read and checked
// as `trendkeep-card check` does.
#include "CardCheck.h"
#include "CardReader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string &card = fuzz::Card();
    fuzz::MakeCardTree(in, card);
    try {
        tk::CheckCard(tk::LoadCard(card));
    } catch (const std::exception &) {
        // A card that cannot be read is reported, not a fault.
    }
    return 0;
}
