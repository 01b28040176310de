// Request records, whole, cut short or run together, through the whole
// dispatch of one store turn: read from the request FIFO, the count, list
// and data answers over a store with history, and the response writes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fuzz_support.h"

namespace {

int g_response[2] = {-1, -1};
time_t g_storetime;

void Drain(int fd) {
    char buf[16384];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SetUpDaemon("CET-1CEST,M3.5.0,M10.5.0/3");
    // From the evening of 24 October 2026 over the night of the change
    // back from summer time.
    std::string card = fuzz::BuildStoreWithHistory(1792526400, 120);
    g_storetime = fuzz::g_now;
    if (pipe2(g_response, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    fcntl(g_response[1], F_SETPIPE_SZ, 1 << 20);
    RecordStore.ResponseFifoFd = g_response[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 131 * 24) return -1;
    int request[2];
    if (pipe2(request, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(request[1], data + done, size - done);
        if (n <= 0) abort();
        done += (size_t)n;
    }
    // The requester is gone once it has written: a record cut short ends
    // at the end of the pipe instead of waiting for the rest.
    close(request[1]);
    RecordStore.RequestFifoFd = request[0];
    // The same time as the store's last turn: nothing but the requests
    // changes between inputs.
    fuzz::g_now = g_storetime;
    for (int turn = 0; turn < 32; ++turn) {
        int pending = 0;
        if (ioctl(request[0], FIONREAD, &pending) != 0 || pending == 0) break;
        StoreLoopTurn((int32_t)g_storetime, 0);
        Drain(g_response[0]);
    }
    close(request[0]);
    RecordStore.RequestFifoFd = -1;
    return 0;
}
