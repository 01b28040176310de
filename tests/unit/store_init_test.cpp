// Store initialisation on a card in a temporary directory: the directory
// tree, the files it creates, keeps or creates again, the headers and the
// block prepared for the recorded day, the card-space verdict, and the
// helpers it uses to run shell commands and to name the files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "StoreData.h"
#include "Trendkeep.h"
#include "fake_platform.h"
#include "store_test_support.h"

namespace storetest {
namespace {

const time_t kDay = 1796342400;  // 2026-12-04T00:00:00Z
const time_t kNow = kDay + 10 * 3600 + 2 * 60;
const time_t kDayLength = 86400;

// The bytes of a sensor data file as initialisation makes it on an empty
// card: the header, and block 0 keyed to day with its slots stamped.
std::vector<uint8_t> FreshFile(uint16_t num, const std::string &name, uint8_t cls, int32_t day) {
    std::vector<uint8_t> b(kFileSize, 0);
    PutU16(&b[0], num);
    memcpy(&b[2], name.data(), name.size());
    b[22] = cls;
    PutU32(&b[BlockOffset(0)], (uint32_t)day);
    for (int s = 0; s < 288; ++s) PutU32(&b[SlotTimeOffset(0, s)], (uint32_t)day + 300u * (uint32_t)s);
    return b;
}

std::vector<const LoggedMessage *> MessagesContaining(const std::string &text) {
    std::vector<const LoggedMessage *> found;
    for (const auto &m : g_fake.Messages) {
        if (m.Text.find(text) != std::string::npos) found.push_back(&m);
    }
    return found;
}

std::vector<SensorSpec> NumberedSensors(int n) {
    std::vector<SensorSpec> rules;
    for (int i = 0; i < n; ++i) rules.push_back({"S" + std::to_string(i), (uint16_t)i, 1});
    return rules;
}

// ---------------------------------------------------------------------------
// ZelvarCommandToBuff

TEST(ZelvarCommandToBuff, RefusesMissingCommandMissingBufferAndZeroSize) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(ZelvarCommandToBuff(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(ZelvarCommandToBuff("echo hi", nullptr, 16), -1);
    EXPECT_EQ(ZelvarCommandToBuff("echo hi", buf, 0), -1);
    EXPECT_EQ(buf[0], 'x');
}

TEST(ZelvarCommandToBuff, KeepsOnlyTheFirstLineOfTheOutput) {
    char buf[64];
    memset(buf, 'x', sizeof buf);
    ASSERT_EQ(ZelvarCommandToBuff("printf 'first line\\nsecond line\\n'", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "first line\n");
}

TEST(ZelvarCommandToBuff, CutsTheLineToOneByteLessThanTheBuffer) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    ASSERT_EQ(ZelvarCommandToBuff("echo abcdefghijkl", buf, 5), 0);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(buf[5], 'x');
    ASSERT_EQ(ZelvarCommandToBuff("echo abc", buf, 1), 0);
    EXPECT_STREQ(buf, "");
}

TEST(ZelvarCommandToBuff, SucceedsWhateverTheCommandPrintsOrReturns) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(ZelvarCommandToBuff("exit 3", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ZelvarCommandToBuff("echo partial; exit 7", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "partial\n");
}

// A command that prints far more than the pipe holds must still end: the
// check runs in a child process that an alarm ends if it hangs.
TEST(ZelvarCommandToBuffDeathTest, CommandWithLotsOfOutputDoesNotHang) {
    EXPECT_EXIT(
        {
            alarm(60);
            char buf[32];
            int rc = ZelvarCommandToBuff("yes | head -c 1000000", buf, sizeof buf);
            _exit(rc == 0 && strcmp(buf, "y\n") == 0 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// SensorFileName

TEST(SensorFileName, OrdinaryNamesAreTheirOwnFileNames) {
    char out[SENSOR_FILE_NAME_SIZE];
    for (const char *name : {"CPU_Temp", "P1-VR.Temp 2", "...", ".hidden", "x..", "CPU_Utilization"}) {
        SensorFileName(name, out);
        EXPECT_STREQ(out, name);
    }
}

TEST(SensorFileName, NamesThatCannotBeAFileNameGetAStandIn) {
    char out[SENSOR_FILE_NAME_SIZE];
    SensorFileName("a/b", out);
    EXPECT_STREQ(out, "a_b");
    SensorFileName("/a//b/", out);
    EXPECT_STREQ(out, "_a__b_");
    SensorFileName("", out);
    EXPECT_STREQ(out, "_empty_");
    SensorFileName(".", out);
    EXPECT_STREQ(out, "_dot_");
    SensorFileName("..", out);
    EXPECT_STREQ(out, "_dotdot_");
    SensorFileName("../x", out);
    EXPECT_STREQ(out, ".._x");
}

// ---------------------------------------------------------------------------
// InitSensorDataRecordSt

using StoreInitTest = StoreTest;

TEST_F(StoreInitTest, WithoutAListFailsWithNothingToRelease) {
    EXPECT_EQ(InitSensorDataRecordSt(&RecordStore.SensorArr, nullptr), -1);
    EXPECT_TRUE(g_fake.Logged("][InitSensorDataRecordSt][") && g_fake.Logged("]SensorDataList is null\n"));
    EXPECT_EQ(RecordStore.SensorArr, nullptr);
    EXPECT_FALSE(IsDirectory(RecordDir()));
}

TEST_F(StoreInitTest, WaitsASecondAtATimeUntilTheListIsReady) {
    TestList list({{"CPU_Temp", 7, 1}});
    list.hdr()->ListReady = 0;
    static LocalDataHdr *waiting;
    static std::vector<unsigned> pauses;
    waiting = list.hdr();
    pauses.clear();
    g_sleepms = [](unsigned ms) {
        pauses.push_back(ms);
        // Nothing is created while the list is not complete.
        EXPECT_FALSE(IsDirectory(std::string(g_tfmountpath) + "/DataRecord"));
        if (pauses.size() == 3) waiting->ListReady = 1;
    };
    EXPECT_EQ(InitStore(list, kNow), 0);
    EXPECT_EQ(pauses, (std::vector<unsigned>{1000, 1000, 1000}));
}

TEST_F(StoreInitTest, EmptyCardGetsTheDirectoriesAndNewFiles) {
    TestList list({{"CPU_Temp", 7, 1}, {"CPU_Utilization", 0xFFFF, 3}});
    ASSERT_EQ(InitStore(list, kNow), 0);

    EXPECT_TRUE(IsDirectory(TimeDir()));
    EXPECT_EQ(DirectoryNames(RecordDir()), (std::vector<std::string>{"CPU_Temp", "CPU_Utilization", "DataTime"}));
    EXPECT_EQ(ReadBytes(TimeFile()), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(ReadBytes(SensorPath("CPU_Temp")), FreshFile(7, "CPU_Temp", 1, (int32_t)kDay));
    EXPECT_EQ(ReadBytes(SensorPath("CPU_Utilization")), FreshFile(0xFFFF, "CPU_Utilization", 3, (int32_t)kDay));

    EXPECT_EQ(RecordStore.RecordCount, 2u);
    EXPECT_EQ(RecordTimeFd, -1);
    ASSERT_NE(RecordStore.RecordTimeMap, nullptr);
    ASSERT_NE(RecordStore.SensorArr, nullptr);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(RecordStore.SensorArr[i].Fd, -1);
        ASSERT_NE(FileOf(i), nullptr);
    }
    // Entry i of the array is the file of list entry i.
    EXPECT_EQ(MapBytes(FileOf(1)), ReadBytes(SensorPath("CPU_Utilization")));
    // Nothing failed.
    for (const auto &m : g_fake.Messages) EXPECT_NE(m.Kind, 'D') << m.Text;
}

TEST_F(StoreInitTest, MountPathWithBlanksAndQuotesIsUsedAsItIs) {
    const std::string card = dir_.path() + "/it's a \"card\" $HOME";
    snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", card.c_str());
    TestList list({{"CPU_Temp", 7, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    EXPECT_EQ(ReadBytes(card + "/DataRecord/SensorHistory/CPU_Temp"), FreshFile(7, "CPU_Temp", 1, (int32_t)kDay));
    EXPECT_EQ(FileSizeOf(card + "/DataRecord/SensorHistory/DataTime/RecordTime"), 8);
    EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"it's a \"card\" $HOME"});
}

TEST_F(StoreInitTest, LogsTheSpaceVerdictAndThePaths) {
    TestList list({{"CPU_Temp", 7, 1}, {"CPU_Utilization", 0xFFFF, 3}});
    g_tffreesize = 1000;
    ASSERT_EQ(InitStore(list, kNow), 0);

    ASSERT_EQ(g_fake.Messages.size(), 3u);
    const LoggedMessage &verdict = g_fake.Messages[0];
    EXPECT_EQ(verdict.Kind, 'M');
    EXPECT_EQ(verdict.Level, 178);
    EXPECT_TRUE(MatchesPattern(verdict.Text, "[InitSensorDataRecordSt][#]TF card free size is enough,need:149644(byte),"
                                             "Free:1024000(byte)\n"))
        << verdict.Text;
    const LoggedMessage &time_path = g_fake.Messages[1];
    EXPECT_EQ(time_path.Kind, 'M');
    EXPECT_EQ(time_path.Level, 182);
    EXPECT_TRUE(MatchesPattern(time_path.Text, "[InitSensorDataRecordSt][#]Record Time Path:" + TimeDir() + "\n"))
        << time_path.Text;
    const LoggedMessage &dir_path = g_fake.Messages[2];
    EXPECT_EQ(dir_path.Kind, 'M');
    EXPECT_EQ(dir_path.Level, 182);
    EXPECT_TRUE(MatchesPattern(dir_path.Text, "[InitSensorDataRecordSt][#]RecordDir Path:" + RecordDir() + "\n"))
        << dir_path.Text;
}

TEST_F(StoreInitTest, EarlierRunKeepsItsHistoryAndGetsTheListsHeader) {
    {
        TestList list({{"Temp1", 3, 2}});
        ASSERT_EQ(InitStore(list, kNow), 0);
        list.SetFigures(0, 20.5, 21.0, 19.5, 20.25, (uint32_t)kNow, (uint32_t)kNow);
        RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, (uint32_t)kDay + 36000, (uint32_t)kDay);
        RecordStore.RecordTimeMap->RecordDay = (uint32_t)kDay;
        RecordStore.RecordTimeMap->RecordSlot = (uint32_t)kDay + 36000;
        ReleaseStore();
    }
    // The file as an earlier run with another number, class and a longer
    // name in its header left it.
    PatchBytes(SensorPath("Temp1"), 0, {9, 0});
    PatchBytes(SensorPath("Temp1"), 2, {'T', 'm', 'p', '_', 'O', 'l', 'd', '_', 'N', 'a', 'm', 'e', 0});
    PatchBytes(SensorPath("Temp1"), 22, {9});
    std::vector<uint8_t> before = ReadBytes(SensorPath("Temp1"));
    std::vector<uint8_t> time_before = ReadBytes(TimeFile());

    TestList list({{"Temp1", 4, 5}});
    ASSERT_EQ(InitStore(list, kNow + 600), 0);

    std::vector<uint8_t> expected = before;
    PutU16(&expected[0], 4);
    memcpy(&expected[2], "Temp1", 6);  // the old name's tail stays behind the NUL
    expected[22] = 5;
    EXPECT_EQ(ReadBytes(SensorPath("Temp1")), expected);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&expected[8])), "d_Name");
    EXPECT_EQ(ReadBytes(TimeFile()), time_before);
    EXPECT_EQ(HeaderName(FileOf(0)), "Temp1");
}

TEST_F(StoreInitTest, FirstBlockOfTheRecordedDayIsStampedAgainAndNothingElse) {
    const int32_t yesterday = (int32_t)(kDay - kDayLength);
    {
        TestList list({{"Temp1", 3, 2}});
        ASSERT_EQ(InitStore(list, kNow), 0);
        ReleaseStore();
    }
    // Blocks 3 and 5 both claim yesterday, with slot times spoilt; block 0
    // (today) has a spoilt slot time too.
    std::vector<uint8_t> file = ReadBytes(SensorPath("Temp1"));
    for (int d : {3, 5}) {
        PutU32(&file[BlockOffset(d)], (uint32_t)yesterday);
        file[BlockOffset(d) + 4] = 1;
        PutDouble(&file[BlockOffset(d) + 5], 42.0);
        for (int s = 0; s < 288; ++s) {
            PutU32(&file[SlotTimeOffset(d, s)], 0xDEADBEEFu);
            file[SlotOffset(d, s)] = 1;
            PutDouble(&file[SlotOffset(d, s) + 5], s * 0.5);
        }
    }
    PutU32(&file[SlotTimeOffset(0, 5)], 12345);
    WriteBytes(SensorPath("Temp1"), file);
    std::vector<uint8_t> rt(8, 0);
    PutU32(&rt[0], (uint32_t)yesterday);
    WriteBytes(TimeFile(), rt);

    TestList list({{"Temp1", 3, 2}});
    ASSERT_EQ(InitStore(list, kNow), 0);

    std::vector<uint8_t> expected = file;
    for (int s = 0; s < 288; ++s) PutU32(&expected[SlotTimeOffset(3, s)], (uint32_t)yesterday + 300u * (uint32_t)s);
    EXPECT_EQ(ReadBytes(SensorPath("Temp1")), expected);
}

TEST_F(StoreInitTest, WithoutTheRecordedDayTheOldestBlockIsKeyedToTodayWithItsContents) {
    {
        TestList list({{"Temp1", 3, 2}});
        ASSERT_EQ(InitStore(list, kNow), 0);
        ReleaseStore();
    }
    // Seven older days, blocks 1 and 4 the oldest (the same day), none of
    // them today although the record time file says today.
    const int days_back[7] = {2, 6, 5, 3, 6, 4, 1};
    std::vector<uint8_t> file = ReadBytes(SensorPath("Temp1"));
    for (int d = 0; d < 7; ++d) {
        uint32_t key = (uint32_t)(kDay - days_back[d] * kDayLength);
        PutU32(&file[BlockOffset(d)], key);
        file[BlockOffset(d) + 4] = 1;
        PutDouble(&file[BlockOffset(d) + 5], 50.0 + d);
        PutDouble(&file[BlockOffset(d) + 13], -3.0 - d);
        PutU32(&file[BlockOffset(d) + 21], key + 600);
        PutU32(&file[BlockOffset(d) + 25], key + 900);
        for (int s = 0; s < 288; ++s) {
            PutU32(&file[SlotTimeOffset(d, s)], key + 300u * (uint32_t)s);
            file[SlotOffset(d, s)] = 1;
            PutDouble(&file[SlotOffset(d, s) + 13], d * 100.0 + s);
        }
    }
    WriteBytes(SensorPath("Temp1"), file);
    std::vector<uint8_t> rt(8, 0);
    PutU32(&rt[0], (uint32_t)kDay);
    WriteBytes(TimeFile(), rt);

    TestList list({{"Temp1", 3, 2}});
    ASSERT_EQ(InitStore(list, kNow), 0);

    std::vector<uint8_t> expected = file;
    PutU32(&expected[BlockOffset(1)], (uint32_t)kDay);
    for (int s = 0; s < 288; ++s) PutU32(&expected[SlotTimeOffset(1, s)], (uint32_t)kDay + 300u * (uint32_t)s);
    EXPECT_EQ(ReadBytes(SensorPath("Temp1")), expected);
}

TEST_F(StoreInitTest, SensorFileOfAnotherSizeOrALinkIsCreatedAgainEmpty) {
    std::filesystem::create_directories(TimeDir());
    WriteBytes(SensorPath("Short"), std::vector<uint8_t>(1000, 0xAB));
    WriteBytes(SensorPath("Long"), std::vector<uint8_t>(kFileSize + 1, 0xAB));
    const std::string victim = dir_.path() + "/victim";
    WriteBytes(victim, std::vector<uint8_t>(kFileSize, 0xAB));
    std::filesystem::create_symlink(victim, SensorPath("Linked"));
    TestList list({{"Short", 1, 1}, {"Long", 2, 1}, {"Linked", 3, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    EXPECT_EQ(ReadBytes(SensorPath("Short")), FreshFile(1, "Short", 1, (int32_t)kDay));
    EXPECT_EQ(ReadBytes(SensorPath("Long")), FreshFile(2, "Long", 1, (int32_t)kDay));
    EXPECT_FALSE(std::filesystem::is_symlink(SensorPath("Linked")));
    EXPECT_EQ(ReadBytes(SensorPath("Linked")), FreshFile(3, "Linked", 1, (int32_t)kDay));
    EXPECT_EQ(ReadBytes(victim), std::vector<uint8_t>(kFileSize, 0xAB));
}

TEST_F(StoreInitTest, RecordTimeFileOfAnotherSizeIsCreatedAgainWithZeros) {
    std::filesystem::create_directories(TimeDir());
    WriteBytes(TimeFile(), std::vector<uint8_t>(12, 0xFF));
    TestList list({{"Temp1", 1, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    EXPECT_EQ(ReadBytes(TimeFile()), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(ReadBytes(SensorPath("Temp1")), FreshFile(1, "Temp1", 1, (int32_t)kDay));
}

TEST_F(StoreInitTest, FileNamedByALeadingPartOfTheNameIsLeftAloneAndTheSensorGetsItsOwn) {
    std::filesystem::create_directories(TimeDir());
    std::vector<uint8_t> other(kFileSize);
    for (size_t i = 0; i < other.size(); ++i) other[i] = (uint8_t)(i * 7);
    WriteBytes(SensorPath("CPU"), other);
    TestList list({{"CPU_Temp", 7, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    EXPECT_EQ(ReadBytes(SensorPath("CPU")), other);
    EXPECT_EQ(ReadBytes(SensorPath("CPU_Temp")), FreshFile(7, "CPU_Temp", 1, (int32_t)kDay));
    EXPECT_EQ(MapBytes(FileOf(0)), ReadBytes(SensorPath("CPU_Temp")));
}

TEST_F(StoreInitTest, DirectoryNamedLikeASensorFailsAndReleasesEverything) {
    std::filesystem::create_directories(SensorPath("Fan_2"));
    TestList list({{"CPU_Temp", 1, 1}, {"Fan_2", 2, 1}, {"Other", 3, 1}});
    EXPECT_EQ(InitStore(list, kNow), -1);

    auto failures = MessagesContaining("Create sensor data file");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0]->Kind, 'D');
    EXPECT_EQ(failures[0]->Level, 130);
    EXPECT_TRUE(MatchesPattern(failures[0]->Text, "[StoreData.cpp:#][InitSensorDataRecordSt][#]Create sensor data file " +
                                                      SensorPath("Fan_2") + " failed\n"))
        << failures[0]->Text;
    EXPECT_EQ(RecordStore.SensorArr, nullptr);
    EXPECT_EQ(RecordStore.RecordTimeMap, nullptr);
    EXPECT_EQ(RecordTimeFd, -1);
    EXPECT_TRUE(IsDirectory(SensorPath("Fan_2")));
    // What was made before the failure stays on the card.
    EXPECT_EQ(FileSizeOf(SensorPath("CPU_Temp")), (long)kFileSize);
    EXPECT_EQ(FileSizeOf(SensorPath("Other")), -1);
}

TEST_F(StoreInitTest, UnsafeNamesGetStableFilesInsideTheRecordDirectory) {
    TestList list({{"a/b", 1, 1}, {"", 2, 1}, {".", 3, 1}, {"..", 4, 1}, {"Fan 3", 5, 1}});
    ASSERT_EQ(InitStore(list, kNow), 0);
    const std::vector<std::string> files = {"DataTime", "Fan 3", "_dot_", "_dotdot_", "_empty_", "a_b"};
    EXPECT_EQ(DirectoryNames(RecordDir()), files);
    EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"DataRecord"});
    EXPECT_EQ(DirectoryNames(dir_.path() + "/DataRecord"), std::vector<std::string>{"SensorHistory"});
    const char *real[] = {"a/b", "", ".", "..", "Fan 3"};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(HeaderName(FileOf(i)), real[i]);
        uint16_t num = FileOf(i)->Header.SensorNum;
        EXPECT_EQ(num, i + 1);
        list.SetFigures(i, i, i, i, i, (uint32_t)kNow, (uint32_t)kNow);
    }
    RecordSensorsDataToMem(list.hdr(), RecordStore.SensorArr, (uint32_t)kDay + 36000, (uint32_t)kDay);
    RecordStore.RecordTimeMap->RecordDay = (uint32_t)kDay;
    std::vector<std::vector<uint8_t>> first;
    for (uint32_t i = 0; i < 5; ++i) first.push_back(MapBytes(FileOf(i)));
    ReleaseStore();

    ASSERT_EQ(InitStore(list, kNow + 300), 0);
    EXPECT_EQ(DirectoryNames(RecordDir()), files);
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(MapBytes(FileOf(i)), first[i]) << real[i];
    EXPECT_EQ(MapBytes(FileOf(0)), ReadBytes(SensorPath("a_b")));
    EXPECT_EQ(MapBytes(FileOf(3)), ReadBytes(SensorPath("_dotdot_")));
}

TEST_F(StoreInitTest, UnMmapReleasesMappingsAndDescriptorsButNotTheArray) {
    std::filesystem::create_directories(RecordDir());
    int fd = open(SensorPath("A").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(ftruncate(fd, (off_t)kFileSize), 0);
    void *map = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    StoreHandler handlers[3] = {{-1, static_cast<SensorDataFile *>(map)}, {fd, nullptr}, {-1, nullptr}};
    StoreHandler *arr = handlers;
    EXPECT_EQ(UnMmap(&arr, 3), 0);
    EXPECT_EQ(arr, handlers);
    EXPECT_EQ(handlers[0].Map, nullptr);
    EXPECT_EQ(handlers[1].Fd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    EXPECT_EQ(msync(map, kFileSize, MS_ASYNC), -1);  // no longer mapped
    EXPECT_TRUE(g_fake.Messages.empty());
    EXPECT_EQ(FileSizeOf(SensorPath("A")), (long)kFileSize);
}

// The card reports its free space in units of 1024 bytes.  124 sensors
// need 124 * 74818 + 8 = 9277440 bytes, exactly 9060 units.
const int kExactSensors = 124;
const uint64_t kExactNeedKb = 9060;

TEST_F(StoreInitTest, FreeSpaceAboveTheNeedGoesOn) {
    TestList list(NumberedSensors(kExactSensors));
    g_tffreesize = kExactNeedKb + 1;
    ASSERT_EQ(InitStore(list, kNow), 0);
    EXPECT_TRUE(g_fake.Logged("TF card free size is enough,need:9277440(byte),Free:9278464(byte)\n"));
    EXPECT_EQ(g_fake.Deregistered, 0);
    EXPECT_EQ(DirectoryNames(RecordDir()).size(), (size_t)kExactSensors + 1);
}

using StoreInitDeathTest = StoreTest;

void EchoDeregistration(const char *path) { fprintf(stderr, "deregistered %s\n", path); }

TEST_F(StoreInitDeathTest, FreeSpaceEqualToTheNeedEndsTheProcess) {
    TestList list(NumberedSensors(kExactSensors));
    g_tffreesize = kExactNeedKb;
    EXPECT_EXIT(
        {
            g_fake.EchoMessages = true;
            g_fake.OnDeregister = EchoDeregistration;
            InitStore(list, kNow);
        },
        ::testing::ExitedWithCode(1),
        "M 178 \\[InitSensorDataRecordSt\\]\\[[0-9]+\\]TF card free size not enough,need:9277440\\(byte\\),"
        "Free:9277440\\(byte\\)\n.*deregistered /usr/local/bin/Trendkeep");
    EXPECT_FALSE(IsDirectory(dir_.path() + "/DataRecord"));
}

TEST_F(StoreInitDeathTest, FreeSpaceBelowTheNeedEndsTheProcess) {
    TestList list({{"CPU_Temp", 7, 1}});
    g_tffreesize = 73;  // 74752 bytes for 74826 needed
    EXPECT_EXIT(
        {
            g_fake.EchoMessages = true;
            g_fake.OnDeregister = EchoDeregistration;
            InitStore(list, kNow);
        },
        ::testing::ExitedWithCode(1),
        "M 178 \\[InitSensorDataRecordSt\\]\\[[0-9]+\\]TF card free size not enough,need:74826\\(byte\\),"
        "Free:74752\\(byte\\)\n.*deregistered /usr/local/bin/Trendkeep");
    EXPECT_FALSE(IsDirectory(dir_.path() + "/DataRecord"));
}

}  // namespace
}  // namespace storetest
