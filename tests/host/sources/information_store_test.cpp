// The host information store answering from the sensor file, the built-in
// table and /proc; and a bad sensor file, which fails every call of both
// host libraries and is logged once between them.
#include <string.h>

#include "host_test_support.h"
#include "libipmi.h"

namespace tk::test {
namespace {

class InformationStore : public HostLibraryTest {};

TEST_F(InformationStore, DeviceIdsComeFromTheSensorFileReadAtEveryQuery) {
    UseSensorFile(R"({"fail": ["devid:5"], "sensors": [
        {"num": 1, "name": "A", "devid": 12289, "reading": 1}, {"num": 2, "name": "B", "reading": 1},
        {"num": 3, "name": "C", "reading": 1}, {"num": 3, "name": "C2", "devid": 65535, "reading": 1},
        {"num": 5, "name": "E", "devid": 20480, "reading": 1}]})");
    uint8_t rec[ZELVAR_DEVREC_SIZE];
    ASSERT_EQ(zelvar_redis_info_basic_interface(1, 0, 1, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1), 0);
    EXPECT_EQ(rec[ZELVAR_DEVREC_DEVID_OFFSET], 0x01);  // 0x3001, little-endian
    EXPECT_EQ(rec[ZELVAR_DEVREC_DEVID_OFFSET + 1], 0x30);
    uint16_t devid = 0;
    EXPECT_EQ(QueryDevid(3, &devid), 0);  // the entry of that number that has one
    EXPECT_EQ(devid, 65535);
    EXPECT_NE(QueryDevid(2, &devid), 0);  // no devid
    EXPECT_NE(QueryDevid(4, &devid), 0);  // no such sensor
    memset(rec, 0xEE, sizeof rec);        // "devid:5": fails, buffer untouched
    EXPECT_NE(zelvar_redis_info_basic_interface(1, 0, 5, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1), 0);
    EXPECT_EQ(rec[ZELVAR_DEVREC_DEVID_OFFSET], 0xEE);

    UseSensorFile(R"({"sensors": [{"num": 1, "name": "A", "devid": 200, "reading": 1}]})");
    ASSERT_EQ(QueryDevid(1, &devid), 0);
    EXPECT_EQ(devid, 200);
    unsetenv("TRENDKEEP_SENSORS");  // the built-in table
    ASSERT_EQ(QueryDevid(1, &devid), 0);
    EXPECT_EQ(devid, 0x3001);
}

TEST_F(InformationStore, UtilisationFromTheFileOrMeasured) {
    for (std::string entry : {"", "cpu", "mem", "io"}) {
        SCOPED_TRACE(entry);
        UseSensorFile(R"({"cpu": 37, "mem": 0, "io": 255, "fail": [)" +
                      (entry.empty() ? "" : "\"" + entry + "\"") + R"(], "sensors": []})");
        uint8_t cpu = 1, mem = 1, io = 1;
        EXPECT_EQ(QueryUtil(ZELVAR_UTIL_CPU, &cpu) != 0, entry == "cpu");
        EXPECT_EQ(QueryUtil(ZELVAR_UTIL_MEM, &mem) != 0, entry == "mem");
        EXPECT_EQ(QueryUtil(ZELVAR_UTIL_IO, &io) != 0, entry == "io");
        if (entry.empty()) {
            EXPECT_EQ(cpu, 37);
            EXPECT_EQ(mem, 0);
            EXPECT_EQ(io, 255);
        }
    }
    // Not given: measured here, as percentages; twice, since boot then since the last.
    UseSensorFile(R"({"sensors": []})");
    for (int pass = 0; pass < 2; ++pass) {
        uint8_t cpu = 255, mem = 255, io = 255;
        ASSERT_EQ(QueryUtil(ZELVAR_UTIL_CPU, &cpu), 0);
        ASSERT_EQ(QueryUtil(ZELVAR_UTIL_MEM, &mem), 0);
        ASSERT_EQ(QueryUtil(ZELVAR_UTIL_IO, &io), 0);
        EXPECT_LE(cpu, 100);
        EXPECT_GT(mem, 0);  // this process alone uses some
        EXPECT_LE(mem, 100);
        EXPECT_LE(io, 100);
    }
}

TEST_F(InformationStore, OtherArgumentCombinationsFail) {
    UseSensorFile(R"({"cpu": 5, "mem": 5, "io": 5, "sensors": [{"num": 1, "name": "A", "devid": 7, "reading": 1}]})");
    const int bad[][7] = {
        {0, 0, 1, 0, 0, 42, 1},  {1, 1, 1, 0, 0, 42, 1},   {1, 0, 1, 1, 0, 42, 1},  {1, 0, 1, 0, 35, 42, 1},
        {1, 0, 1, 0, 0, 41, 1},  {1, 0, 1, 0, 0, 43, 1},   {1, 0, 1, 0, 0, 42, 0},  {1, 0, -1, 0, 0, 42, 1},
        {1, 0, 256, 0, 0, 42, 1}, {1, 9, 0, 0, 34, 1, 1},  {1, 9, 0, 0, 38, 1, 1},  {1, 9, 1, 0, 35, 1, 1},
        {1, 9, 0, 1, 35, 1, 1},  {1, 9, 0, 0, 35, 42, 1},  {1, 9, 0, 0, 35, 0, 1},  {1, 9, 0, 0, 35, 1, 2},
        {2, 9, 0, 0, 35, 1, 1},  {1, 8, 0, 0, 35, 1, 1}};
    for (const int *x : bad) {
        SCOPED_TRACE(::testing::Message() << x[0] << "," << x[1] << "," << x[2] << "," << x[3] << ","
                                          << x[4] << "," << x[5] << "," << x[6]);
        uint8_t buf[64];
        memset(buf, 0xEE, sizeof buf);
        EXPECT_NE(zelvar_redis_info_basic_interface(x[0], x[1], x[2], x[3], x[4], buf, x[5], x[6]), 0);
        EXPECT_EQ(buf[0] & buf[4] & buf[5], 0xEE);
    }
    EXPECT_NE(zelvar_redis_info_basic_interface(1, 0, 1, 0, 0, nullptr, 42, 1), 0);
    EXPECT_NE(zelvar_redis_info_basic_interface(1, 9, 0, 0, 35, nullptr, 1, 1), 0);
}

