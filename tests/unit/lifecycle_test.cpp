// Start-up, the FIFO paths and the stop paths, on the fake platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "SensorData.h"
#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "test_support.h"

namespace {

bool IsFifo(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool Exists(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakePlatform();
        g_fake.CardPath = dir_.path();
        RemovePathIfPresent(TK_REQUEST_FIFO);
        RemovePathIfPresent(TK_RESPONSE_FIFO);
    }
    void TearDown() override {
        CleanUp();
        g_threadcreate = pthread_create;
    }
    TempDir dir_;
};

TEST_F(LifecycleTest, NoCardFailsBeforeTouchingTheFifos) {
    g_fake.CardMounted = false;
    std::ofstream(TK_REQUEST_FIFO) << "left over";
    EXPECT_EQ(Init(), -1);
    EXPECT_EQ(g_fake.Count("[StoreTrendkeep][Init]"), 1);
    EXPECT_TRUE(g_fake.Logged("Check mount path faied!"));
    EXPECT_EQ(g_fake.Messages[0].Level, 130);
    EXPECT_TRUE(Exists(TK_REQUEST_FIFO));
    EXPECT_FALSE(IsFifo(TK_REQUEST_FIFO));
    EXPECT_EQ(g_fake.Registered, 0);
    // The clean-up after a failed start still removes what an earlier run left.
    EXPECT_EQ(CleanUp(), 0);
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
}

TEST_F(LifecycleTest, LeftoversAtTheFifoPathsAreReplacedByFreshFifos) {
    ASSERT_EQ(mkfifo(TK_REQUEST_FIFO, 0600), 0);
    std::ofstream(TK_RESPONSE_FIFO) << "a plain file";
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(IsFifo(TK_REQUEST_FIFO));
    EXPECT_TRUE(IsFifo(TK_RESPONSE_FIFO));
    EXPECT_EQ(g_fake.Registered, 1);
    EXPECT_TRUE(g_fake.Messages.empty());
    char path[TK_MOUNT_PATH_SIZE];
    uint64_t free_kb = 0;
    CopyCardStatus(path, &free_kb);
    EXPECT_EQ(std::string(path), dir_.path());
    EXPECT_EQ(free_kb, g_fake.CardFreeKb);
}

TEST_F(LifecycleTest, ALinkAtAFifoPathIsReplacedAndItsTargetLeftAlone) {
    std::string target = dir_.path() + "/precious";
    std::ofstream(target) << "keep me";
    ASSERT_EQ(symlink(target.c_str(), TK_REQUEST_FIFO), 0);
    ASSERT_EQ(symlink("/nonexistent/dangling", TK_RESPONSE_FIFO), 0);
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(IsFifo(TK_REQUEST_FIFO));
    EXPECT_TRUE(IsFifo(TK_RESPONSE_FIFO));
    std::ifstream in(target);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(LifecycleTest, SomethingThatCannotBeReplacedFailsTheCreation) {
    // A non-empty directory cannot be removed; it is no FIFO either.
    ASSERT_EQ(mkdir(TK_RESPONSE_FIFO, 0700), 0);
    std::string inner = std::string(TK_RESPONSE_FIFO) + "/x";
    std::ofstream(inner) << "x";
    EXPECT_EQ(Init(), -1);
    EXPECT_TRUE(g_fake.Logged("Error while creating Zelvar trendkeep Response FIFO [errno-17]"));
    EXPECT_TRUE(IsFifo(TK_REQUEST_FIFO));  // the request FIFO stays
    unlink(inner.c_str());
    rmdir(TK_RESPONSE_FIFO);
}

TEST_F(LifecycleTest, RefusedRegistrationIsLoggedAndStartUpGoesOn) {
    g_fake.RegisterResult = 3;
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(g_fake.Count("Process Monitor Register Trendkeep fails"), 1);
    EXPECT_EQ(g_fake.Messages.size(), 1u);
}

TEST_F(LifecycleTest, CleanUpReleasesEverythingThatIsOpen) {
    ASSERT_EQ(Init(), 0);
    std::string file = dir_.path() + "/f";
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(fd, SENSOR_FILE_SIZE), 0);
    RecordStore.RecordCount = 2;
    RecordStore.SensorArr = static_cast<StoreHandler *>(calloc(2, sizeof(StoreHandler)));
    RecordStore.SensorArr[0].Fd = -1;
    RecordStore.SensorArr[0].Map =
        static_cast<SensorDataFile *>(mmap(nullptr, SENSOR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    RecordStore.SensorArr[1].Fd = fd;
    RecordStore.SensorArr[1].Map = nullptr;
    RecordStore.RecordTimeMap =
        static_cast<RecordTimeFile *>(mmap(nullptr, RECORD_TIME_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    RecordTimeFd = open(file.c_str(), O_RDONLY);
    RecordStore.RequestFifoFd = open(TK_REQUEST_FIFO, O_RDWR);
    RecordStore.ResponseFifoFd = open(TK_RESPONSE_FIFO, O_RDWR);
    int request_fd = RecordStore.RequestFifoFd;

    EXPECT_EQ(CleanUp(), 0);
    EXPECT_EQ(RecordStore.SensorArr, nullptr);
    EXPECT_EQ(RecordStore.RecordTimeMap, nullptr);
    EXPECT_EQ(RecordTimeFd, -1);
    EXPECT_EQ(RecordStore.RequestFifoFd, -1);
    EXPECT_EQ(RecordStore.ResponseFifoFd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);          // the handler's descriptor was closed
    EXPECT_EQ(fcntl(request_fd, F_GETFD), -1);
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
    EXPECT_FALSE(Exists(TK_RESPONSE_FIFO));
    // With nothing left, a second clean-up does nothing and says nothing.
    g_fake.Messages.clear();
    EXPECT_EQ(CleanUp(), 0);
    EXPECT_TRUE(g_fake.Messages.empty());
}

TEST(UnMmap, WithoutAnArrayOnlyLogsTheNotice) {
    ResetFakePlatform();
    StoreHandler *none = nullptr;
    EXPECT_EQ(UnMmap(&none, 5), 0);
    ASSERT_EQ(g_fake.Messages.size(), 1u);
    EXPECT_EQ(g_fake.Messages[0].Level, 134);
    EXPECT_NE(g_fake.Messages[0].Text.find("[UnMmap]["), std::string::npos);
    EXPECT_NE(g_fake.Messages[0].Text.find("Sensor arr is null,no need to Unmmap"), std::string::npos);
}

int FailingCreate(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }
int g_creates_before_failure = 0;
int FailingSecondCreate(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg) {
    if (g_creates_before_failure-- > 0) return pthread_create(t, a, f, arg);
    return EAGAIN;
}

using LifecycleDeathTest = LifecycleTest;

TEST_F(LifecycleDeathTest, AWorkerThatCannotBeCreatedEndsTheProcessWith255) {
    g_fake.EchoMessages = true;
    g_threadcreate = FailingCreate;
    EXPECT_EXIT(TrendkeepMain(), ::testing::ExitedWithCode(255),
                "M 178 \\[main\\]\\[[0-9]+\\]Create thread SensorDataTask failed!");
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
    EXPECT_FALSE(Exists(TK_RESPONSE_FIFO));

    g_threadcreate = FailingSecondCreate;
    g_creates_before_failure = 1;
    EXPECT_EXIT(TrendkeepMain(), ::testing::ExitedWithCode(255),
                "Create thread StoreSensorsDataToFileRecord failed!");
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
}

// Regression: start-up made the list mutex ready a second time, over one
// that was ready (and could be held) already.
TEST_F(LifecycleDeathTest, StartUpLeavesTheListMutexAsItIs) {
    EXPECT_EXIT(
        {
            pthread_mutex_lock(&g_sensordatamutex);
            g_threadcreate = [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) -> int {
                _exit(pthread_mutex_trylock(&g_sensordatamutex) == EBUSY ? 3 : 4);
            };
            TrendkeepMain();
        },
        ::testing::ExitedWithCode(3), "");
}

TEST_F(LifecycleDeathTest, TheStoreThreadRefusesAFifoOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a FIFO away";
    for (const char *path : {TK_REQUEST_FIFO, TK_RESPONSE_FIFO}) {
        ASSERT_EQ(Init(), 0);
        ASSERT_EQ(chown(path, 65534, 65534), 0);
        g_fake.EchoMessages = true;
        EXPECT_EXIT(
            {
                g_sleepms = [](unsigned) { _exit(9); };  // past the opens: the FIFO was taken
                StoreSensorsDataToFileRecord(nullptr);
            },
            ::testing::ExitedWithCode(1), std::string("Error opening named pipe ") + path);
    }
}

TEST_F(LifecycleDeathTest, NoCardAtStartEndsWith2AndRemovesTheFifos) {
    g_fake.EchoMessages = true;
    g_fake.CardMounted = false;
    ASSERT_EQ(mkfifo(TK_RESPONSE_FIFO, 0600), 0);
    EXPECT_EXIT(TrendkeepMain(), ::testing::ExitedWithCode(2), "Check mount path faied!");
    EXPECT_FALSE(Exists(TK_RESPONSE_FIFO));
}

TEST_F(LifecycleDeathTest, StopCallbackEndsWith0AndDeregisters) {
    ASSERT_EQ(Init(), 0);
    g_fake.EchoMessages = true;
    EXPECT_EXIT(
        {
            ProcStopHandler(15);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
}

TEST_F(LifecycleDeathTest, TheFirstStopWinsAndWaitsForTheStoreThread) {
    ASSERT_EQ(Init(), 0);
    EXPECT_EXIT(
        {
            // The store thread is inside a turn: it holds the store lock.
            StoreLock();
            std::thread first([] { StopProcess(7, TK_STOP_CLEANUP); });
            usleep(100 * 1000);
            std::thread second([] { StopProcess(9, TK_STOP_CLEANUP); });
            usleep(100 * 1000);
            // Neither stop could clean up under the store thread's feet.
            if (!IsFifo(TK_REQUEST_FIFO)) _exit(50);
            StoreUnlock();
            first.join();
            second.join();
            _exit(60);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_FALSE(Exists(TK_REQUEST_FIFO));
}

}  // namespace
