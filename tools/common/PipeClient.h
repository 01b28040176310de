// The requester's side of the daemon's two FIFOs.
//
// The protocol has no request id, no status and no error record: an answer
// is matched to its request only by its kind's length and, for history, the
// sensor number it echoes and the day its times fall in; a request that
// cannot be answered gets silence.  So:
//  - requesters take turns through an flock on the request FIFO itself,
//    since two requests in flight at once could take each other's answers
//    (a lock file of our own in /var/tmp could be planted or held by
//    anyone);
//  - the FIFOs are opened only when they are what the daemon made: FIFOs,
//    reached without a link, owned by root or by us; when users other than
//    root and us may read or write them, a warning says that the answers
//    cannot be trusted;
//  - with our turn taken, whatever already waits in the response FIFO was
//    written for a requester that gave up: it is drained before asking;
//  - an answer that is not consistent with the request (another sensor,
//    times outside the day asked for, a count or list the daemon cannot
//    send) is discarded, and reading goes on until the deadline;
//  - every wait for an answer has a deadline.
#ifndef TRENDKEEP_TOOLS_PIPECLIENT_H
#define TRENDKEEP_TOOLS_PIPECLIENT_H

#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "StoreData.h"

namespace tk {

// Exit statuses of the query tool.
enum QueryStatus {
    QUERY_OK = 0,
    QUERY_USAGE = 1,      // bad arguments, or a local failure
    QUERY_NO_DAEMON = 2,  // no FIFOs of the daemon's: it is not running
    QUERY_NO_ANSWER = 3,  // no answer in time, or no such sensor
};

struct SensorEntry {
    unsigned Num;
    std::string Name;  // as listed: at most 16 characters
    unsigned Class;
};

class PipeClient {
public:
    // Opens both FIFOs and takes the requesters' lock; fails with
    // QUERY_NO_DAEMON when they do not exist or are not the daemon's.  With
    // verbose set, says on stderr what it discards from the response FIFO.
    PipeClient(double timeout_seconds, bool verbose);
    ~PipeClient();
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;

    // Each returns nothing when no answer fit for the request came before
    // the deadline.
    std::optional<uint32_t> Count();
    std::optional<std::vector<SensorEntry>> List();
    // day_text is "YYYY-MM-DD"; the response is copied into out.
    bool Data(unsigned num, const std::string &day_text, SensorDataResponse *out);

    double Timeout() const { return TimeoutSeconds; }

    // For a load test that keeps several data requests waiting in the
    // FIFO (the bench's flood), against the rule of one request in flight:
    // SendData puts one request in without waiting (false: the FIFO is
    // full); TakeData waits up to wait_seconds for answers and counts the
    // whole ones that came, fit or unfit for num on day_text.
    struct Taken {
        size_t Fit = 0;
        size_t Unfit = 0;
    };
    bool SendData(unsigned num, const std::string &day_text);
    // Discards what waits in the response FIFO (as every request does
    // first): answers written for a requester that gave up.
    void Drain();
    Taken TakeData(unsigned num, const std::string &day_text, double wait_seconds);

private:
    // Why an answer of the expected length cannot be the one asked for;
    // empty when it can.
    using AnswerCheck = std::function<std::string(const unsigned char *answer)>;

    // Sends one request and waits for its answer of len bytes, which check
    // accepts, and copies it into out; what is read and not accepted is
    // discarded.  kind names the answer in the notes.
    bool Ask(const PipeRequest &req, void *out, size_t len, const char *kind, const AnswerCheck &check);
    void Note(const std::string &text) const;

    double TimeoutSeconds;
    bool Verbose;
    int RequestFd = -1;
    int ResponseFd = -1;
    std::vector<unsigned char> Pending;  // TakeData: part of an answer
};

}  // namespace tk

#endif
