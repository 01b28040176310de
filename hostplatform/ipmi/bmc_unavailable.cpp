// The host IPMI library of a build without FreeIPMI (the armhf cross build,
// say): a real controller cannot be reached, so TRENDKEEP_IPMI fails every
// session open, saying why.
#include <string>

#include "bmc_session.h"
#include "sensor_source.h"

namespace tk::host {

std::unique_ptr<BmcSession> OpenBmcSession(const char *setting) {
    const std::string why =
        std::string("TRENDKEEP_IPMI=") + setting + ": this build has no IPMI backend (FreeIPMI was not found)";
    TkHostPlatformReportOnce("ipmi", why.c_str());
    return nullptr;
}

}  // namespace tk::host
