// Debug output lines: their format, and that they stay whole.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "bmc_services.h"
#include "bmc_test_support.h"

TEST_F(PlatformTest, DebugLinesCarryKindLevelAndTextLessOneNewline) {
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "read %s failed: %d\n", "sensor", -5);
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "store at %s", "/card/x");
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "%s", "two\n\n");
    IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_FATAL, "100%% full");
    EXPECT_EQ(ReadLog(),
              "D 130 read sensor failed: -5\n"
              "M 182 store at /card/x\n"
              "D 134 two\n\n"
              "M 178 100% full\n");
}

TEST_F(PlatformTest, LongMessageStaysOneLine) {
    std::string text(200000, 'x');
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_FAIL, "%s|", text.c_str());
    EXPECT_EQ(ReadLog(), "D 130 " + text + "|\n");
}

TEST_F(PlatformTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8, kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                std::string body((i * 37) % 3000, static_cast<char>('a' + t));
                IDBG_LINUXAPP_MaintenceOut(IDBG_LEVEL_INFO, "%d %d %s\n", t, i, body.c_str());
            }
        });
    }
    for (auto &thread : threads) thread.join();

    std::istringstream log(ReadLog());
    std::set<std::pair<int, int>> seen;
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        std::string kind, body;
        int level = -1, t = -1, i = -1;
        fields >> kind >> level >> t >> i;
        std::getline(fields, body);
        ASSERT_TRUE(kind == "M" && level == IDBG_LEVEL_INFO && t >= 0 && t < kThreads) << line;
        ASSERT_EQ(body, " " + std::string((i * 37) % 3000, static_cast<char>('a' + t))) << line;
        EXPECT_TRUE(seen.emplace(t, i).second) << "twice: " << t << " " << i;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(PlatformTest, DashSendsLinesToStandardError) {
    setenv("TRENDKEEP_LOG", "-", 1);
    std::string captured = dir_ + "/stderr";
    int saved = dup(STDERR_FILENO);
    int fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    close(fd);
    IDBG_LINUXAPP_DbgOut(IDBG_LEVEL_NOTICE, "to stderr");
    EXPECT_EQ(ProcMonitorDeRegister("/usr/sbin/Trendkeep"), 0);
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(ReadFile(captured), "D 134 to stderr\nP deregister /usr/sbin/Trendkeep\n");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/-"));
}
