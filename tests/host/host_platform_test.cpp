// The host platform libraries as the daemon calls them: the BMC services,
// the IPMI library and the information store (sensor file, built-in table,
// utilisation, and Redis on a real redis-server killed, restarted, frozen).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
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

bool WaitUntil(const std::function<bool()> &done, int seconds = 5) {
    for (int i = 0; i < seconds * 100 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

// A private directory per test, the platform log in it, no other setting.
class Host : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tk-host-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        TearDown();
        setenv("TRENDKEEP_LOG", Path("log").c_str(), 1);
    }
    void TearDown() override {
        for (const char *name : {"CARD", "CARD_FREE_KB", "LOG", "FOREGROUND", "DAEMON_INIT", "PROCMON", "SENSORS"})
            unsetenv((std::string("TRENDKEEP_") + name).c_str());
        unsetenv("TRENDKEEP_REDIS");
    }
    ~Host() override { fs::remove_all(dir_); }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    std::string Log() const { return ReadFile(Path("log")); }
    // The log holds exactly lines lines, the first starting with prefix.
    bool Logged(size_t lines, const std::string &prefix = "") const {
        std::string log = Log();
        return size_t(std::count(log.begin(), log.end(), '\n')) == lines && log.rfind(prefix, 0) == 0;
    }
    void UseSensors(const std::string &json) {  // whole, by rename
        std::ofstream(Path("new")) << json;
        fs::rename(Path("new"), Path("sensors.json"));
        setenv("TRENDKEEP_SENSORS", Path("sensors.json").c_str(), 1);
    }
    // Runs body in a process of its own, which exits with body's result;
    // true when it did so with 0 (a process still there after 10 s is killed).
    bool InChild(const std::function<int()> &body) {
        int status = -1;
        pid_t child = fork();
        if (child == 0) _exit(body());
        if (child < 0) return false;
        if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10)) kill(child, SIGKILL), wait(&status);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string dir_;
};

// BMC services

TEST_F(Host, DebugOutputIsOneLinePerMessage) {
    const std::string big(200000, 'x');
    const struct {
        void (*out)(int, const char *, ...);
        int level;
        const char *fmt;
        std::string arg, line;
    } cases[] = {{IDBG_LINUXAPP_DbgOut, IDBG_LEVEL_FAIL, "read %s failed\n", "sensor", "D 130 read sensor failed"},
                 {IDBG_LINUXAPP_MaintenceOut, IDBG_LEVEL_INFO, "at %s", "/card", "M 182 at /card"},
                 {IDBG_LINUXAPP_DbgOut, IDBG_LEVEL_NOTICE, "%s", "two\n\n", "D 134 two?"},  // still one line
                 {IDBG_LINUXAPP_MaintenceOut, IDBG_LEVEL_FATAL, "100%% %s", "full", "M 178 100% full"},
                 {IDBG_LINUXAPP_DbgOut, IDBG_LEVEL_FAIL, "%s|", big, "D 130 " + big + "|"}};
    for (const auto &c : cases) {
        fs::remove(Path("log"));
        c.out(c.level, c.fmt, c.arg.c_str());
        EXPECT_EQ(Log(), c.line + "\n") << c.fmt;
    }
}