// Calls every entry point of both libraries as the daemon does; returns how
// many succeeded.
int CallEverything() {
    IPMI20_SESSION_T s;
    uint8_t priv = 4, buf[4 * IPMI_SENSOR_READING_SIZE] = {}, util = 0;
    uint32_t count = 4, capacity = 4;
    uint16_t devid = 0;
    int ok = LIBIPMI_Create_IPMI_Local_Session(&s, "", "", &priv, 0, 2, 30) == 0;
    ok += LIBIPMI_HL_GetSensorCount(&s, &count, 30) == 0;
    ok += LIBIPMI_HL_GetAllSensorReadings(&s, buf, &capacity, 30) == 0;
    capacity = 4;
    ok += LIBIPMI_HL_AMIGetSensorInfo(&s, buf, &capacity, 30) == 0;
    LIBIPMI_CloseSession(&s);
    ok += QueryDevid(1, &devid) == 0;
    for (int id : {ZELVAR_UTIL_CPU, ZELVAR_UTIL_MEM, ZELVAR_UTIL_IO}) ok += QueryUtil(id, &util) == 0;
    return ok;
}

struct BadFile {
    const char *name, *json, *cause;  // json null: no file at all; cause: in the log line
};

void PrintTo(const BadFile &bad, std::ostream *os) { *os << bad.name; }

class BadSensorFile : public HostLibraryTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadSensorFile, FailsEveryCallOfBothLibrariesAndIsLoggedOnce) {
    if (GetParam().json != nullptr) UseSensorFile(GetParam().json);
    else setenv("TRENDKEEP_SENSORS", SensorsPath().c_str(), 1);
    for (int round = 0; round < 3; ++round) EXPECT_EQ(CallEverything(), 0);
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("P sensors " + SensorsPath() + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(GetParam().cause), std::string::npos) << lines[0];
}

#define SENSOR(fields) R"({"sensors": [{"num": 1, "name": "A", "reading": 1}, {)" fields "}]}"
INSTANTIATE_TEST_SUITE_P(
    Cases, BadSensorFile,
    ::testing::Values(
        BadFile{"Missing", nullptr, "cannot open"}, BadFile{"Truncated", "{\"sensors\": [", "not valid JSON"},
        BadFile{"NotAnObject", "[]", "JSON object"}, BadFile{"NoSensors", "{}", "needs \"sensors\""},
        BadFile{"CountFraction", R"({"count": 1.5, "sensors": []})", "count:"},
        BadFile{"FailUnknown", R"({"fail": ["cpu", "sesion"], "sensors": []})", "fail[1]"},
        BadFile{"CpuTooBig", R"({"cpu": 256, "sensors": []})", "cpu:"},
        BadFile{"NumTooBig", SENSOR(R"("num": 256, "name": "B", "reading": 1)"), "sensors[1].num"},
        BadFile{"NameMissing", SENSOR(R"("num": 1, "reading": 1)"), "needs \"name\""},
        BadFile{"SkipString", SENSOR(R"("num": 1, "name": "B", "skip": "x", "reading": 1)"), "sensors[1].skip"},
        BadFile{"DevidTooBig", SENSOR(R"("num": 1, "name": "B", "devid": 65536, "reading": 1)"), "sensors[1].devid"},
        BadFile{"ReadingString", SENSOR(R"("num": 1, "name": "B", "reading": "hot")"), "sensors[1].reading"},
        BadFile{"PeriodZero", SENSOR(R"("num": 1, "name": "B", "reading": {"base": 1, "period": 0})"),
                "sensors[1].reading.period"},
        BadFile{"InfoNotBool", SENSOR(R"("num": 1, "name": "B", "reading": 1, "info": 1)"), "sensors[1].info"}),
    [](const ::testing::TestParamInfo<BadFile> &info) { return std::string(info.param.name); });

TEST_F(InformationStore, EachDistinctFailureIsLoggedOnceAndAgainAfterARecovery) {
    UseSensorFile("{ not json");
    EXPECT_EQ(CallEverything(), 0);
    UseSensorFile(R"({"sensors": 5})");
    EXPECT_EQ(CallEverything(), 0);
    UseSensorFile(R"({"cpu": 1, "mem": 2, "io": 3, "sensors": [{"num": 1, "name": "A", "devid": 7, "reading": 1}]})");
    EXPECT_EQ(CallEverything(), 8);
    UseSensorFile("{ not json");
    EXPECT_EQ(CallEverything(), 0);
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], lines[2]);
}

}  // namespace
}  // namespace tk::test
