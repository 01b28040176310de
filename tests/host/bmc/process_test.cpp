// Descriptor wrappers, daemon start-up, the pid file and the process monitor.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bmc_services.h"
#include "bmc_test_support.h"

namespace {

void IgnoreSignal(int) {}

bool SameFile(int fd, const char *path) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool Blocked(int sig) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, sig) == 1;
}

int Fail(const char *why) {
    fprintf(stderr, "child: %s\n", why);
    return 1;
}

std::atomic<int> g_first_calls{0};
std::atomic<int> g_second_calls{0};
std::atomic<pid_t> g_handler_tid{0};

void FirstHandler(int) {
    g_handler_tid = gettid();
    ++g_first_calls;
}
void SecondHandler(int) { ++g_second_calls; }

}  // namespace

TEST_F(PlatformTest, DescriptorWrappersCarryOnAcrossSignals) {
    struct sigaction action = {}, previous;
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: calls see EINTR
    sigaction(SIGUSR1, &action, &previous);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);

    // Interrupts the main thread while it waits in select, then in read,
    // before giving it something to see.
    std::atomic<bool> reading{false};
    pthread_t waiter = pthread_self();
    std::thread poker([&] {
        auto interrupt_then_send = [&](char byte) {
            for (int i = 0; i < 5; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                pthread_kill(waiter, SIGUSR1);
            }
            EXPECT_EQ(write(pipe_fds[1], &byte, 1), 1);
        };
        interrupt_then_send('s');
        WaitUntil([&] { return reading.load(); });
        interrupt_then_send('r');
    });

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(pipe_fds[0], &readable);
    struct timeval timeout = {10, 0};
    EXPECT_EQ(sigwrap_select(pipe_fds[0] + 1, &readable, nullptr, nullptr, &timeout), 1);
    EXPECT_TRUE(FD_ISSET(pipe_fds[0], &readable));
    char got[2] = {};
    EXPECT_EQ(sigwrap_read(pipe_fds[0], &got[0], 1), 1);
    reading = true;
    EXPECT_EQ(sigwrap_read(pipe_fds[0], &got[1], 1), 1);
    poker.join();
    EXPECT_EQ(std::string(got, 2), "sr");
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(PlatformTest, OpenCreatesFilesWithMode0644) {
    std::string path = dir_ + "/created";
    mode_t old_umask = umask(0);
    int fd = sigwrap_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
    umask(old_umask);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sigwrap_write(fd, "abc", 3), 3);
    EXPECT_EQ(sigwrap_close(fd), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(ReadFile(path), "abc");
    EXPECT_EQ(sigwrap_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(PlatformTest, DaemonInitFailsOrStaysInForegroundWhenTold) {
    pid_t pid = getpid();
    setenv("TRENDKEEP_FOREGROUND", "1", 1);
    setenv("TRENDKEEP_DAEMON_INIT", "fail", 1);
    EXPECT_EQ(daemon_init(), -1);
    unsetenv("TRENDKEEP_DAEMON_INIT");
    EXPECT_EQ(daemon_init(), 0);
    EXPECT_EQ(getpid(), pid);
}

TEST_F(PlatformTest, DaemonInitDetachesIntoNewSession) {
    std::string report = dir_ + "/report";
    pid_t test_session = getsid(0);
    int status = RunInChild([&] {
        if (daemon_init() != 0) return 3;
        char cwd[PATH_MAX] = {};
        std::string facts = std::string(getsid(0) != test_session ? "new-session" : "old-session") +
                            (getsid(0) == getpid() ? " leader" : " not-leader") +
                            " cwd=" + (getcwd(cwd, sizeof cwd) ? cwd : "?") +
                            (SameFile(0, "/dev/null") ? " in=null" : " in=?") +
                            (SameFile(1, "/dev/null") ? " out=null" : " out=?") +
                            (SameFile(2, "/dev/null") ? " err=null" : " err=?");
        std::ofstream(report + ".tmp") << facts;
        std::filesystem::rename(report + ".tmp", report);
        return 0;
    });
    // The process that called daemon_init leaves with 0 once detached.
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(report); }));
    EXPECT_EQ(ReadFile(report), "new-session not-leader cwd=/ in=null out=null err=null");
}

TEST_F(PlatformTest, SavePidReplacesFileWithPidLine) {
    std::string path = dir_ + "/trendkeep.pid";
    std::ofstream(path) << "123456789 from an earlier run\n";
    ASSERT_EQ(save_pid(path.c_str()), 0);
    EXPECT_EQ(ReadFile(path), std::to_string(getpid()) + "\n");
    EXPECT_EQ(save_pid((dir_ + "/missing/trendkeep.pid").c_str()), -1);
}

TEST_F(PlatformTest, RefusedRegistrationDoesNothing) {
    setenv("TRENDKEEP_PROCMON", "refuse", 1);
    EXPECT_NE(ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "trendkeep", FirstHandler, 0), 0);
    EXPECT_FALSE(Blocked(SIGTERM));
    EXPECT_FALSE(Blocked(SIGINT));
    EXPECT_FALSE(std::filesystem::exists(log_));

    unsetenv("TRENDKEEP_PROCMON");
    EXPECT_EQ(ProcMonitorDeRegister("/usr/sbin/Trendkeep"), 0);
    EXPECT_EQ(ReadLog(), "P deregister /usr/sbin/Trendkeep\n");
}

TEST_F(PlatformTest, StopSignalsCallFirstHandlerOnceOnPlatformThread) {
    int status = RunInChild([&] {
        if (ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "trendkeep", FirstHandler, 0) != 0)
            return Fail("register refused");
        if (ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "again", SecondHandler, 0) != 0)
            return Fail("second register refused");
        if (!Blocked(SIGTERM) || !Blocked(SIGINT)) return Fail("signals not blocked");

        kill(getpid(), SIGTERM);
        if (!WaitUntil([] { return g_first_calls > 0; })) return Fail("handler not called");
        kill(getpid(), SIGINT);
        kill(getpid(), SIGTERM);
        // Once the monitor has taken both, a wrong call would follow at once.
        WaitUntil([] {
            sigset_t pending;
            sigpending(&pending);
            return !sigismember(&pending, SIGINT) && !sigismember(&pending, SIGTERM);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_first_calls != 1 || g_second_calls != 0) return Fail("handler calls wrong");
        if (g_handler_tid == gettid()) return Fail("handler called on the caller's thread");
        if (ReadFile(log_) != "P register /usr/sbin/Trendkeep trendkeep\n"
                              "P register /usr/sbin/Trendkeep again\n")
            return Fail("log lines wrong");
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