TEST_F(Host, CardIsAnExistingDirectoryOfAtMost63Bytes) {
    const std::string fits = dir_ + "/" + std::string(62 - dir_.size(), 'a'), too_long = fits + "b";
    ASSERT_TRUE(fs::create_directory(fits) && fs::create_directory(too_long));
    std::ofstream(Path("file")) << "x";
    struct Case {
        std::string card;
        const char *free_kb, *path;  // path null: no card, the out-values left alone
        uint64_t kb = 0;
    };
    std::vector<Case> cases = {{dir_ + "///", "1234", dir_.c_str(), 1234}, {"/", "0", "", 0}, {fits + "/", "7", fits.c_str(), 7},
                               {dir_, "18446744073709551615", dir_.c_str(), UINT64_MAX}};
    for (std::string card : {too_long, Path("pulled"), Path("file"), std::string()})
        cases.push_back({card, "1", nullptr});
    for (const char *bad : {"", "12k", " 5", "5 ", "-1", "+1", "0x10", "18446744073709551616"})
        cases.push_back({dir_, bad, nullptr});
    for (const Case &c : cases) {
        setenv("TRENDKEEP_CARD", c.card.c_str(), 1);
        setenv("TRENDKEEP_CARD_FREE_KB", c.free_kb, 1);
        char path[65] = {};
        memset(path, '#', 64);
        uint64_t kb = 42;
        int rc = CheckTFCardMountStatus(path, &kb);
        if (c.path) EXPECT_TRUE(rc == 0 && path == std::string(c.path) && kb == c.kb) << c.card << ": " << path << kb;
        else EXPECT_TRUE(rc != 0 && kb == 42 && path == std::string(64, '#')) << c.card << " '" << c.free_kb << "'";
    }
    // Unset, the free space is what statvfs leaves for unprivileged use
    // (between two readings, as others may write meanwhile).
    unsetenv("TRENDKEEP_CARD_FREE_KB");
    struct statvfs v[2];
    uint64_t kb = 0, low, high;
    char path[64];
    ASSERT_TRUE(!statvfs(dir_.c_str(), &v[0]) && !CheckTFCardMountStatus(path, &kb) && !statvfs(dir_.c_str(), &v[1]));
    std::tie(low, high) = std::minmax(v[0].f_bavail * v[0].f_frsize / 1024, v[1].f_bavail * v[1].f_frsize / 1024);
    EXPECT_TRUE(kb >= low && kb <= high) << kb << " not in " << low << " to " << high;
}

TEST_F(Host, SavePidPutsAFileOfItsOwnInPlaceAndMovesAnythingElseAside) {
    const std::string pid = Path("trendkeep.pid"), victim = Path("victim");
    // What stands at the path, and whether it is moved aside (rather than
    // removed as an earlier run's own pid file).  Links, FIFOs and
    // directories planted by another user: the daemon's end-to-end runs.
    const std::tuple<const char *, std::function<int()>, bool> plants[] = {
        {"nothing", [] { return 0; }, false},
        {"an earlier pid file", [&] { return (std::ofstream(pid) << "123456789 from an earlier run\n") ? 0 : -1; }, false},
        {"a hard link", [&] { return link(victim.c_str(), pid.c_str()); }, true},
        {"another user's file", [&] { return (std::ofstream(pid) << "x") ? chown(pid.c_str(), 65534, 65534) : -1; }, true}};
    for (const auto &[what, plant, moved] : plants) {
        for (const auto &e : fs::directory_iterator(dir_)) {
            if (e.path().filename().string().rfind("trendkeep.pid", 0) == 0) fs::remove_all(e.path());
        }
        std::ofstream(victim) << "victim\n";
        ASSERT_EQ(plant(), 0) << what;
        EXPECT_EQ(save_pid(pid.c_str()), 0) << what;
        struct stat st;
        EXPECT_TRUE(!lstat(pid.c_str(), &st) && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << what;
        EXPECT_EQ(ReadFile(pid) + ReadFile(victim), std::to_string(getpid()) + "\nvictim\n") << what;
        std::vector<std::string> aside;
        for (const auto &e : fs::directory_iterator(dir_)) {
            if (e.path().filename().string().rfind("trendkeep.pid.", 0) == 0) aside.push_back(e.path());
        }
        EXPECT_EQ(aside.size(), moved ? 1u : 0u) << what;
    }
    EXPECT_EQ(save_pid(Path("missing/trendkeep.pid").c_str()), -1);
}

std::atomic<int> g_stop_calls{0};
std::atomic<pid_t> g_stop_tid{0};
bool Blocked(int sig) {
    sigset_t mask;
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, sig) == 1;
}

