// What the daemon and the end-to-end tests rely on from the host platform libraries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "bmc_services.h"
#include "libipmi.h"
#include "zelvar_redis.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string &path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"CARD", "CARD_FREE_KB", "PROCMON", "SENSORS", "REDIS"})
            unsetenv(("TRENDKEEP_" + std::string(name)).c_str());
        char pattern[] = "/tmp/tk-host-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("TRENDKEEP_LOG", Path("log").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    std::string Log() const { return ReadFile(Path("log")); }
    void UseSensors(const std::string &json) {  // whole, by rename
        std::ofstream(Path("new")) << json;
        fs::rename(Path("new"), Path("sensors.json"));
        setenv("TRENDKEEP_SENSORS", Path("sensors.json").c_str(), 1);
    }
    std::string dir_;
};

TEST_F(Host, DebugOutputIsOneLinePerMessageWithItsKindAndLevel) {
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "read %s failed\n", "sensor");
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "at %s", "/card");
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "%s", "forged\nM 182 line\n\n");
    EXPECT_EQ(Log(), "D 130 read sensor failed\nM 182 at /card\nD 134 forged?M 182 line?\n");
}

// The card: an existing directory of at most 63 bytes; its free space given or, unset, from statvfs.
TEST_F(Host, CardIsAnExistingDirectoryOfAtMost63Bytes) {
    const std::string fits = dir_ + "/" + std::string(62 - dir_.size(), 'a');
    ASSERT_TRUE(fs::create_directory(fits));
    ASSERT_TRUE(fs::create_directory(fits + "b"));
    std::ofstream(Path("file")) << "x";
    const std::string none = std::string(64, '#') + " 42";  // no card: the out-values left alone
    const std::string cases[][3] = {{dir_ + "///", "1234", dir_ + " 1234"},
                                    {fits, "18446744073709551615", fits + " 18446744073709551615"},
                                    {fits + "b", "1", none},
                                    {Path("file"), "1", none},
                                    {dir_, "12k", none},
                                    {dir_, "18446744073709551616", none}};
    for (const auto &c : cases) {
        setenv("TRENDKEEP_CARD", c[0].c_str(), 1);
        setenv("TRENDKEEP_CARD_FREE_KB", c[1].c_str(), 1);
        char path[65] = {};
        memset(path, '#', 64);
        uint64_t kb = 42;
        int rc = CheckTFCardMountStatus(path, &kb);
        EXPECT_EQ(path + (" " + std::to_string(kb)), c[2]) << c[0] << " " << c[1];
        EXPECT_EQ(rc == 0, c[2] != none);
    }
    unsetenv("TRENDKEEP_CARD_FREE_KB");
    struct statvfs v[2];
    uint64_t kb = 0;
    char path[64];
    ASSERT_EQ(statvfs(dir_.c_str(), &v[0]), 0);
    ASSERT_EQ(CheckTFCardMountStatus(path, &kb), 0);
    ASSERT_EQ(statvfs(dir_.c_str(), &v[1]), 0);
    uint64_t before = v[0].f_bavail * v[0].f_frsize / 1024;  // others may write meanwhile
    uint64_t after = v[1].f_bavail * v[1].f_frsize / 1024;
    EXPECT_TRUE(kb >= std::min(before, after) && kb <= std::max(before, after)) << kb;
}

// The pid file is of the daemon's own: an earlier run's is replaced, anything else moved aside.
TEST_F(Host, SavePidPutsAFileOfItsOwnInPlaceAndMovesAnythingElseAside) {
    const std::string pid = Path("trendkeep.pid");
    for (bool others : {false, true}) {
        std::ofstream(pid) << "123456789 from an earlier run\n";
        ASSERT_EQ(others ? chown(pid.c_str(), 65534, 65534) : 0, 0);  // another user's
        EXPECT_EQ(save_pid(pid.c_str()), 0);
        struct stat st;
        ASSERT_EQ(lstat(pid.c_str(), &st), 0);
        EXPECT_TRUE(st.st_uid == geteuid() && (st.st_mode & 07777) == 0644);
        EXPECT_EQ(ReadFile(pid), std::to_string(getpid()) + "\n");
        int aside = 0;
        for (const auto &e : fs::directory_iterator(dir_))
            aside += e.path().filename().string().rfind("trendkeep.pid.", 0) == 0;
        EXPECT_EQ(aside, others ? 1 : 0);
    }
    EXPECT_EQ(save_pid(Path("missing/trendkeep.pid").c_str()), -1);
}

