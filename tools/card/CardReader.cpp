#include "CardReader.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "TextFormat.h"
#include "ToolCli.h"

namespace tk {

namespace {

bool IsDir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens for reading only; without touching the access time where the
// system lets us (a card's flash should not be written for a read).
int OpenReadOnly(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == EPERM) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd;
}

// Reads up to len bytes of path into buf; returns the file's size.
int64_t ReadFilePrefix(const std::string &path, void *buf, size_t len) {
    int fd = OpenReadOnly(path);
    if (fd < 0) throw ToolError(CARD_USAGE, "cannot open " + path + ": " + strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        throw ToolError(CARD_USAGE, "cannot stat " + path + ": " + strerror(err));
    }
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, static_cast<char *>(buf) + got, len - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            throw ToolError(CARD_USAGE, "cannot read " + path + ": " + strerror(err));
        }
        got += (size_t)n;
    }
    close(fd);
    return (int64_t)st.st_size;
}

std::vector<std::string> DirNames(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) throw ToolError(CARD_USAGE, "cannot read the directory " + dir + ": " + strerror(errno));
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

}  // namespace

std::string SensorFileImage::HeaderName() const { return FieldText(Data->Header.SensorName, SENSOR_NAME_SIZE); }

int SensorFileImage::RecordedSlots(int d) const {
    int n = 0;
    for (const SampleSlot &s : Data->Days[d].Slots) n += s.Recorded == 1;
    return n;
}

std::vector<int> SensorFileImage::DaysInOrder() const {
    std::vector<int> days;
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        if (Data->Days[d].DayKey != 0 && BlockOf(Data->Days[d].DayKey) == d) days.push_back(d);
    }
    std::sort(days.begin(), days.end(), [&](int a, int b) {
        int32_t ka = Data->Days[a].DayKey, kb = Data->Days[b].DayKey;
        return ka < kb;
    });
    return days;
}

int SensorFileImage::BlockOf(int64_t day_key) const {
    for (int d = 0; d < DAYS_PER_FILE; ++d) {
        if (Data->Days[d].DayKey == day_key) return d;
    }
    return -1;
}

std::vector<const SensorFileImage *> CardImage::CompleteFiles() const {
    std::vector<const SensorFileImage *> out;
    for (const SensorFileImage &f : Files) {
        if (f.Complete()) out.push_back(&f);
    }
    return out;
}

int64_t CardImage::DefaultDayKey() const {
    if (RecordTime.RecordDay != 0) return RecordTime.RecordDay;
    int64_t latest = 0;
    for (const SensorFileImage *f : CompleteFiles()) {
        for (const DayBlock &b : f->Data->Days) latest = std::max<int64_t>(latest, b.DayKey);
    }
    return latest;
}

std::string StoredFileName(const std::string &name) {
    // The daemon's rule: a name is its own file name, except those that
    // cannot be one.
    if (name.empty()) return "_empty_";
    if (name == ".") return "_dot_";
    if (name == "..") return "_dotdot_";
    std::string out = name.substr(0, SENSOR_FILE_NAME_SIZE - 1);
    std::replace(out.begin(), out.end(), '/', '_');
    return out;
}

CardImage LoadCard(const std::string &path, bool progress) {
    CardImage card;
    std::string base = path;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (IsDir(base + "/" RECORD_DIR)) {
        card.RecordDir = base + "/" RECORD_DIR;
    } else if (IsDir(base + "/" RECORD_TIME_DIR) || (IsDir(base) && base.size() >= 13 &&
                                                     base.compare(base.size() - 13, 13, "SensorHistory") == 0)) {
        card.RecordDir = base;
    } else if (!IsDir(base)) {
        throw ToolError(CARD_USAGE, "no such directory: " + path);
    } else {
        throw ToolError(CARD_USAGE, "no history store in " + path + " (neither " RECORD_DIR " under it nor a record directory itself)");
    }

    std::vector<std::string> names = DirNames(card.RecordDir);
    Progress bar("reading", names.size(), progress);
    for (const std::string &name : names) {
        bar.Step(name);
        std::string full = card.RecordDir + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) throw ToolError(CARD_USAGE, "cannot stat " + full + ": " + strerror(errno));
        if (S_ISDIR(st.st_mode) && name == RECORD_TIME_DIR) {
            card.HasTimeDir = true;
            for (const std::string &inner : DirNames(full)) {
                std::string ipath = full + "/" + inner;
                struct stat ist;
                if (lstat(ipath.c_str(), &ist) != 0) throw ToolError(CARD_USAGE, "cannot stat " + ipath + ": " + strerror(errno));
                if (inner == RECORD_TIME_FILE && S_ISREG(ist.st_mode)) {
                    card.HasRecordTime = true;
                    card.RecordTimeSize = ReadFilePrefix(ipath, &card.RecordTime, sizeof card.RecordTime);
                    if (card.RecordTimeSize < (int64_t)sizeof card.RecordTime) card.RecordTime = {0, 0};
                } else {
                    card.Strays.push_back({std::string(RECORD_TIME_DIR "/") + inner,
                                           S_ISREG(ist.st_mode) ? "a file" : KindOf(ist.st_mode)});
                }
            }
        } else if (S_ISREG(st.st_mode)) {
            SensorFileImage f;
            f.Name = name;
            f.Data = std::make_unique<SensorDataFile>();
            memset(f.Data.get(), 0, sizeof(SensorDataFile));
            f.Size = ReadFilePrefix(full, f.Data.get(), sizeof(SensorDataFile));
            card.Files.push_back(std::move(f));
        } else {
            card.Strays.push_back({name, KindOf(st.st_mode)});
        }
    }
    return card;
}

}  // namespace tk
