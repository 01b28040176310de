// Debug output: each message becomes one platform log line,
// "D <level> <text>" for IDBG_LINUXAPP_DbgOut and "M <level> <text>" for
// IDBG_LINUXAPP_MaintenceOut.  The log writer drops one trailing newline
// and writes the line with a single write, so messages from several
// threads never interleave.
#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "bmc_services.h"
#include "platform_log.h"

namespace {

void Emit(char kind, int level, const char *fmt, va_list ap) {
    // The prefix holds no conversion, so it is put in front of the caller's
    // format and the whole line is formatted once.
    char prefix[32];
    snprintf(prefix, sizeof prefix, "%c %d ", kind, level);
    std::string line_format(prefix);
    line_format += fmt != nullptr ? fmt : "";
    // The firmware's levels carry the syslog severity in their low three
    // bits: 130 and 178 are critical, 134 and 182 informational.
    TkPlatformLogv(level & 7, line_format.c_str(), ap);
}

}  // namespace

void IDBG_LINUXAPP_DbgOut(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Emit('D', level, fmt, ap);
    va_end(ap);
}

void IDBG_LINUXAPP_MaintenceOut(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Emit('M', level, fmt, ap);
    va_end(ap);
}
