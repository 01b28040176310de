// What the daemon and the end-to-end tests rely on from the host platform
// libraries: the card check, the pid file, the process monitor's stop, the
// sensor file answered through both the IPMI library and the information
// store, and Redis failing promptly once its server is gone or frozen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
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

bool WaitUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// A private directory per test with the platform log in it.
class Host : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"CARD", "CARD_FREE_KB", "PROCMON", "SENSORS", "REDIS"}) {
            unsetenv(("TRENDKEEP_" + std::string(name)).c_str());
        }
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

// BMC services

// One call, one line, whatever the text holds.
TEST_F(Host, DebugOutputIsOneLinePerMessageWithItsKindAndLevel) {
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "read %s failed\n", "sensor");
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "at %s", "/card");
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "%s", "forged\nM 182 line\n\n");
    EXPECT_EQ(Log(), "D 130 read sensor failed\nM 182 at /card\nD 134 forged?M 182 line?\n");
}

// The card: an existing directory named in at most 63 bytes, its free space
// given or, unset, what statvfs leaves for unprivileged use.
TEST_F(Host, CardIsAnExistingDirectoryOfAtMost63Bytes) {
    const std::string fits = dir_ + "/" + std::string(62 - dir_.size(), 'a');
    ASSERT_TRUE(fs::create_directory(fits));
    ASSERT_TRUE(fs::create_directory(fits + "b"));
    std::ofstream(Path("file")) << "x";
    const struct {
        std::string Card;
        const char *FreeKb;
        std::string Path;  // empty: no card, the out-values left alone
        uint64_t Kb;
    } cases[] = {{dir_ + "///", "1234", dir_, 1234},
                 {fits, "18446744073709551615", fits, UINT64_MAX},
                 {fits + "b", "1", "", 0},
                 {Path("pulled"), "1", "", 0},
                 {Path("file"), "1", "", 0},
                 {"", "1", "", 0},
                 {dir_, "12k", "", 0},
                 {dir_, "-1", "", 0},
                 {dir_, "18446744073709551616", "", 0}};
    for (const auto &c : cases) {
        setenv("TRENDKEEP_CARD", c.Card.c_str(), 1);
        setenv("TRENDKEEP_CARD_FREE_KB", c.FreeKb, 1);
        char path[65] = {};
        memset(path, '#', 64);
        uint64_t kb = 42;
        int rc = CheckTFCardMountStatus(path, &kb);
        EXPECT_EQ(rc == 0, !c.Path.empty()) << c.Card << " " << c.FreeKb;
        EXPECT_EQ(std::string(path), c.Path.empty() ? std::string(64, '#') : c.Path) << c.Card;
        EXPECT_EQ(kb, c.Path.empty() ? 42 : c.Kb) << c.Card;
    }
    setenv("TRENDKEEP_CARD", dir_.c_str(), 1);
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

// The pid file is a file of the daemon's own: an earlier run's is replaced,
// anything else is moved aside.
TEST_F(Host, SavePidPutsAFileOfItsOwnInPlaceAndMovesAnythingElseAside) {
    const std::string pid = Path("trendkeep.pid");
    for (bool others : {false, true}) {
        std::ofstream(pid) << "123456789 from an earlier run\n";
        int given = others ? chown(pid.c_str(), 65534, 65534) : 0;  // another user's
        ASSERT_EQ(given, 0);
        EXPECT_EQ(save_pid(pid.c_str()), 0);
        struct stat st;
        ASSERT_EQ(lstat(pid.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 07777, 0644u);
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

// SIGTERM and SIGINT become one call of the stop handler, on a thread of
// the monitor's own; a refused registration takes no signal.
TEST_F(Host, ProcessMonitorTurnsStopSignalsIntoOneCallOnItsOwnThread) {
    setenv("TRENDKEEP_PROCMON", "refuse", 1);
    EXPECT_NE(ProcMonitorRegister(
                  "/usr/sbin/Trendkeep", 0, "tk", [](int) { ++g_stop_calls; }, 0),
              0);
    unsetenv("TRENDKEEP_PROCMON");
    pid_t child = fork();  // signals go to the whole process: a process of its own
    if (child == 0) {
        auto stop = [](int) {
            g_stop_tid = gettid();
            ++g_stop_calls;
        };
        if (ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "tk", stop, 0) != 0) _exit(1);
        for (int sig : {SIGINT, SIGTERM, SIGINT}) kill(getpid(), sig);
        WaitUntil([] { return g_stop_calls > 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second call would follow at once
        _exit(g_stop_calls == 1 && g_stop_tid != gettid() ? 0 : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(g_stop_calls, 0);
    EXPECT_EQ(Log(), "P register /usr/sbin/Trendkeep tk\n");
}

// One session as the daemon runs it, into buffers of capacity records with
// sentinels behind.  Gives '1' per call that works (open, count, readings,
// info), the count, "num name reading skip" per reading record and
// "type:num" per sensor-info record.
std::vector<std::string> Fetch(uint32_t capacity) {
    IPMI20_SESSION_T s;
    uint8_t priv = 4;
    uint32_t count = 0;
    std::vector<std::string> out = {"", ""};
    out[0] += std::to_string(LIBIPMI_Create_IPMI_Local_Session(&s, "", "", &priv, 0, 2, 30) == 0);
    out[0] += std::to_string(LIBIPMI_HL_GetSensorCount(&s, &count, 30) == 0);
    out[1] = std::to_string(count);
    for (size_t size : {IPMI_SENSOR_READING_SIZE, IPMI_SENSOR_INFO_SIZE}) {
        std::vector<uint8_t> buf(capacity * size + 64, 0xA5);
        std::fill_n(buf.begin(), capacity * size, 0);
        uint32_t n = capacity;
        const bool info = size == IPMI_SENSOR_INFO_SIZE;
        int rc = info ? LIBIPMI_HL_AMIGetSensorInfo(&s, buf.data(), &n, 30)
                      : LIBIPMI_HL_GetAllSensorReadings(&s, buf.data(), &n, 30);
        out[0] += std::to_string(rc == 0);
        n = rc == 0 ? std::min(n, capacity) : 0;
        EXPECT_EQ(std::count(buf.begin() + capacity * size, buf.end(), 0xA5), 64) << "written past the end";
        for (const uint8_t *r = buf.data(); r < buf.data() + n * size; r += size) {
            double v;
            memcpy(&v, r + IPMI_READING_VALUE_OFFSET, sizeof v);
            const char *name = reinterpret_cast<const char *>(r + IPMI_READING_NAME_OFFSET);
            char text[64];
            snprintf(text, sizeof text, "%u %.29s %g %u", r[IPMI_READING_NUM_OFFSET], name, v,
                     r[IPMI_READING_SKIP_OFFSET]);
            if (info)
                snprintf(text, sizeof text, "%u:%u", r[IPMI_INFO_RECORD_TYPE_OFFSET], r[IPMI_INFO_SENSOR_NUM_OFFSET]);
            out.push_back(text);
        }
    }
    LIBIPMI_CloseSession(&s);
    return out;
}

// The device id of sensor num, read little-endian; "-" when the query fails.
std::string Devid(int num) {
    uint8_t rec[ZELVAR_DEVREC_SIZE] = {};
    int rc = zelvar_redis_info_basic_interface(1, 0, num, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1);
    return rc != 0 ? "-" : std::to_string(rec[ZELVAR_DEVREC_DEVID_OFFSET] | rec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);
}

// Every call the daemon makes: '1' per IPMI call that works, the device id
// of sensor 1, the CPU, memory and IO figures.
std::string Snapshot() {
    std::string out = Fetch(4)[0] + " " + Devid(1);
    for (int item : {ZELVAR_UTIL_CPU, ZELVAR_UTIL_MEM, ZELVAR_UTIL_IO}) {
        uint8_t v = 0;
        int rc = zelvar_redis_info_basic_interface(1, 9, 0, 0, item, &v, 1, 1);
        out += rc == 0 ? " " + std::to_string(v) : " -";
    }
    return out;
}

TEST_F(Host, IpmiRecordsFollowTheSensorFileWithinTheCapacity) {
    UseSensors(R"({"sensors": [{"num": 1, "name": "CPU0_Temp", "type": 1, "skip": 0, "reading": 45.5},
        {"num": 7, "name": "FAN1", "type": 2, "skip": 1, "reading": 1200}, {"num": 9, "name": "PSU", "type": 3,
        "reading": -2.25, "info": false}, {"num": 7, "name": "Very_Long_Sensor_Name_That_Goes_On", "reading": 40}]})");
    const std::vector<std::string> readings = {"1 CPU0_Temp 45.5 0", "7 FAN1 1200 1", "9 PSU -2.25 0",
                                               "7 Very_Long_Sensor_Name_That_Go 40 0"};  // names cut to 29
    const std::vector<std::string> info = {"1:1", "2:7", "1:7"};  // "info": false has none; type 1 by default
    for (uint32_t capacity : {0u, 3u, 9u}) {
        std::vector<std::string> want = {"1111", "4"};
        want.insert(want.end(), readings.begin(), readings.begin() + std::min(capacity, 4u));
        want.insert(want.end(), info.begin(), info.begin() + std::min(capacity, 3u));
        EXPECT_EQ(Fetch(capacity), want);
    }
}

// The sensor file answers both libraries, and its "fail" list fails the
// calls it names; a bad file fails every call and is logged once until a
// good one is read again.
TEST_F(Host, SensorFileAnswersBothLibrariesAndABadOneFailsThemLoggedOnce) {
    auto file = [](const std::string &fail) {
        return R"({"cpu": 37, "mem": 0, "io": 255, "fail": [)" + fail + R"(], "sensors": [{"num": 1, "name": "A",
            "reading": 1, "devid": 12289}, {"num": 1, "name": "B", "reading": 2, "devid": 7}]})";
    };
    const std::string dead = "0000 - - - -";
    const struct {
        std::string File, Snapshot, Cause;  // File "-": none; Cause: what the one log line names
    } cases[] = {
        {file(""), "1111 12289 37 0 255", ""},
        {file(R"("session")"), "0000 12289 37 0 255", ""},
        {file(R"("count", "devid:1")"), "1011 - 37 0 255", ""},
        {file(R"("readings", "cpu")"), "1101 12289 - 0 255", ""},
        {file(R"("info", "mem")"), "1110 12289 37 - 255", ""},
        {file(R"("io")"), "1111 12289 37 0 -", ""},
        {"-", dead, "cannot open"},
        {"{\"sensors\": [", dead, "not valid JSON"},
        {R"({"sensors": [{"num": 256, "name": "A", "reading": 1}]})", dead, "[0].num"},
        {file(""), "1111 12289 37 0 255", ""},
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

TEST_F(Host, RedisAnswersAndAServerKilledFrozenOrNotThereFails) {
    const std::string sock = Path("redis.sock");
    pid_t server = -1;
    auto cli = [&](const std::string &args) {
        return system(("redis-cli -s " + sock + " " + args + " >/dev/null 2>&1").c_str()) == 0;
    };
    auto start = [&] {  // true once it answers, seeded
        server = fork();
        if (server == 0) {
            dup2(open("/dev/null", O_WRONLY), 1);
            execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", sock.c_str(), "--save", "", nullptr);
            _exit(127);
        }
        bool up = WaitUntil([&] { return cli("ping"); });
        return up &&
               cli("mset trendkeep:devid:1 12289 trendkeep:util:cpu 37 trendkeep:util:mem 50 trendkeep:util:io 0");
    };
    auto stop = [&] {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        server = -1;
    };
    std::unique_ptr<void, std::function<void(void *)>> reaper(&server, [&](void *) {
        if (server > 0) stop();
    });
    setenv("TRENDKEEP_REDIS", ("unix:" + sock).c_str(), 1);
    ASSERT_TRUE(start());
    EXPECT_EQ(Snapshot(), "1111 12289 37 50 0");  // IPMI from the built-in table
    EXPECT_EQ(Devid(2), "-");                     // no key, though the built-in table has a sensor 2
    for (const char *bad : {"''", "-1", "65536", "'12 '"}) {
        EXPECT_TRUE(cli(std::string("set trendkeep:devid:1 ") + bad));
        EXPECT_EQ(Devid(1), "-") << bad;
    }
    EXPECT_TRUE(cli("set trendkeep:devid:1 12289"));
    EXPECT_EQ(Log(), "");
    stop();
    EXPECT_EQ(Snapshot(), "1111 - - - -");
    EXPECT_EQ(Snapshot(), "1111 - - - -");
    std::string log = Log();
    EXPECT_EQ(log.rfind("P redis unix:" + sock + ": ", 0), 0u) << log;  // once while it stays down
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    ASSERT_TRUE(start());  // restarted behind a kept connection: reached at the first query
    EXPECT_EQ(Devid(1), "12289");
    kill(server, SIGSTOP);
    EXPECT_EQ(Snapshot(), "1111 - - - -");
    kill(server, SIGCONT);
    EXPECT_EQ(Devid(1), "12289");
    stop();
    setenv("TRENDKEEP_REDIS", "localhost:0", 1);
    EXPECT_EQ(Snapshot(), "1111 - - - -");
}

}  // namespace
