// The host IPMI library through its entry points: the sensor file's fields
// and fail entries, the capacity rule and the record layout, sessions.
#include <string.h>

#include "host_test_support.h"
#include "libipmi.h"

namespace tk::test {
namespace {

struct Reading {
    unsigned num;
    std::string name;
    double value;
    unsigned skip;
};

// A session opened with the daemon's arguments, closed at the end.  Records
// are read into a zero-filled buffer of `capacity` records followed by
// sentinel bytes; anything written past the records reported fails the test.
class Session {
  public:
    Session() { memset(&s_, 0, sizeof s_); }
    ~Session() { LIBIPMI_CloseSession(&s_); }
    int Open() {
        uint8_t priv = 4;
        return LIBIPMI_Create_IPMI_Local_Session(&s_, "", "", &priv, 0, 2, 30);
    }
    int Count(uint32_t *n) { return LIBIPMI_HL_GetSensorCount(&s_, n, 30); }
    int Readings(uint32_t capacity, std::vector<Reading> *out) {
        return Fill(capacity, IPMI_SENSOR_READING_SIZE, LIBIPMI_HL_GetAllSensorReadings, [&](const uint8_t *rec) {
            Reading r{rec[IPMI_READING_NUM_OFFSET], "", 0, rec[IPMI_READING_SKIP_OFFSET]};
            const char *name = reinterpret_cast<const char *>(rec + IPMI_READING_NAME_OFFSET);
            EXPECT_NE(memchr(name, 0, IPMI_READING_NAME_MAX), nullptr) << "name runs into the reading";
            r.name.assign(name, strnlen(name, IPMI_READING_NAME_MAX));
            uint64_t bits = 0;  // little-endian double
            for (int i = 7; i >= 0; --i) bits = bits << 8 | rec[IPMI_READING_VALUE_OFFSET + i];
            memcpy(&r.value, &bits, sizeof bits);
            out->push_back(r);
        });
    }
    // Info records as "type:num".
    int Infos(uint32_t capacity, std::vector<std::string> *out) {
        return Fill(capacity, IPMI_SENSOR_INFO_SIZE, LIBIPMI_HL_AMIGetSensorInfo, [&](const uint8_t *rec) {
            out->push_back(std::to_string(rec[IPMI_INFO_RECORD_TYPE_OFFSET]) + ":" +
                           std::to_string(rec[IPMI_INFO_SENSOR_NUM_OFFSET]));
        });
    }
    IPMI20_SESSION_T *raw() { return &s_; }

  private:
    template <typename Call, typename Each>
    int Fill(uint32_t capacity, size_t size, Call call, Each each) {
        const size_t room = capacity * size;
        std::vector<uint8_t> buf(room + 64, 0xA5);
        std::fill(buf.begin(), buf.begin() + static_cast<long>(room), 0);
        uint32_t count = capacity;
        int rc = call(&s_, buf.data(), &count, 30);
        if (rc != 0) return rc;
        EXPECT_LE(count, capacity);
        for (uint32_t i = 0; i < count && i < capacity; ++i) each(buf.data() + i * size);
        for (size_t i = count * size; i < buf.size(); ++i) {
            if (buf[i] != (i < room ? 0 : 0xA5)) {
                ADD_FAILURE() << "byte " << i << " written past " << count << " records";
                break;
            }
        }
        return 0;
    }
    IPMI20_SESSION_T s_;
};

class IpmiLibrary : public HostLibraryTest {};

const char *kSensors = R"({"sensors": [
    {"num": 1, "name": "CPU0_Temp", "type": 1, "skip": 0, "devid": 12289, "reading": 45.5, "info": true},
    {"num": 7, "name": "FAN1", "type": 2, "skip": 1, "reading": 1200},
    {"num": 9, "name": "PSU_Status", "type": 3, "reading": -2.25, "info": false},
    {"num": 7, "name": "Very_Long_Sensor_Name_That_Goes_On_And_On", "reading": {"base": 40}},
    {"num": 8, "name": "Hourly", "reading": {"base": 40, "swing": 5, "period": 3600, "wobble": 1}}]})";

TEST_F(IpmiLibrary, SensorFileFieldsReachTheRecords) {
    UseSensorFile(kSensors);
    Session s;
    ASSERT_EQ(s.Open(), 0);
    uint32_t count = 0;
    ASSERT_EQ(s.Count(&count), 0);
    EXPECT_EQ(count, 5u);  // default: the number of sensors
    std::vector<Reading> r;
    ASSERT_EQ(s.Readings(10, &r), 0);
    ASSERT_EQ(r.size(), 5u);
    // File order, duplicate numbers kept, names cut to 29 characters.
    EXPECT_EQ(r[0].num, 1u);
    EXPECT_EQ(r[0].name, "CPU0_Temp");
    EXPECT_EQ(r[0].value, 45.5);
    EXPECT_EQ(r[0].skip, 0u);
    EXPECT_EQ(r[1].num, 7u);
    EXPECT_EQ(r[1].value, 1200.0);
    EXPECT_EQ(r[1].skip, 1u);
    EXPECT_EQ(r[2].value, -2.25);
    EXPECT_EQ(r[3].num, 7u);
    EXPECT_EQ(r[3].name, std::string("Very_Long_Sensor_Name_That_Goes_On_And_On").substr(0, 29));
    EXPECT_EQ(r[3].value, 40.0);
    EXPECT_EQ(r[3].skip, 0u);
    EXPECT_GE(r[4].value, 34.0);
    EXPECT_LE(r[4].value, 46.0);
    // "info": false leaves sensor 9 out; the type defaults to 1.
    std::vector<std::string> info;
    ASSERT_EQ(s.Infos(10, &info), 0);
    EXPECT_EQ(info, (std::vector<std::string>{"1:1", "2:7", "1:7", "1:8"}));
}

