// Shared pieces of the BMC services tests.
#ifndef TRENDKEEP_TESTS_HOST_BMC_SUPPORT_H
#define TRENDKEEP_TESTS_HOST_BMC_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

// Each test gets a private directory, with TRENDKEEP_LOG pointing at a file
// in it and every other platform setting cleared.
class PlatformTest : public ::testing::Test {
 protected:
    void SetUp() override;
    void TearDown() override;
    std::string ReadLog() const;

    std::string dir_;
    std::string log_;
};

// Whole content of a file; "" when it cannot be read.
std::string ReadFile(const std::string &path);

// Runs body in a forked child, which ends with body's return value, and
// returns the child's wait status (killed after 10 s as a hang guard).
int RunInChild(const std::function<int()> &body);

// Polls done() until it holds or a few seconds have passed.
bool WaitUntil(const std::function<bool()> &done);

#endif
