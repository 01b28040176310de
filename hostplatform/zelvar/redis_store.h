// The information store's Redis backend, used when TRENDKEEP_REDIS names a
// server: "unix:/path/to/socket" or "host:port" ("[v6addr]:port" too).
//
// Keys, each holding a decimal number:
//   trendkeep:devid:<num>   device id of sensor <num> (0 to 65535)
//   trendkeep:util:cpu      CPU utilisation byte (0 to 255)
//   trendkeep:util:mem      memory utilisation byte
//   trendkeep:util:io       IO utilisation byte
//
// One connection is kept, under a mutex, and made again after any error.
// Connecting and each command give up after 200 ms, so a server that is
// down or stalled fails the query quickly instead of holding the caller.
#ifndef TRENDKEEP_HOSTPLATFORM_REDIS_STORE_H
#define TRENDKEEP_HOSTPLATFORM_REDIS_STORE_H

#include <stdint.h>

#include <optional>
#include <string>

namespace tk::host {

// The value of key on the server named by target when it is a decimal
// number from 0 to max; nothing when the target is malformed, the server
// cannot be reached in time, the key is missing or its value is bad.
// Connection failures are logged once as "P redis <target>: <reason>".
std::optional<uint32_t> RedisGetNumber(const std::string &target, const std::string &key, uint32_t max);

}  // namespace tk::host

#endif