std::atomic<int> g_stop_calls{0};
std::atomic<pid_t> g_stop_tid{0};
// SIGTERM and SIGINT become one call of the stop handler, on a thread of the monitor's own.
TEST_F(Host, ProcessMonitorTurnsStopSignalsIntoOneCallOnItsOwnThread) {
    pid_t child = fork();  // signals go to the whole process: a process of its own
    if (child == 0) {
        auto stop = [](int) {
            g_stop_tid = gettid();
            ++g_stop_calls;
        };
        if (ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "tk", stop, 0) != 0) _exit(1);
        for (int sig : {SIGINT, SIGTERM, SIGINT}) kill(getpid(), sig);
        for (int i = 0; i < 1000 && g_stop_calls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second call would follow at once
        _exit(g_stop_calls == 1 && g_stop_tid != gettid() ? 0 : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(g_stop_calls, 0);
    EXPECT_EQ(Log(), "P register /usr/sbin/Trendkeep tk\n");
}

// One session as the daemon runs it, into buffers of 4 records with sentinels behind: '1' per call that
// works (open, count, readings, info), then "type:num" per sensor-info record.
std::string Fetch() {
    IPMI20_SESSION_T s;
    uint8_t priv = 4;
    uint32_t count = 0;
    std::string calls = std::to_string(LIBIPMI_Create_IPMI_Local_Session(&s, "", "", &priv, 0, 2, 30) == 0);
    calls += std::to_string(LIBIPMI_HL_GetSensorCount(&s, &count, 30) == 0);
    std::string info;
    for (size_t size : {IPMI_SENSOR_READING_SIZE, IPMI_SENSOR_INFO_SIZE}) {
        std::vector<uint8_t> buf(4 * size + 64, 0xA5);
        uint32_t n = 4;
        int rc = size == IPMI_SENSOR_INFO_SIZE ? LIBIPMI_HL_AMIGetSensorInfo(&s, buf.data(), &n, 30)
                                               : LIBIPMI_HL_GetAllSensorReadings(&s, buf.data(), &n, 30);
        calls += std::to_string(rc == 0);
        EXPECT_EQ(std::count(buf.begin() + 4 * size, buf.end(), 0xA5), 64) << "written past the end";
        for (uint32_t i = 0; size == IPMI_SENSOR_INFO_SIZE && rc == 0 && i < std::min(n, 4u); ++i) {
            const uint8_t *r = &buf[i * size];
            info += " " + std::to_string(r[IPMI_INFO_RECORD_TYPE_OFFSET]) + ":" +
                    std::to_string(r[IPMI_INFO_SENSOR_NUM_OFFSET]);
        }
    }
    LIBIPMI_CloseSession(&s);
    return calls + info;
}

std::string Devid(int num) {  // read little-endian; "-" when the query fails
    uint8_t rec[ZELVAR_DEVREC_SIZE] = {};
    int rc = zelvar_redis_info_basic_interface(1, 0, num, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1);
    return rc != 0 ? "-" : std::to_string(rec[ZELVAR_DEVREC_DEVID_OFFSET] | rec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);
}

std::string Snapshot() {  // the session, the device id of sensor 1, the CPU, memory and IO figures
    std::string out = Fetch() + " " + Devid(1);
    for (int item : {ZELVAR_UTIL_CPU, ZELVAR_UTIL_MEM, ZELVAR_UTIL_IO}) {
        uint8_t v = 0;
        int rc = zelvar_redis_info_basic_interface(1, 9, 0, 0, item, &v, 1, 1);
        out += rc == 0 ? " " + std::to_string(v) : " -";
    }
    return out;
}

// The sensor file answers both libraries ("info": false: no info record; type 1 by default), its "fail"
// list failing the calls it names; a bad file fails every call, logged once until a good one is read.
TEST_F(Host, SensorFileAnswersBothLibrariesAndABadOneFailsThemLoggedOnce) {
    auto file = [](const std::string &fail) {
        return R"({"cpu": 37, "mem": 0, "io": 255, "fail": [)" + fail + R"(], "sensors": [{"num": 1, "name": "A",
            "reading": 1, "devid": 12289, "type": 2}, {"num": 3, "name": "B", "reading": 2, "info": false},
            {"num": 4, "name": "C", "reading": 2}]})";
    };
    const std::string dead = "0000 - - - -";
    const struct {
        std::string File, Snapshot, Cause;  // File "-": none; Cause: what the one log line names
    } cases[] = {
        {file(""), "1111 2:1 1:4 12289 37 0 255", ""},
        {file(R"("session", "cpu")"), "0000 12289 - 0 255", ""},
        {file(R"("count", "devid:1", "io")"), "1011 2:1 1:4 - 37 0 -", ""},
        {file(R"("readings", "mem")"), "1101 2:1 1:4 12289 37 - 255", ""},
        {file(R"("info")"), "1110 12289 37 0 255", ""},
        {"-", dead, "cannot open"},
        {R"({"sensors": [{"num": 256, "name": "A", "reading": 1}]})", dead, "[0].num"},
        {file(""), "1111 2:1 1:4 12289 37 0 255", ""},
        {"[]", dead, "JSON object"},  // after a recovery: logged again
    };
    for (const auto &c : cases) {
        fs::remove(Path("log"));
        fs::remove(Path("sensors.json"));
        if (c.File != "-") UseSensors(c.File);
        setenv("TRENDKEEP_SENSORS", Path("sensors.json").c_str(), 1);
        for (int round = 0; round < 3; ++round) EXPECT_EQ(Snapshot(), c.Snapshot) << c.File;
        std::string log = Log();
        std::string want = "P sensors " + Path("sensors.json: ");
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.Cause.empty() ? 0 : 1) << log;
        EXPECT_TRUE(c.Cause.empty() || (log.rfind(want, 0) == 0 && log.find(c.Cause) != std::string::npos)) << log;
    }
}