TEST_F(IpmiLibrary, CountOverridesTheNumberOfSensors) {
    for (uint32_t given : {0u, 300u}) {
        UseSensorFile(R"({"count": )" + std::to_string(given) +
                      R"(, "sensors": [{"num": 1, "name": "A", "reading": 1}]})");
        Session s;
        ASSERT_EQ(s.Open(), 0);
        uint32_t count = 12345;
        ASSERT_EQ(s.Count(&count), 0);
        EXPECT_EQ(count, given);
    }
}

TEST_F(IpmiLibrary, EachFailEntryFailsOnlyItsCall) {
    for (std::string entry : {"session", "count", "readings", "info"}) {
        SCOPED_TRACE(entry);
        UseSensorFile(R"({"fail": [")" + entry + R"("], "sensors": [{"num": 3, "name": "X", "reading": 1}]})");
        Session s;
        EXPECT_EQ(s.Open() != 0, entry == "session");
        uint32_t count = 0;
        std::vector<Reading> r;
        std::vector<std::string> info;
        EXPECT_EQ(s.Count(&count) != 0, entry == "session" || entry == "count");
        EXPECT_EQ(s.Readings(4, &r) != 0, entry == "session" || entry == "readings");
        EXPECT_EQ(s.Infos(4, &info) != 0, entry == "session" || entry == "info");
    }
}

TEST_F(IpmiLibrary, NeverWritesMoreRecordsThanTheCapacity) {
    UseSensorFile(kSensors);
    Session s;
    ASSERT_EQ(s.Open(), 0);
    for (uint32_t capacity : {0u, 1u, 3u, 4u, 5u, 9u}) {
        SCOPED_TRACE(capacity);
        std::vector<Reading> r;
        ASSERT_EQ(s.Readings(capacity, &r), 0);
        EXPECT_EQ(r.size(), std::min(capacity, 5u));
        std::vector<std::string> info;  // four sensors have info records
        ASSERT_EQ(s.Infos(capacity, &info), 0);
        EXPECT_EQ(info.size(), std::min(capacity, 4u));
    }
}

TEST_F(IpmiLibrary, EachSessionReadsTheFileAfresh) {
    UseSensorFile(R"({"sensors": [{"num": 1, "name": "Old", "reading": 1}]})");
    Session first;
    ASSERT_EQ(first.Open(), 0);
    UseSensorFile(R"({"sensors": [{"num": 2, "name": "New", "reading": 2}, {"num": 3, "name": "N3", "reading": 3}]})");
    // An open session keeps its table, so that its count and readings agree.
    uint32_t count = 0;
    std::vector<Reading> r;
    ASSERT_EQ(first.Count(&count), 0);
    ASSERT_EQ(first.Readings(5, &r), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(r.size(), 1u);
    Session second;
    ASSERT_EQ(second.Open(), 0);
    ASSERT_EQ(second.Count(&count), 0);
    EXPECT_EQ(count, 2u);
}

TEST_F(IpmiLibrary, CallsWithoutAnOpenSessionOrBuffersFail) {
    UseSensorFile(kSensors);
    uint8_t priv = 4, buf[4 * IPMI_SENSOR_READING_SIZE] = {};
    uint32_t count = 4;
    EXPECT_NE(LIBIPMI_Create_IPMI_Local_Session(nullptr, "", "", &priv, 0, 2, 30), 0);
    Session never_opened;
    EXPECT_NE(never_opened.Count(&count), 0);
    EXPECT_NE(LIBIPMI_HL_AMIGetSensorInfo(nullptr, buf, &count, 30), 0);
    Session s;
    ASSERT_EQ(s.Open(), 0);
    EXPECT_NE(LIBIPMI_HL_GetSensorCount(s.raw(), nullptr, 30), 0);
    EXPECT_NE(LIBIPMI_HL_GetAllSensorReadings(s.raw(), nullptr, &count, 30), 0);
    EXPECT_NE(LIBIPMI_HL_AMIGetSensorInfo(s.raw(), buf, nullptr, 30), 0);
    // A copy of the storage is the same session; once closed, neither works.
    IPMI20_SESSION_T copy;
    memcpy(&copy, s.raw(), sizeof copy);
    EXPECT_EQ(LIBIPMI_CloseSession(s.raw()), 0);
    EXPECT_NE(LIBIPMI_HL_GetAllSensorReadings(&copy, buf, &count, 30), 0);
}

}  // namespace
}  // namespace tk::test
