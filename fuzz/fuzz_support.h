// What the fuzz targets share: a platform that answers every call the
// daemon's modules make without a BMC, a store built on a card in a
// temporary directory, and helpers that turn fuzz input into files.
#ifndef TRENDKEEP_FUZZ_SUPPORT_H
#define TRENDKEEP_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "StoreData.h"

namespace fuzz {

// Reads fuzz input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}
    uint8_t U8() { return left_ ? (--left_, *p_++) : 0; }
    uint16_t U16() { return (uint16_t)(U8() | U8() << 8); }
    uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
    // Up to n bytes, fewer at the end of the input.
    std::vector<uint8_t> Bytes(size_t n);
    size_t Left() const { return left_; }

private:
    const uint8_t *p_;
    size_t left_;
};

// The time the daemon's clock answers (g_clock).
extern time_t g_now;

// Points the daemon's clock and sleeps at the fuzz harness and sets the
// local time zone.  Call once.
void SetUpDaemon(const char *tz);

// The card path that the platform's card status reports; also fills the
// card status that the store reads, as the card watch would.
void SetCard(const std::string &path);

// A fresh directory for a card: under /dev/shm when it exists, so that
// the store's synchronous flushes cost nothing.
std::string MakeTempDir(const char *prefix);
// Removes a directory tree (nothing outside it, links are not followed).
void RemoveTree(const std::string &path);

// A sensor data list built in memory, as InitSensorDataList leaves it:
// the given sensors, then the three utilisation entries.
struct ListSensor {
    const char *Name;
    uint16_t Num;
    uint8_t Class;
};
void BuildList(const std::vector<ListSensor> &sensors);
// The sensors the targets use by default.
const std::vector<ListSensor> &DefaultSensors();

// Releases the store's mappings and array, as CleanUp does, without
// touching the FIFO paths.
void ReleaseStore();

// Builds the store on a new card with the default list, records a few
// samples so that it holds history, and returns the card's path.
std::string BuildStoreWithHistory(time_t start, int slots);

}  // namespace fuzz

#endif

namespace fuzz {

// Empties dir and lays out a store tree in it as the input describes:
// files of chosen sizes and contents, directories, FIFOs and links (to
// places inside dir only) at the store's paths, at leading parts of
// sensor names and at names from the input.  Returns the time that the
// input chose for the daemon's clock.
time_t MakeCardTree(Input &in, const std::string &dir);

}  // namespace fuzz
