// Read-only access to a card's history store.  The record directory's
// entries and the record time file are read up front; the sensor data files
// are then read one at a time into the daemon's own record layout, handed to
// a visitor and dropped, so the memory taken stays the same however many
// files a card holds.  The card is untrusted data: nothing on it is followed
// as a link or opened for writing, and nothing but a regular file is opened
// at all.
#ifndef TRENDKEEP_TOOLS_CARDREADER_H
#define TRENDKEEP_TOOLS_CARDREADER_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "StoreData.h"
#include "ToolCli.h"

namespace tk {

// Exit statuses of the card tool.
enum CardStatus {
    CARD_OK = 0,
    CARD_PROBLEMS = 1,  // check found problems; dump/report found nothing to show
    CARD_USAGE = 2,     // usage or I/O error
};

// One regular file of the record directory, taken for a sensor data file.
// Lives only while a visitor runs.
struct SensorFileImage {
    std::string Name;  // file name within the record directory
    int64_t Size = 0;
    // The file's bytes as far as they were read; zero beyond.
    const SensorDataFile *Data = nullptr;

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

// A descriptor closed with its owner.
class DirFd {
public:
    DirFd() = default;
    explicit DirFd(int fd) : Fd(fd) {}
    ~DirFd();
    DirFd(DirFd &&other) noexcept : Fd(other.Fd) { other.Fd = -1; }
    DirFd &operator=(DirFd &&other) noexcept;
    DirFd(const DirFd &) = delete;
    DirFd &operator=(const DirFd &) = delete;
    int Get() const { return Fd; }

private:
    int Fd = -1;
};

struct CardImage {
    std::string RecordDir;
    DirFd Dir;                           // the record directory, open
    std::vector<std::string> FileNames;  // its regular files, by name
    std::vector<StrayEntry> Strays;
    bool HasTimeDir = false;
    bool HasRecordTime = false;
    int64_t RecordTimeSize = 0;
    RecordTimeFile RecordTime = {0, 0};  // zero when absent or short
};

// Opens the card at path: a mount point holding DataRecord/SensorHistory,
// or that record directory itself.  Reads the directories and the record
// time file, not the sensor data files.  Fails with CARD_USAGE when there is
// no record directory or it cannot be read.
CardImage LoadCard(const std::string &path);

using FileVisitor = std::function<void(const SensorFileImage &)>;
using StrayVisitor = std::function<void(const StrayEntry &)>;

// Reads the named files of the record directory one after another, in the
// order given, and hands each to visit; with header_only only the header
// is read (Size is still the whole file's).  A name that is no longer a
// regular file when it is opened goes to stray instead (when given).  bar,
// when given, steps once per name.  Fails with CARD_USAGE when a file
// cannot be read.
void ReadFiles(const CardImage &card, const std::vector<std::string> &names, bool header_only, Progress *bar,
               const FileVisitor &visit, const StrayVisitor &stray = nullptr);

// Day shown by default: the record day, else the latest day any complete
// file holds (which reads every file).
int64_t DefaultDayKey(const CardImage &card);

// File name under which the daemon stores a sensor of that name.
std::string StoredFileName(const std::string &sensor_name);

}  // namespace tk

#endif
