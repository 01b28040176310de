// The information store's Redis backend against a real redis-server that
// each test starts on a private Unix socket.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include <chrono>
#include <thread>

#include "host_test_support.h"

namespace tk::test {
namespace {

using Clock = std::chrono::steady_clock;

class RedisStore : public HostLibraryTest {
  protected:
    void SetUp() override {
        HostLibraryTest::SetUp();
        socket_ = dir_ + "/redis.sock";
        target_ = "unix:" + socket_;
        setenv("TRENDKEEP_REDIS", target_.c_str(), 1);
        StartServer();
    }
    void TearDown() override {
        StopServer();
        HostLibraryTest::TearDown();
    }

    // Starts redis-server and waits until it answers.
    void StartServer() {
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", socket_.c_str(), "--save",
                   "", "--appendonly", "no", "--daemonize", "no", static_cast<char *>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
        for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
            if (Command("PING")) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "redis-server did not start";
    }
    void StopServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Runs one command on a connection of the test's own.
    template <typename... Args>
    bool Command(const char *format, Args... args) {
        redisContext *c = redisConnectUnixWithTimeout(socket_.c_str(), {1, 0});
        bool ok = false;
        if (c != nullptr && c->err == 0) {
            auto *reply = static_cast<redisReply *>(redisCommand(c, format, args...));
            ok = reply != nullptr && reply->type != REDIS_REPLY_ERROR;
            if (reply != nullptr) freeReplyObject(reply);
        }
        if (c != nullptr) redisFree(c);
        return ok;
    }
    void Seed() {
        ASSERT_TRUE(Command("MSET trendkeep:devid:1 12289 trendkeep:devid:255 65535 trendkeep:util:cpu 37 "
                            "trendkeep:util:mem 50 trendkeep:util:io 0"));
    }

    // A query that must fail, and come back rather than wait on the server
    // (a hang guard, far above the library's time-outs).
    void ExpectFailsPromptly() {
        auto start = Clock::now();
        uint16_t devid = 0;
        uint8_t util = 0;
        EXPECT_NE(QueryDevid(1, &devid), 0);
        EXPECT_NE(QueryUtil(ZELVAR_UTIL_IO, &util), 0);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    }

    std::string socket_, target_;
    pid_t pid_ = -1;
};

TEST_F(RedisStore, AnswersFromTheKeysAndRejectsBadValues) {
    Seed();
    uint16_t devid = 0;
    uint8_t cpu = 0, mem = 0, io = 9;
    EXPECT_EQ(QueryDevid(1, &devid), 0);
    EXPECT_EQ(devid, 12289);
    EXPECT_EQ(QueryDevid(255, &devid), 0);
    EXPECT_EQ(devid, 65535);
    EXPECT_EQ(QueryUtil(ZELVAR_UTIL_CPU, &cpu), 0);
    EXPECT_EQ(QueryUtil(ZELVAR_UTIL_MEM, &mem), 0);
    EXPECT_EQ(QueryUtil(ZELVAR_UTIL_IO, &io), 0);
    EXPECT_EQ(cpu, 37);
    EXPECT_EQ(mem, 50);
    EXPECT_EQ(io, 0);
    EXPECT_NE(QueryDevid(2, &devid), 0);  // missing key (the built-in table has sensor 2)
    for (const char *bad : {"", "abc", "-1", "65536", "12 ", "1e3", "99999999999"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(Command("SET trendkeep:devid:1 %s", bad));
        EXPECT_NE(QueryDevid(1, &devid), 0);
    }
    ASSERT_TRUE(Command("SET trendkeep:util:cpu 256"));
    EXPECT_NE(QueryUtil(ZELVAR_UTIL_CPU, &cpu), 0);
    ASSERT_TRUE(Command("DEL trendkeep:util:mem") && Command("RPUSH trendkeep:util:mem 5"));
    EXPECT_NE(QueryUtil(ZELVAR_UTIL_MEM, &mem), 0);  // wrong type
    EXPECT_EQ(QueryUtil(ZELVAR_UTIL_IO, &io), 0);    // the connection still serves
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(RedisStore, SensorFileFailEntriesStillHold) {
    Seed();
    UseSensorFile(R"({"fail": ["devid:255", "cpu"], "sensors": []})");
    uint16_t devid = 0;
    uint8_t util = 0;
    EXPECT_EQ(QueryDevid(1, &devid), 0);  // not in the file: Redis answers
    EXPECT_NE(QueryDevid(255, &devid), 0);
    EXPECT_NE(QueryUtil(ZELVAR_UTIL_CPU, &util), 0);
    EXPECT_EQ(QueryUtil(ZELVAR_UTIL_MEM, &util), 0);
    UseSensorFile("not json");
    EXPECT_NE(QueryDevid(1, &devid), 0);
}

TEST_F(RedisStore, ServerGoneMidRunFailsPromptlyAndIsFoundAgain) {
    Seed();
    uint16_t devid = 0;
    ASSERT_EQ(QueryDevid(1, &devid), 0);  // the connection is now kept
    StopServer();
    ExpectFailsPromptly();
    ExpectFailsPromptly();
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);  // once while it stays down
    EXPECT_EQ(lines[0].rfind("P redis " + target_ + ": ", 0), 0u) << lines[0];

    StartServer();
    Seed();
    EXPECT_EQ(QueryDevid(1, &devid), 0);
    // Restarted behind a kept connection: reached at the first query.
    StopServer();
    StartServer();
    Seed();
    EXPECT_EQ(QueryDevid(1, &devid), 0);
}

TEST_F(RedisStore, StalledServerFailsPromptly) {
    Seed();
    uint16_t devid = 0;
    ASSERT_EQ(QueryDevid(1, &devid), 0);
    kill(pid_, SIGSTOP);
    ExpectFailsPromptly();
    kill(pid_, SIGCONT);
    EXPECT_EQ(QueryDevid(1, &devid), 0);
}

TEST_F(RedisStore, BadTargetsFailPromptly) {
    Seed();
    const std::string bad[] = {"nonsense", "unix:", ":6379", "localhost:", "localhost:0", "localhost:65536",
                               "localhost:http", "127.0.0.1:1", "unix:" + dir_ + "/none.sock"};
    for (const std::string &target : bad) {
        SCOPED_TRACE(target);
        setenv("TRENDKEEP_REDIS", target.c_str(), 1);
        ExpectFailsPromptly();
    }
    EXPECT_EQ(LogLines("P redis ").size(), std::size(bad));  // once each
    setenv("TRENDKEEP_REDIS", target_.c_str(), 1);
    uint16_t devid = 0;
    EXPECT_EQ(QueryDevid(1, &devid), 0);
}

}  // namespace
}  // namespace tk::test
