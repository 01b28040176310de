// TF card status: which directories count as a mounted card, and the free
// space reported for it.
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>

#include "bmc_services.h"
#include "bmc_test_support.h"

namespace {

constexpr uint64_t kUntouched = 0x5a5a5a5a5a5a5a5aULL;

class CardTest : public PlatformTest {
 protected:
    // Presets the out-values to markers, so that a failing call can be
    // seen to have left them alone.
    int Check() {
        memset(path_, '#', sizeof path_);
        free_kb_ = kUntouched;
        return CheckTFCardMountStatus(path_, &free_kb_);
    }
    bool Untouched() const {
        return std::all_of(path_, path_ + sizeof path_, [](char c) { return c == '#'; }) &&
               free_kb_ == kUntouched;
    }
    void UseCard(const std::string &dir) { setenv("TRENDKEEP_CARD", dir.c_str(), 1); }

    char path_[64];
    uint64_t free_kb_ = 0;
};

uint64_t StatvfsKb(const std::string &dir) {
    struct statvfs vfs;
    EXPECT_EQ(statvfs(dir.c_str(), &vfs), 0);
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize / 1024;
}

}  // namespace

TEST_F(CardTest, DirectoryIsReportedWithoutTrailingSlashes) {
    setenv("TRENDKEEP_CARD_FREE_KB", "1234", 1);
    UseCard(dir_ + "///");
    ASSERT_EQ(Check(), 0);
    EXPECT_STREQ(path_, dir_.c_str());
    EXPECT_EQ(free_kb_, 1234u);

    UseCard("/");
    ASSERT_EQ(Check(), 0);
    EXPECT_STREQ(path_, "");
}

TEST_F(CardTest, PathMustFitIn63Bytes) {
    std::string fits = dir_ + "/" + std::string(63 - dir_.size() - 1, 'a');
    std::string too_long = dir_ + "/" + std::string(64 - dir_.size() - 1, 'b');
    ASSERT_EQ(mkdir(fits.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(too_long.c_str(), 0755), 0);

    UseCard(fits + "/");  // 64 bytes as given, 63 without the slash
    ASSERT_EQ(Check(), 0);
    EXPECT_EQ(std::string(path_), fits);

    UseCard(too_long);
    EXPECT_NE(Check(), 0);
    EXPECT_TRUE(Untouched());
}

TEST_F(CardTest, MissingDirectoryOrPlainFileIsNoCard) {
    setenv("TRENDKEEP_CARD_FREE_KB", "10", 1);
    std::ofstream(dir_ + "/file") << "x";
    for (const std::string &dir : {dir_ + "/pulled", dir_ + "/file", std::string()}) {
        UseCard(dir);
        EXPECT_NE(Check(), 0) << dir;
        EXPECT_TRUE(Untouched()) << dir;
    }
}

TEST_F(CardTest, UnsetCardMeansTheDefaultDirectory) {
    unsetenv("TRENDKEEP_CARD");
    struct stat st;
    const char *fallback = "/var/lib/trendkeep/card";
    bool present = stat(fallback, &st) == 0 && S_ISDIR(st.st_mode);
    EXPECT_EQ(Check() == 0, present);
    if (present) {
        EXPECT_STREQ(path_, fallback);
    }
}

TEST_F(CardTest, FreeSpaceOverrideMustBeDecimal) {
    UseCard(dir_);
    setenv("TRENDKEEP_CARD_FREE_KB", "18446744073709551615", 1);
    ASSERT_EQ(Check(), 0);
    EXPECT_EQ(free_kb_, UINT64_MAX);

    for (const char *garbage : {"", "12k", " 5", "5 ", "-1", "+1", "0x10", "18446744073709551616"}) {
        setenv("TRENDKEEP_CARD_FREE_KB", garbage, 1);
        EXPECT_NE(Check(), 0) << '"' << garbage << '"';
        EXPECT_TRUE(Untouched()) << '"' << garbage << '"';
    }
}

TEST_F(CardTest, FreeSpaceIsWhatStatvfsGivesUnprivilegedUse) {
    UseCard(dir_);
    uint64_t before = StatvfsKb(dir_);
    ASSERT_EQ(Check(), 0);
    uint64_t after = StatvfsKb(dir_);
    // Other processes may write meanwhile: the figure lies between the two.
    EXPECT_GE(free_kb_, std::min(before, after));
    EXPECT_LE(free_kb_, std::max(before, after));
}
