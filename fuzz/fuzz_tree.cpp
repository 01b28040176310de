#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "StoreData.h"
#include "fuzz_support.h"

namespace fuzz {
namespace {

const char *const kPaths[] = {
    "DataRecord",
    "DataRecord/SensorHistory",
    "DataRecord/SensorHistory/DataTime",
    "DataRecord/SensorHistory/DataTime/RecordTime",
    "DataRecord/SensorHistory/CPU0_Temp",
    "DataRecord/SensorHistory/CPU",
    "DataRecord/SensorHistory/CPU0",
    "DataRecord/SensorHistory/C",
    "DataRecord/SensorHistory/FAN1_Speed",
    "DataRecord/SensorHistory/PSU1_Input_Power_W",
    "DataRecord/SensorHistory/CPU_Utilization",
    "DataRecord/SensorHistory/MEM_Utilization",
    "DataRecord/SensorHistory/IO_Utilization",
    "DataRecord/SensorHistory/IO_Util",
    "DataRecord/SensorHistory/DataTime/CPU0_Temp",
    "DataRecord/SensorHistory/_empty_",
};
const size_t kPathCount = sizeof kPaths / sizeof kPaths[0];

const size_t kSizes[] = {0, 1, 7, 8, 9, 23, 4096, SENSOR_FILE_SIZE - 1, SENSOR_FILE_SIZE, SENSOR_FILE_SIZE + 1};
const size_t kSizeCount = sizeof kSizes / sizeof kSizes[0];

// A name for an entry of the record directory taken from the input: never
// empty, never "." or "..", never holding '/' or NUL.
std::string InputName(Input &in) {
    size_t len = 1 + in.U8() % 24;
    std::string name;
    for (size_t i = 0; i < len; ++i) {
        char c = (char)in.U8();
        if (c == '/' || c == '\0') c = '_';
        name += c;
    }
    if (name == "." || name == "..") name += "x";
    return name;
}

void MakeParents(const std::string &dir, const std::string &rel) {
    for (size_t pos = rel.find('/'); pos != std::string::npos; pos = rel.find('/', pos + 1)) {
        mkdir((dir + "/" + rel.substr(0, pos)).c_str(), 0755);
    }
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) return;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    close(fd);
}

void PutU32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
    for (int k = 0; k < 4 && off + k < b.size(); ++k) b[off + k] = (uint8_t)(v >> (8 * k));
}

// Contents of a file: a header naming one of the sensors, day keys near
// the chosen time, slot times that fit them or not, and raw patches.
std::vector<uint8_t> Contents(Input &in, size_t size, time_t now) {
    std::vector<uint8_t> b(size, 0);
    uint8_t how = in.U8();
    if (how & 1) {
        const char *names[] = {"CPU0_Temp", "CPU", "FAN1_Speed", "CPU_Utilization", "X"};
        if (size >= 23) {
            snprintf(reinterpret_cast<char *>(b.data()) + 2, 20, "%s", names[in.U8() % 5]);
            b[0] = in.U8();
            b[1] = in.U8() & 1 ? 0xFF : 0;
        }
    }
    if (how & 2) {
        for (int d = 0; d < DAYS_PER_FILE; ++d) {
            size_t base = 23 + (size_t)d * sizeof(DayBlock);
            uint8_t pick = in.U8();
            uint32_t key = pick & 0x80 ? in.U32() : (uint32_t)(now - now % 86400 - (int64_t)(pick % 10) * 86400 + 7200);
            if ((pick & 0x70) == 0) key = 0;
            PutU32(b, base, key);
            if (how & 4) {
                for (int s = 0; s < SLOTS_PER_DAY; ++s) PutU32(b, base + 29 + 37 * (size_t)s + 1, key + 300u * (uint32_t)s);
            }
        }
    }
    int patches = in.U8() % 8;
    for (int k = 0; k < patches && size > 0; ++k) {
        size_t off = in.U32() % size;
        std::vector<uint8_t> bytes = in.Bytes(in.U8() % 48);
        for (size_t i = 0; i < bytes.size() && off + i < size; ++i) b[off + i] = bytes[i];
    }
    return b;
}

}  // namespace

time_t MakeCardTree(Input &in, const std::string &dir) {
    RemoveTree(dir);
    mkdir(dir.c_str(), 0755);
    // Around the end of October 2026, or anything at all.
    uint8_t when = in.U8();
    time_t now = when & 0x80 ? (time_t)(int32_t)in.U32() : (time_t)1792540800 + (time_t)(in.U32() % (30u * 86400));
    int entries = in.U8() % 12;
    for (int k = 0; k < entries; ++k) {
        uint8_t op = in.U8();
        uint8_t which = in.U8();
        std::string rel = which < 0xE0 ? kPaths[which % kPathCount]
                                       : std::string("DataRecord/SensorHistory/") + InputName(in);
        MakeParents(dir, rel);
        std::string path = dir + "/" + rel;
        switch (op % 5) {
            case 0:
            case 1: {
                size_t size = op & 0x80 ? in.U16() % (SENSOR_FILE_SIZE + 2) : kSizes[in.U8() % kSizeCount];
                WriteFile(path, Contents(in, size, now));
                break;
            }
            case 2:
                mkdir(path.c_str(), 0755);
                break;
            case 3:
                mkfifo(path.c_str(), 0644);
                break;
            case 4: {
                std::string target = dir + "/" + kPaths[in.U8() % kPathCount];
                if (symlink(target.c_str(), path.c_str()) != 0) {
                }
                break;
            }
        }
    }
    return now;
}

}  // namespace fuzz