TEST_F(Host, ProcessMonitorTurnsStopSignalsIntoOneCallOnItsOwnThread) {
    void (*stop)(int) = [](int) { g_stop_tid = gettid(), ++g_stop_calls; };
    setenv("TRENDKEEP_PROCMON", "refuse", 1);
    EXPECT_TRUE(ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "tk", stop, 0) && !Blocked(SIGTERM) && Logged(0));
    unsetenv("TRENDKEEP_PROCMON");
    EXPECT_TRUE(InChild([&] {  // signals go to the whole process: a process of its own
        if (ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "tk", stop, 0) || !Blocked(SIGTERM) || !Blocked(SIGINT) ||
            ProcMonitorRegister("/usr/sbin/Trendkeep", 0, "again", [](int) { g_stop_calls += 100; }, 0))
            return 1;
        for (int sig : {SIGINT, SIGTERM, SIGINT}) kill(getpid(), sig);
        WaitUntil([] {  // all taken by the monitor: a wrong call would follow at once
            sigset_t set;
            return g_stop_calls > 0 && !sigpending(&set) && !sigismember(&set, SIGINT) && !sigismember(&set, SIGTERM);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_stop_calls != 1 || g_stop_tid == gettid()) return 2;
        return Log() == "P register /usr/sbin/Trendkeep tk\nP register /usr/sbin/Trendkeep again\n" ? 0 : 3;
    }));
}

// IPMI library and information store

// One session as the daemon runs it, into zero-filled buffers of capacity
// records with sentinels behind.  Gives '1' per call that works (open,
// count, readings, info), the count, "num name reading skip" per reading
// record and "type:num" per sensor-info record.
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
        auto call = info ? LIBIPMI_HL_AMIGetSensorInfo : LIBIPMI_HL_GetAllSensorReadings;
        out[0] += std::to_string(call(&s, buf.data(), &n, 30) == 0);
        n = out[0].back() == '1' ? std::min(n, capacity) : 0;
        for (size_t i = n * size; i < buf.size(); ++i)
            if (buf[i] != (i < capacity * size ? 0 : 0xA5)) ADD_FAILURE() << "byte " << i << " written past the end";
        for (const uint8_t *r = buf.data(); r < buf.data() + n * size; r += size) {
            double v;  // little-endian, as on every target
            memcpy(&v, r + IPMI_READING_VALUE_OFFSET, sizeof v);
            const char *name = reinterpret_cast<const char *>(r + IPMI_READING_NAME_OFFSET);
            char text[64];
            if (info) snprintf(text, sizeof text, "%u:%u", r[IPMI_INFO_RECORD_TYPE_OFFSET], r[IPMI_INFO_SENSOR_NUM_OFFSET]);
            else snprintf(text, sizeof text, "%u %.29s %g %u", r[IPMI_READING_NUM_OFFSET], name, v, r[IPMI_READING_SKIP_OFFSET]);
            out.push_back(text);
        }
    }
    LIBIPMI_CloseSession(&s);
    return out;
}

// The device id of sensor num; "-" when the query fails and leaves the record alone.
std::string Devid(int num) {
    uint8_t rec[ZELVAR_DEVREC_SIZE];
    memset(rec, 0xEE, sizeof rec);
    int rc = zelvar_redis_info_basic_interface(1, 0, num, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1);
    if (rc != 0) return rec[4] == 0xEE ? "-" : "-!";
    return std::to_string(rec[ZELVAR_DEVREC_DEVID_OFFSET] | rec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);  // little-endian
}

// Every call the daemon makes: '1' per IPMI call that works (open, count,
// readings, info), the device id of sensor 1, the CPU, memory and IO figures.
std::string Snapshot() {
    std::string out = Fetch(4)[0] + " " + Devid(1);
    for (int item : {ZELVAR_UTIL_CPU, ZELVAR_UTIL_MEM, ZELVAR_UTIL_IO}) {
        uint8_t v = 0;
        out += zelvar_redis_info_basic_interface(1, 9, 0, 0, item, &v, 1, 1) == 0 ? " " + std::to_string(v) : " -";
    }
    return out;
}

