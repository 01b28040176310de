// Process monitor: from registration on, SIGTERM and SIGINT become one
// call of the stop handler.
//
// Registration blocks both signals in the calling thread; the daemon
// registers before it starts its workers, which inherit the mask, so the
// signals are blocked in every thread and stay pending for the monitor's
// own thread, which takes them with sigwait.  The first one calls the
// handler, which normally ends the process; should it return, the thread
// goes on taking the signals (so that they never fall back on their
// default action) without calling the handler again.
//
// A second registration replaces nothing: the first handler stays the one
// that is called.  It is recorded in the log and returns 0, and it blocks
// the signals in its calling thread too.  A null handler is refused, since
// nothing could then stop the process.
//
// TRENDKEEP_PROCMON=refuse (read at every call) refuses every
// registration: non-zero, nothing logged, nothing blocked.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <mutex>

#include "bmc_services.h"
#include "platform_log.h"

namespace {

std::mutex g_mutex;
bool g_watching = false;           // guarded by g_mutex
ProcMonitorStopHandler g_handler;  // set once, before the thread starts

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void *WatchStopSignals(void *) {
    sigset_t set = StopSignals();
    bool called = false;
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (called) continue;
        called = true;
        g_handler(sig);
    }
    return nullptr;
}

// Log text for a name the caller did not give.
const char *Shown(const char *text) { return text != nullptr ? text : "(null)"; }

}  // namespace

int ProcMonitorRegister(const char *program_path, int flags, const char *monitor_name,
                        ProcMonitorStopHandler stop_handler, int options) {
    (void)flags;
    (void)options;
    const char *procmon = getenv("TRENDKEEP_PROCMON");
    if (procmon != nullptr && strcmp(procmon, "refuse") == 0) return 1;
    if (stop_handler == nullptr) return 1;

    TkPlatformLogf(LOG_NOTICE, "P register %s %s", Shown(program_path), Shown(monitor_name));

    std::lock_guard<std::mutex> lock(g_mutex);
    sigset_t set = StopSignals();
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return 1;
    if (g_watching) return 0;

    g_handler = stop_handler;
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attr, WatchStopSignals, nullptr) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return 1;
    }
    g_watching = true;
    return 0;
}

int ProcMonitorDeRegister(const char *program_path) {
    TkPlatformLogf(LOG_NOTICE, "P deregister %s", Shown(program_path));
    return 0;
}
