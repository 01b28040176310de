// Start-up over what stands at the FIFO paths, the store's release and the ways out, on the fake platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

mode_t Mode(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 ? st.st_mode : 0;
}
bool Fifos() { return S_ISFIFO(Mode(TK_REQUEST_FIFO)) && S_ISFIFO(Mode(TK_RESPONSE_FIFO)); }
bool Gone() { return !Mode(TK_REQUEST_FIFO) && !Mode(TK_RESPONSE_FIFO); }

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        CleanUp();
        ResetFakePlatform();
        g_fake.CardPath = dir_.path();
    }
    void TearDown() override { CleanUp(); }
    TempDir dir_;
};

// The release closes and forgets every descriptor and mapping; the clean-up also removes the FIFO paths.
TEST_F(LifecycleTest, ReleaseStoreLetsGoOfEverythingAndCleanUpAlsoOfTheFifoPaths) {
    ASSERT_EQ(Init(), 0);
    int fd = open((dir_.path() + "/f").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(fd, SENSOR_FILE_SIZE), 0);
    void *map = mmap(nullptr, SENSOR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    RecordStore.RecordCount = 1;
    RecordStore.SensorArr = static_cast<StoreHandler *>(calloc(1, sizeof(StoreHandler)));
    RecordStore.SensorArr[0] = {fd, static_cast<SensorDataFile *>(map), 0};
    RecordTimeFd = dup(fd);
    RecordStore.RequestFifoFd = open(TK_REQUEST_FIFO, O_RDWR);
    RecordStore.ResponseFifoFd = open(TK_RESPONSE_FIFO, O_RDWR);
    const int fds[] = {fd, RecordTimeFd, RecordStore.RequestFifoFd, RecordStore.ResponseFifoFd};
    EXPECT_EQ(ReleaseStore(), 0);
    for (int d : fds) EXPECT_EQ(fcntl(d, F_GETFD), -1) << d;
    EXPECT_TRUE(!RecordStore.SensorArr && !RecordStore.RecordCount && RecordTimeFd == -1);
    EXPECT_TRUE(RecordStore.RequestFifoFd == -1 && RecordStore.ResponseFifoFd == -1 && Fifos());
    EXPECT_EQ(CleanUp(), 0);
    EXPECT_TRUE(Gone() && g_fake.Messages.empty());
}

int CreateNothing(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return 0; }
void Leave(const char *request, const char *response) {  // what an earlier run left at the FIFO paths
    const char *paths[] = {TK_REQUEST_FIFO, TK_RESPONSE_FIFO}, *left[] = {request, response};
    for (int i = 0; i < 2; ++i) {
        std::string what = left[i];
        unlink(paths[i]);  // never open a FIFO a failed run left
        if (what == "fifo") mkfifo(paths[i], 0600);
        if (what == "file") std::ofstream(paths[i]) << "x";
        if (what == "dir") mkdir(paths[i], 0700);  // cannot be removed: moved aside, whole
        if (what == "dir") std::ofstream(std::string(paths[i]) + "/x") << "x";
        if (what.rfind("link:", 0) == 0) (void)!symlink(what.c_str() + 5, paths[i]);
    }
}
std::vector<std::string> Aside(const std::string &path) {  // what was moved aside: "<path>.XXXXXX"
    std::vector<std::string> found;
    for (const auto &e : std::filesystem::directory_iterator("/var/tmp")) {
        std::string name = e.path().string();
        if (name.rfind(path + ".", 0) == 0 && name.size() == path.size() + 7) found.push_back(name);
    }
    return found;
}

// Runs body in a death test's child, messages and deregistration echoed on standard error; 99: it returned.
void RunChild(const std::function<void()> &body) {
    g_fake.EchoMessages = true;
    g_fake.OnDeregister = [](const char *path) { fprintf(stderr, "P deregister %s\n", path); };
    body();
    _exit(99);
}

using LifecycleDeathTest = LifecycleTest;

// Every way the process ends, each in a child, with what it says on standard error.
TEST_F(LifecycleDeathTest, EveryWayOutEndsWithItsStatus) {
    const std::string victim = dir_.path() + "/victim", link = "link:" + victim;
    const struct {
        const char *Name;
        std::function<void()> Run;
        int Status;
        const char *Output;
    } cases[] = {
        {"stop callback, over a link and a directory with a file, moved aside whole",
         [&] {
             Leave(link.c_str(), "dir");
             if (Init() != 0 || !Fifos()) return;
             std::vector<std::string> aside = Aside(TK_RESPONSE_FIFO);
             if (aside.size() == 1 && std::ifstream(aside[0] + "/x").good()) ProcStopHandler(15);
         },
         0,
         "^D 134 .*Moved what stood at /var/tmp/pipe_restful_to_cups aside.*"
         "Moved what stood at /var/tmp/pipe_cups_to_restful aside.*\nP deregister /usr/local/bin/Trendkeep\n$"},
        {"card lost, over a FIFO and a file, not registered, no pid file",
         [] {
             Leave("fifo", "file");
             g_fake.RegisterResult = 3;
             g_threadcreate = CreateNothing;
             g_fake.Fail = {"pid"};
             g_sleepms = [](unsigned ms) {
                 if (ms != 30000 || !Fifos()) _exit(97);
                 g_fake.CardMounted = false;
             };
             TrendkeepMain();
         },
         1,
         "M 178 \\[Trendkeep.cpp\\]\\[[0-9]+\\]Save pid file /var/tmp/Trendkeep failed \\[errno-13\\]\n.*"
         "D 134 \\[Trendkeep.cpp:[0-9]+\\]Moved what stood at /var/tmp/pipe_cups_to_restful aside to "
         "/var/tmp/pipe_cups_to_restful\\.[A-Za-z0-9]{6}\n.*"
         "D 130 \\[Trendkeep.cpp:[0-9]+\\]Process Monitor Register Trendkeep fails\n.*"
         "M 178 \\[Trendkeep.cpp\\]\\[[0-9]+\\]Check TFCard mount status failed!Program will exit!\n.*P deregister"},
        {"no list",
         [] {
             Init();
             g_fake.Fail = {"session"};
             SensorDataTask(nullptr);
         },
         1, "M 178 \\[SensorDataTask\\]\\[[0-9]+\\]Init sensor data list failed,program will exit and retry!"},
        {"the first stop wins and waits for the store thread",
         [] {
             Init();
             StoreLock();  // the store thread is inside a turn
             std::thread first([] { StopProcess(7, TK_STOP_CLEANUP); });
             usleep(100 * 1000);
             std::thread second([] { StopProcess(9, TK_STOP_CLEANUP); });
             usleep(100 * 1000);
             if (!Fifos()) return;  // something was cleaned up under its feet
             StoreUnlock();
             first.join();
         },
         7, ""},
        // Not a way out: queued requests are answered turn after turn, with a pause after a second of turns.
        {"queued requests",
         [] {
             static LocalSensorData entry = {};
             g_localdatahdr = LocalDataHdr{0, 0, 1, 1, &entry};
             g_monotonicms = [] {
                 static int64_t ms = 0;
                 ms += 600;
                 return ms;
             };
             std::vector<uint8_t> counts(4 * sizeof(PipeRequest), 0);
             for (size_t at = 0; at < counts.size(); at += sizeof(PipeRequest)) counts[at] = SENSOR_COUNT_REQ;
             int requester = Init() == 0 ? open(TK_REQUEST_FIFO, O_RDWR | O_NONBLOCK) : -1;
             if (write(requester, counts.data(), counts.size()) != (ssize_t)counts.size()) return;
             g_sleepms = [](unsigned ms) {
                 char answers[64];
                 ssize_t got = read(open(TK_RESPONSE_FIFO, O_RDWR | O_NONBLOCK), answers, sizeof answers);
                 fprintf(stderr, "paused %u ms after %zd bytes of answers\n", ms, got);
                 _exit(CleanUp());
             };
             StoreSensorsDataToFileRecord(nullptr);
         },
         0, "paused 100 ms after 12 bytes of answers"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        std::ofstream(victim) << "untouched";
        EXPECT_EXIT(RunChild(c.Run), ::testing::ExitedWithCode(c.Status), c.Output);
        EXPECT_TRUE(Gone());
        for (const char *path : {TK_REQUEST_FIFO, TK_RESPONSE_FIFO})
            for (const std::string &aside : Aside(path)) std::filesystem::remove_all(aside);
        std::string content;
        EXPECT_TRUE(std::getline(std::ifstream(victim), content) && content == "untouched");
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a FIFO away";
    for (const char *path : {TK_REQUEST_FIFO, TK_RESPONSE_FIFO}) {
        auto given_away = [path] {
            if (Init() != 0 || chown(path, 65534, 65534) != 0) _exit(98);
            g_sleepms = [](unsigned) { _exit(9); };  // past the opens: the FIFO was taken
            StoreSensorsDataToFileRecord(nullptr);
        };
        std::string refused = std::string("Error opening named pipe ") + path;
        EXPECT_EXIT(RunChild(given_away), ::testing::ExitedWithCode(1), refused);
        EXPECT_TRUE(Gone());
    }
}

}  // namespace
