#include "store_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "Trendkeep.h"
#include "fake_platform.h"

namespace storetest {

time_t g_now = 0;

time_t FakeClock(time_t *out) {
    if (out != nullptr) *out = g_now;
    return g_now;
}

namespace {
void NoSleep(unsigned) {}
}  // namespace

uint16_t GetU16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

uint32_t GetU32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

double GetDouble(const uint8_t *p) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    double v;
    memcpy(&v, &bits, sizeof v);
    return v;
}

void PutU16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void PutU32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

void PutDouble(uint8_t *p, double v) {
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(bits >> (8 * i));
}

std::vector<uint8_t> ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
}

void PatchBytes(const std::string &path, size_t offset, const std::vector<uint8_t> &bytes) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_NE(fd, -1) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), (off_t)offset), (ssize_t)bytes.size());
    close(fd);
}

long FileSizeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

bool IsDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> DirectoryNames(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<uint8_t> MapBytes(const void *map, size_t size) {
    const uint8_t *p = static_cast<const uint8_t *>(map);
    return std::vector<uint8_t>(p, p + size);
}

bool AllZero(const uint8_t *p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

bool MatchesPattern(const std::string &text, const std::string &pattern) {
    size_t t = 0;
    for (char c : pattern) {
        if (c == '#') {
            size_t digits = 0;
            while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t, ++digits;
            if (digits == 0) return false;
        } else {
            if (t >= text.size() || text[t] != c) return false;
            ++t;
        }
    }
    return t == text.size();
}

TestList::TestList(const std::vector<SensorSpec> &rules) : entries_(rules.size()), hdr_() {
    for (size_t i = 0; i < rules.size(); ++i) {
        LocalSensorData &e = entries_[i];
        memset(&e, 0, sizeof e);
        e.InUse = 1;
        snprintf(e.SensorName, sizeof e.SensorName, "%s", rules[i].Name.c_str());
        e.SensorNum = rules[i].Num;
        e.SensorClass = rules[i].Class;
    }
    hdr_.ListReady = 1;
    hdr_.SensorCount = (uint32_t)entries_.size();
    hdr_.SensorData = entries_.empty() ? nullptr : entries_.data();
}

void TestList::SetFigures(size_t i, double reading, double max, double min, double avg, uint32_t max_time,
                          uint32_t min_time) {
    LocalSensorData &e = entries_[i];
    e.Valid = 1;
    e.Reading = reading;
    e.MaxReading = max;
    e.MinReading = min;
    e.AvgReading = avg;
    e.MaxTime = max_time;
    e.MinTime = min_time;
    hdr_.DataReady = 1;
}

Slot SlotOf(const SensorDataFile *file, int d, int s) {
    SampleSlot raw = file->Days[d].Slots[s];
    return {raw.Recorded, raw.SlotTime, raw.Reading, raw.MaxReading, raw.MinReading, raw.AvgReading};
}

DayHead HeadOf(const SensorDataFile *file, int d) {
    const DayBlock &b = file->Days[d];
    return {b.DayKey, b.StatsValid, b.DayMax, b.DayMin, b.DayMaxTime, b.DayMinTime};
}

std::string HeaderName(const SensorDataFile *file) {
    return std::string(file->Header.SensorName, strnlen(file->Header.SensorName, SENSOR_NAME_SIZE));
}

void FillSlot(SensorDataFile *file, int d, int s, double reading, double max, double min, double avg) {
    SampleSlot &slot = file->Days[d].Slots[s];
    slot.Recorded = 1;
    slot.Reading = reading;
    slot.MaxReading = max;
    slot.MinReading = min;
    slot.AvgReading = avg;
}

void SetExtremes(SensorDataFile *file, int d, unsigned stats_valid, double max, uint32_t max_time, double min,
                 uint32_t min_time) {
    DayBlock &b = file->Days[d];
    b.StatsValid = (uint8_t)stats_valid;
    b.DayMax = max;
    b.DayMaxTime = max_time;
    b.DayMin = min;
    b.DayMinTime = min_time;
}

void KeyBlock(SensorDataFile *file, int d, int32_t day_key) {
    DayBlock &b = file->Days[d];
    b.DayKey = day_key;
    for (int s = 0; s < SLOTS_PER_DAY; ++s) b.Slots[s].SlotTime = (uint32_t)day_key + 300u * (uint32_t)s;
}

MappedFile::MappedFile(const std::string &path, uint16_t num, const char *name) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd == -1) {
        ADD_FAILURE() << "cannot create " << path;
        return;
    }
    if (ftruncate(fd, (off_t)kFileSize) != 0) ADD_FAILURE() << "cannot size " << path;
    void *map = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        ADD_FAILURE() << "cannot map " << path;
        return;
    }
    map_ = static_cast<SensorDataFile *>(map);
    map_->Header.SensorNum = num;
    snprintf(map_->Header.SensorName, sizeof map_->Header.SensorName, "%s", name);
}

MappedFile::~MappedFile() {
    if (map_ != nullptr) munmap(map_, kFileSize);
}

void ReleaseStore() {
    if (RecordStore.SensorArr != nullptr) {
        UnMmap(&RecordStore.SensorArr, RecordStore.RecordCount);
        free(RecordStore.SensorArr);
        RecordStore.SensorArr = nullptr;
    }
    if (RecordStore.RecordTimeMap != nullptr) {
        munmap(RecordStore.RecordTimeMap, sizeof(RecordTimeFile));
        RecordStore.RecordTimeMap = nullptr;
    }
    if (RecordTimeFd != -1) {
        close(RecordTimeFd);
        RecordTimeFd = -1;
    }
    RecordStore.RecordCount = 0;
}

void StoreTest::SetUp() {
    ResetFakePlatform();
    ReleaseStore();
    saved_clock_ = g_clock;
    saved_sleep_ = g_sleepms;
    g_clock = FakeClock;
    g_sleepms = NoSleep;
    g_now = 0;
    snprintf(g_tfmountpath, sizeof g_tfmountpath, "%s", dir_.path().c_str());
    g_tffreesize = 1u << 30;
}

void StoreTest::TearDown() {
    ReleaseStore();
    g_clock = saved_clock_;
    g_sleepms = saved_sleep_;
    memset(g_tfmountpath, 0, sizeof g_tfmountpath);
    g_tffreesize = 0;
}

int StoreTest::InitStore(TestList &list, time_t now) {
    g_now = now;
    return InitSensorDataRecordSt(&RecordStore.SensorArr, list.hdr());
}

}  // namespace storetest