TEST_F(Host, IpmiRecordsFollowTheSensorFileWithinTheCapacity) {
    UseSensors(R"({"sensors": [{"num": 1, "name": "CPU0_Temp", "type": 1, "skip": 0, "reading": 45.5},
        {"num": 7, "name": "FAN1", "type": 2, "skip": 1, "reading": 1200}, {"num": 9, "name": "PSU", "type": 3,
        "reading": -2.25, "info": false}, {"num": 7, "name": "Very_Long_Sensor_Name_That_Goes_On",
        "reading": {"base": 40}}]})");
    const std::vector<std::string> readings = {"1 CPU0_Temp 45.5 0", "7 FAN1 1200 1", "9 PSU -2.25 0",
                                               "7 Very_Long_Sensor_Name_That_Go 40 0"},  // names cut to 29
        info = {"1:1", "2:7", "1:7"};  // "info": false has none; type 1 by default
    for (uint32_t capacity : {0u, 1u, 3u, 4u, 9u}) {
        std::vector<std::string> want = {"1111", "4"};
        want.insert(want.end(), readings.begin(), readings.begin() + std::min(capacity, 4u));
        want.insert(want.end(), info.begin(), info.begin() + std::min(capacity, 3u));
        EXPECT_EQ(Fetch(capacity), want);
    }
    UseSensors(R"({"count": 300, "sensors": []})");  // the count the file gives, 0 included
    EXPECT_EQ(Fetch(1)[1], "300");
    unsetenv("TRENDKEEP_SENSORS");  // the built-in table: some 40 sensors, one event-only
    std::vector<std::string> builtin = Fetch(64);
    EXPECT_TRUE(std::stoi(builtin[1]) >= 35 && builtin.size() == 2 + 2 * std::stoul(builtin[1])) << builtin[1];
    EXPECT_EQ(std::count_if(builtin.begin(), builtin.end(), [](auto &r) { return r.rfind("3:", 0) == 0; }), 1);
}

TEST_F(Host, SensorFileAnswersBothLibrariesAndABadOneFailsThemLoggedOnce) {
    auto file = [](const std::string &fail, const char *devid = R"(, "devid": 12289)") {
        return R"({"cpu": 37, "mem": 0, "io": 255, "fail": [)" + fail + R"(], "sensors": [{"num": 1, "name": "A",
            "reading": 1}, {"num": 1, "name": "B", "reading": 2)" + devid + R"(}, {"num": 1, "name": "C", "reading": 3,
            "devid": 7}]})";
    };
    const std::string s = R"({"sensors": [{"num": 1, "name": "A", "reading": 1}, {"name": "B", "num": )";
    const std::string dead = "0000 - - - -";
    const struct {
        std::string file, snapshot, cause;  // file "-": none; cause: what the one log line names
    } cases[] = {{file(""), "1111 12289 37 0 255", ""}, {file("", ""), "1111 7 37 0 255", ""},  // the first device id
                 {file(R"("session")"), "0000 12289 37 0 255", ""}, {file(R"("count")"), "1011 12289 37 0 255", ""},
                 {file(R"("readings")"), "1101 12289 37 0 255", ""}, {file(R"("info")"), "1110 12289 37 0 255", ""},
                 {file(R"("devid:1")"), "1111 - 37 0 255", ""}, {file(R"("devid:2", "cpu")"), "1111 12289 - 0 255", ""},
                 {file(R"("mem")"), "1111 12289 37 - 255", ""}, {file(R"("io")"), "1111 12289 37 0 -", ""},
                 {"-", dead, "cannot open"}, {"{\"sensors\": [", dead, "not valid JSON"}, {"[]", dead, "JSON object"},
                 {"{}", dead, "needs \"sensors\""}, {R"({"count": 1.5, "sensors": []})", dead, "count:"},
                 {R"({"fail": ["sesion"], "sensors": []})", dead, "fail[0]"}, {R"({"sensors": [{"num": 1}]})", dead, "\"name\""},
                 {s + R"(256, "reading": 1}]})", dead, "[1].num"}, {s + R"(1, "reading": "hot"}]})", dead, "[1].reading"},
                 {s + R"(1, "reading": 1, "devid": 65536}]})", dead, "[1].devid"},
                 {s + R"(1, "reading": {"base": 1, "period": 0}}]})", dead, "[1].reading.period"},
                 {file(""), "1111 12289 37 0 255", ""}, {"[]", dead, "JSON object"}};  // after a recovery: logged again
    for (const auto &c : cases) {
        fs::remove(Path("log"));
        if (c.file == "-") fs::remove(Path("sensors.json"));
        else UseSensors(c.file);
        for (int round = 0; round < 3; ++round) EXPECT_EQ(Snapshot(), c.snapshot) << c.file;
        bool named = Log().find(c.cause) != std::string::npos;
        EXPECT_TRUE(c.cause.empty() ? Logged(0) : Logged(1, "P sensors " + Path("sensors.json: ")) && named) << Log();
    }
    UseSensors(R"({"sensors": []})");  // utilisation not given: measured here, in percent (some memory is in use)
    for (int pass = 0, cpu = 0, mem = 0, io = 0; pass < 2; ++pass) {
        EXPECT_EQ(sscanf(Snapshot().c_str(), "1111 - %d %d %d", &cpu, &mem, &io), 3);
        EXPECT_TRUE(cpu <= 100 && mem > 0 && mem <= 100 && io <= 100) << cpu << " " << mem << " " << io;
    }
}

