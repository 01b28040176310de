// Read-only image of a card's history store: every file of the record
// directory read into the daemon's own record layouts.  Nothing on the card
// is ever opened for writing, and nothing is mapped writable.
#ifndef TRENDKEEP_TOOLS_CARDREADER_H
#define TRENDKEEP_TOOLS_CARDREADER_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "StoreData.h"

namespace tk {

// Exit statuses of the card tool.
enum CardStatus {
    CARD_OK = 0,
    CARD_PROBLEMS = 1,  // check found problems; dump/report found nothing to show
    CARD_USAGE = 2,     // usage or I/O error
};

// One regular file of the record directory, taken for a sensor data file.
struct SensorFileImage {
    std::string Name;  // file name within the record directory
    int64_t Size = 0;
    // The file's bytes; zero beyond the end of a short file.
    std::unique_ptr<SensorDataFile> Data;

    bool Complete() const { return Size == SENSOR_FILE_SIZE; }
    bool HeaderRead() const { return Size >= (int64_t)sizeof(SensorFileHeader); }
    unsigned Num() const { return Data->Header.SensorNum; }
    unsigned Class() const { return Data->Header.SensorClass; }
    std::string HeaderName() const;
    // Recorded slots of block d.
    int RecordedSlots(int d) const;
    // Indices of the non-empty blocks, in ascending day order.
    std::vector<int> DaysInOrder() const;
    // Block holding day_key (the first, as the daemon looks it up), or -1.
    int BlockOf(int64_t day_key) const;
};

// Anything in the store's directories that is not part of the store.
struct StrayEntry {
    std::string Path;  // relative to the record directory
    std::string What;
};

struct CardImage {
    std::string RecordDir;
    std::vector<SensorFileImage> Files;  // by file name
    std::vector<StrayEntry> Strays;
    bool HasTimeDir = false;
    bool HasRecordTime = false;
    int64_t RecordTimeSize = 0;
    RecordTimeFile RecordTime = {0, 0};  // zero when absent or short

    // The files whose header says they are a sensor's (complete files).
    std::vector<const SensorFileImage *> CompleteFiles() const;
    // Day shown by default: the record day, else the latest day held.
    int64_t DefaultDayKey() const;
};

// Reads the card at path: a mount point holding DataRecord/SensorHistory,
// or that record directory itself.  Fails with CARD_USAGE when there is no
// record directory or a file cannot be read.
CardImage LoadCard(const std::string &path, bool progress);

// File name under which the daemon stores a sensor of that name.
std::string StoredFileName(const std::string &sensor_name);

}  // namespace tk

#endif
