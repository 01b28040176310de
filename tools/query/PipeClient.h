// The requester's side of the daemon's two FIFOs.
//
// The protocol has no request id, no status and no error record: an answer
// is recognised only by its length (and, for history, the sensor number it
// echoes), and a request that cannot be answered gets silence.  So:
//  - requesters take turns through an flock on the request FIFO itself,
//    since two requests in flight at once could take each other's answers
//    (a lock file of our own in /var/tmp could be planted or held by
//    anyone);
//  - the FIFOs are opened only when they are what the daemon made: FIFOs,
//    reached without a link, owned by root or by us;
//  - before each request, stale bytes left in the response FIFO by a
//    requester that gave up are drained;
//  - every wait for an answer has a deadline.
#ifndef TRENDKEEP_TOOLS_PIPECLIENT_H
#define TRENDKEEP_TOOLS_PIPECLIENT_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "StoreData.h"

namespace tk {

// Exit statuses of the query tool.
enum QueryStatus {
    QUERY_OK = 0,
    QUERY_USAGE = 1,        // bad arguments, or a local failure
    QUERY_NO_DAEMON = 2,    // no FIFOs of the daemon's: it is not running
    QUERY_NO_ANSWER = 3,    // no answer in time, or no such sensor
};

struct SensorEntry {
    unsigned Num;
    std::string Name;  // as listed: at most 16 characters
    unsigned Class;
};

class PipeClient {
public:
    // Opens both FIFOs and takes the requesters' lock; fails with
    // QUERY_NO_DAEMON when they do not exist or are not the daemon's.
    explicit PipeClient(double timeout_seconds);
    ~PipeClient();
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;

    // Each returns nothing when no answer came before the deadline.
    std::optional<uint32_t> Count();
    std::optional<std::vector<SensorEntry>> List();
    // day_text is "YYYY-MM-DD"; the response is copied into out.
    bool Data(unsigned num, const std::string &day_text, SensorDataResponse *out);

    double Timeout() const { return TimeoutSeconds; }

private:
    // Sends one request and reads exactly len bytes of answer into out;
    // with echo set, answers that do not start with that sensor number are
    // left-overs of someone else's request and are skipped.
    bool Ask(const PipeRequest &req, void *out, size_t len, const uint16_t *echo);
    void Drain();

    double TimeoutSeconds;
    int RequestFd = -1;
    int ResponseFd = -1;
};

}  // namespace tk

#endif
