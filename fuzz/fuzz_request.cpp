// Request records, whole, cut short or run together, through the store's
// turns: read from the request FIFO, the count, list and data answers over a
// store with history, and the response writes.
#include <sys/ioctl.h>

#include "fuzz_support.h"

int g_response[2];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::StoreWithHistory(1792526400,
                           120);  // from the evening of 24 October 2026 over the change back from summer time
    if (pipe2(g_response, O_NONBLOCK | O_CLOEXEC) != 0) abort();
    fcntl(g_response[1], F_SETPIPE_SZ, 1 << 20);
    RecordStore.ResponseFifoFd = g_response[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t kNow = (int32_t)fuzz::g_now;  // nothing but the requests changes between inputs
    int request[2];
    if (size > sizeof(PipeRequest) * 24 || pipe2(request, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    if (write(request[1], data, size) != (ssize_t)size) abort();
    close(request[1]);  // the requester is gone: a record cut short ends with the pipe
    RecordStore.RequestFifoFd = request[0];
    g_fake.Messages.clear();
    char sink[16384];
    int pending = 1;
    for (int turn = 0; turn < 32 && pending > 0; ++turn) {
        StoreLoopTurn(kNow, 0);
        if (ioctl(request[0], FIONREAD, &pending) != 0) pending = 0;
        while (read(g_response[0], sink, sizeof sink) > 0) {}
    }
    close(request[0]);
    RecordStore.RequestFifoFd = -1;
    return 0;
}