// The information store from Redis: device ids and figures as stored, and a
// server killed or frozen failing the calls, logged once while it stays down.
TEST_F(Host, RedisAnswersAndAServerGoneOrFrozenFailsTheCalls) {
    const std::string sock = Path("redis.sock");
    const std::string cli = "redis-cli -s " + sock + " ";
    pid_t server = fork();
    if (server == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", sock.c_str(), "--save", "", nullptr);
        _exit(127);
    }
    std::unique_ptr<pid_t, void (*)(pid_t *)> reaper(&server, [](pid_t *pid) {
        kill(*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
    });
    std::string seed = cli + "mset trendkeep:devid:1 12289 trendkeep:util:cpu 37 trendkeep:util:mem 50 ";
    seed += "trendkeep:util:io 0 trendkeep:devid:2 65536 >/dev/null 2>&1";
    bool seeded = false;
    for (int i = 0; i < 500 && !seeded; ++i) {
        seeded = system(seed.c_str()) == 0;
        if (!seeded) usleep(10000);
    }
    ASSERT_TRUE(seeded);
    setenv("TRENDKEEP_REDIS", ("unix:" + sock).c_str(), 1);
    EXPECT_EQ(Snapshot(), "1111 1:1 1:2 1:3 1:4 12289 37 50 0");  // the readings from the built-in table
    EXPECT_EQ(Devid(2), "-");                                     // out of range
    EXPECT_EQ(Devid(3), "-");                                     // no key
    EXPECT_EQ(Log(), "");
    const std::string down = "1111 1:1 1:2 1:3 1:4 - - - -";
    kill(server, SIGSTOP);
    EXPECT_EQ(Snapshot(), down);
    kill(server, SIGCONT);
    EXPECT_EQ(Devid(1), "12289");
    kill(server, SIGKILL);
    EXPECT_EQ(Snapshot(), down);
    EXPECT_EQ(Snapshot(), down);
    const std::string log = Log();
    EXPECT_EQ(Snapshot(), down);
    EXPECT_EQ(Log(), log) << "logged again while the server stays down";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("P redis unix:" + sock + ": ", 0), 0u);
    EXPECT_FALSE(log.empty());
}

}  // namespace
