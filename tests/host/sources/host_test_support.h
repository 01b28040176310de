// Helpers for the tests of the host platform libraries: a private directory
// holding the platform log and the sensor file, and the information store
// queries as the daemon makes them.
#ifndef TRENDKEEP_TESTS_HOST_TEST_SUPPORT_H
#define TRENDKEEP_TESTS_HOST_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zelvar_redis.h"

namespace tk::test {

// Each test starts with no TRENDKEEP_SENSORS or TRENDKEEP_REDIS and logs
// into its own directory, removed afterwards.
class HostLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tkhost.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        unsetenv("TRENDKEEP_SENSORS");
        unsetenv("TRENDKEEP_REDIS");
        setenv("TRENDKEEP_LOG", (dir_ + "/platform.log").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TRENDKEEP_SENSORS");
        unsetenv("TRENDKEEP_REDIS");
        unsetenv("TRENDKEEP_LOG");
        std::filesystem::remove_all(dir_);
    }
    // Writes the sensor file (whole, by rename) and points TRENDKEEP_SENSORS at it.
    void UseSensorFile(const std::string &json) {
        std::ofstream(SensorsPath() + ".new", std::ios::trunc) << json;
        std::filesystem::rename(SensorsPath() + ".new", SensorsPath());
        setenv("TRENDKEEP_SENSORS", SensorsPath().c_str(), 1);
    }
    std::string SensorsPath() const { return dir_ + "/sensors.json"; }
    // The platform log's lines that start with prefix.
    std::vector<std::string> LogLines(const std::string &prefix = "") const {
        std::vector<std::string> lines;
        std::ifstream in(dir_ + "/platform.log");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0) lines.push_back(line);
        return lines;
    }

    std::string dir_;
};

inline int QueryDevid(int num, uint16_t *devid) {
    uint8_t rec[ZELVAR_DEVREC_SIZE] = {};
    int rc = zelvar_redis_info_basic_interface(1, 0, num, 0, 0, rec, ZELVAR_DEVREC_SIZE, 1);
    if (rc == 0) *devid = static_cast<uint16_t>(rec[ZELVAR_DEVREC_DEVID_OFFSET] |
                                                rec[ZELVAR_DEVREC_DEVID_OFFSET + 1] << 8);
    return rc;
}

inline int QueryUtil(int id, uint8_t *value) {
    return zelvar_redis_info_basic_interface(1, 9, 0, 0, id, value, 1, 1);
}

}  // namespace tk::test

#endif
