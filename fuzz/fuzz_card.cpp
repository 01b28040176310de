// The card reader over whatever a card holds: the image is read and
// checked as `trendkeep-card check` does.
#include <string>

#include "CardCheck.h"
#include "CardReader.h"
#include "fuzz_support.h"

namespace {
std::string g_card;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SetUpDaemon("CET-1CEST,M3.5.0,M10.5.0/3");
    g_card = fuzz::MakeTempDir("tk-fuzz-reader");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::MakeCardTree(in, g_card);
    try {
        tk::CardImage image = tk::LoadCard(g_card);
        tk::CheckSummary summary = tk::CheckCard(image);
        (void)summary;
    } catch (const std::exception &) {
        // A card that cannot be read is reported, not a fault.
    }
    return 0;
}
