#include "bmc_test_support.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char *const kSettings[] = {"TRENDKEEP_CARD", "TRENDKEEP_CARD_FREE_KB", "TRENDKEEP_LOG",
                                 "TRENDKEEP_FOREGROUND", "TRENDKEEP_DAEMON_INIT",
                                 "TRENDKEEP_PROCMON"};

}  // namespace

void PlatformTest::SetUp() {
    char pattern[] = "/tmp/tk-bmc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_ = dir_ + "/platform.log";
    for (const char *name : kSettings) unsetenv(name);
    setenv("TRENDKEEP_LOG", log_.c_str(), 1);
}

void PlatformTest::TearDown() {
    for (const char *name : kSettings) unsetenv(name);
    std::filesystem::remove_all(dir_);
}

std::string PlatformTest::ReadLog() const { return ReadFile(log_); }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int RunInChild(const std::function<int()> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = -1;
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "child hung";
    return status;
}

bool WaitUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}
