// A fake BMC platform for the unit tests: every platform call the daemon
// makes lands here, is recorded, and answers as the test arranged.
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

struct FakeSensor {
    uint8_t Num = 0;
    std::string Name;
    double Reading = 0.0;
    uint8_t Skip = 0;
    bool HasInfo = true;
    uint8_t RecordType = 1;
};

struct FakePlatform {
    // Debug output.
    std::vector<LoggedMessage> Messages;
    bool EchoMessages = false;            // also print them on standard error
    // Card status.
    bool CardMounted = true;
    std::string CardPath = "/tmp";
    uint64_t CardFreeKb = 1u << 30;
    int CardChecks = 0;
    // Process monitor.
    int RegisterResult = 0;
    int Registered = 0;
    int Deregistered = 0;
    // Called at each deregistration with the program path (a death test
    // uses it to report the deregistration on standard error).
    std::function<void(const char *)> OnDeregister;
    // IPMI.
    std::vector<FakeSensor> Sensors;
    uint32_t SensorCount = 0;             // reported count
    // Answers of the next sensor-count queries, used up in order before
    // SensorCount and FailCount apply: -1 fails the query, any other value
    // is the count reported.
    std::vector<int> CountAnswers;
    bool FailSession = false, FailCount = false, FailReadings = false, FailInfo = false;
    uint32_t ReadingCountOverride = 0;    // non-zero: claim this many readings
    uint32_t InfoCountOverride = 0;       // non-zero: claim this many info records
    int SessionsOpen = 0;
    int SessionsOpened = 0;
    std::vector<std::string> IpmiCalls;
    // Information store.
    std::map<int, uint16_t> DevIds;       // sensor number -> device id
    // Device-id queries of these sensor numbers fail, after writing the
    // DevIds value (if any) into the result buffer all the same.
    std::set<int> FailDevIds;
    uint8_t Cpu = 0, Mem = 0, Io = 0;
    std::set<int> FailUtil;               // 35, 37, 36
    std::vector<std::vector<int>> StoreCalls;
    std::vector<bool> StoreBuffersZeroed;  // per store call: result buffer all zero on entry

    int Count(const std::string &text) const;   // messages containing text
    bool Logged(const std::string &text) const { return Count(text) > 0; }
};

// The one fake, reset by each test.
extern FakePlatform g_fake;
extern std::recursive_mutex g_fakemutex;
void ResetFakePlatform();

#endif