TEST_F(Host, RedisAnswersAndAServerKilledFrozenOrNotThereFailsPromptly) {
    const std::string sock = Path("redis.sock"), target = "unix:" + sock;
    struct Server {
        pid_t pid = -1;
        void Stop() {
            if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~Server() { Stop(); }
    } server;
    auto cli = [&](const std::string &args) {
        return system(("redis-cli -s " + sock + " " + args + " >/dev/null 2>&1").c_str()) == 0;
    };
    auto start = [&] {  // true once it answers, seeded
        if ((server.pid = fork()) == 0) {
            dup2(open("/dev/null", O_WRONLY), 1);
            execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", sock.c_str(), "--save", "", nullptr);
            _exit(127);
        }
        return server.pid > 0 && WaitUntil([&] { return cli("ping"); }, 10) &&
               cli("mset trendkeep:devid:1 12289 trendkeep:util:cpu 37 trendkeep:util:mem 50 trendkeep:util:io 0");
    };
    auto stop = [&] { server.Stop(); };
    auto fails_promptly = [&] {  // a hang guard far above the library's time-outs
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Snapshot(), "1111 - - - -") << getenv("TRENDKEEP_REDIS");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    };
    setenv("TRENDKEEP_REDIS", target.c_str(), 1);
    ASSERT_TRUE(start());
    EXPECT_EQ(Snapshot(), "1111 12289 37 50 0");  // IPMI from the built-in table
    EXPECT_EQ(Devid(2), "-");                      // no key, though the built-in table has a sensor 2
    for (const char *bad : {"''", "abc", "-1", "65536", "'12 '", "1e3", "99999999999"})
        EXPECT_TRUE(cli(std::string("set trendkeep:devid:1 ") + bad) && Devid(1) == "-") << bad;
    ASSERT_TRUE(cli("set trendkeep:util:cpu 256") && cli("del trendkeep:util:mem") && cli("rpush trendkeep:util:mem 5"));
    EXPECT_EQ(Snapshot(), "1111 - - - 0");  // too big, of the wrong type; the connection still serves
    EXPECT_TRUE(cli("set trendkeep:devid:1 12289") && Logged(0));
    stop();
    fails_promptly();
    fails_promptly();
    EXPECT_TRUE(Logged(1, "P redis " + target + ": ")) << Log();  // once while it stays down
    ASSERT_TRUE(start());
    EXPECT_EQ(Devid(1), "12289");
    stop();
    ASSERT_TRUE(start());  // restarted behind a kept connection: reached at the first query
    EXPECT_EQ(Devid(1), "12289");
    kill(server.pid, SIGSTOP);
    fails_promptly();
    kill(server.pid, SIGCONT);
    EXPECT_EQ(Devid(1), "12289");
    fs::remove(Path("log"));
    const std::string bad[] = {"nonsense", "unix:", ":6379", "localhost:0", "localhost:65536", "localhost:http",
                               "127.0.0.1:1", "unix:" + Path("none.sock")};
    for (const std::string &t : bad) setenv("TRENDKEEP_REDIS", t.c_str(), 1), fails_promptly();
    EXPECT_TRUE(Logged(std::size(bad))) << Log();  // once each
}

}  // namespace
