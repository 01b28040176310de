// A fake BMC platform for the unit tests, the fuzzers and the benchmarks:
// every platform call lands here, is recorded, and answers as arranged.
#ifndef TRENDKEEP_TESTS_FAKE_PLATFORM_H
#define TRENDKEEP_TESTS_FAKE_PLATFORM_H

#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct LoggedMessage {
    char Kind;  // 'D' debug output, 'M' maintenance output
    int Level;
    std::string Text;
};

// A sensor of the IPMI library: its reading and, with HasInfo, its info record.
struct FakeSensor {
    uint8_t Num = 0;
    std::string Name;
    double Reading = 0.0;
    uint8_t Skip = 0;
    bool HasInfo = true;
    uint8_t RecordType = 1;
};

struct FakePlatform {
    std::vector<LoggedMessage> Messages;
    bool EchoMessages = false;  // also print each message on standard error
    bool CardMounted = true;
    std::string CardPath = "/tmp";
    int RegisterResult = 0;
    std::function<void(const char *)> OnDeregister;  // called with the program path
    std::vector<FakeSensor> Sensors;                 // in reading order
    uint32_t SensorCount = 0;                        // the count reported
    std::vector<int> CountAnswers;                   // answers before SensorCount; -1 fails the query
    uint32_t ClaimedCount = 0;                       // non-zero: the record count the fetches claim
    // Calls that fail: "session", "count", "readings", "info", "devid:N"
    // (after writing the device id all the same), "cpu", "mem", "io", "pid".
    std::set<std::string> Fail;
    // The IPMI and store calls in order: "open", "count", "readings", "info",
    // "close", "devid:N" (" dirty" added when its buffer was not zeroed),
    // "cpu", "mem", "io", "bad store call".
    std::vector<std::string> Calls;
    std::vector<std::string> CallsUnderListMutex;     // those made with the list mutex held
    std::vector<int> IpmiTimeouts;                    // the time-out of each IPMI call but the close
    std::function<void(const std::string &)> OnCall;  // called with each call's name
    std::map<int, uint16_t> DevIds;                   // sensor number -> device id; absent: the query fails
    uint8_t Cpu = 0;
    uint8_t Mem = 0;
    uint8_t Io = 0;
};

// The one fake, reset by each test.
extern FakePlatform g_fake;
void ResetFakePlatform();

#endif
