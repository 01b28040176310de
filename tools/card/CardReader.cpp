#include "CardReader.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "TextFormat.h"

namespace tk {

namespace {

// Opens the directory name inside dir, never through a link; -1 when there
// is none.
int OpenSubdir(int dir, const char *name) { return openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

bool IsSubdir(int dir, const char *name) {
    struct stat st;
    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Reads up to len bytes of the entry name of dir into buf and returns the
// file's size.  Only a regular file is opened at all, for reading only:
// the entry is looked at without opening it (OpenEntryAt), so that a link
// is never followed and a device or FIFO swapped in since the directory was
// read is never opened.  The access time is left alone where the system
// lets us (a card's flash should not be written for a read).  When the
// entry turns out not to be a regular file, nothing is read and *kind says
// what it is.
int64_t ReadEntry(int dir, const std::string &dir_path, const std::string &name, void *buf, size_t len,
                  std::string *kind) {
    const std::string path = dir_path + "/" + name;
    const int flags = O_RDONLY | O_CLOEXEC;
    struct stat st = {};
    int fd = OpenEntryAt(dir, name.c_str(), flags | O_NOATIME, S_IFREG, &st);
    if (fd < 0 && errno == EPERM) fd = OpenEntryAt(dir, name.c_str(), flags, S_IFREG, &st);
    if (fd < 0) {
        if ((errno == ELOOP || errno == EINVAL) && !S_ISREG(st.st_mode)) {
            *kind = FileKindText(st.st_mode);
            return 0;
        }
        throw ToolError(CARD_USAGE, "cannot open " + path + ": " + strerror(errno));
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

// Names in dir, sorted, without "." and "..".
std::vector<std::string> DirNames(int dir, const std::string &dir_path) {
    // A descriptor of its own: closedir closes it.
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        int err = errno;
        if (fd >= 0) close(fd);
        throw ToolError(CARD_USAGE, "cannot read the directory " + dir_path + ": " + strerror(err));
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct stat StatEntry(int dir, const std::string &dir_path, const std::string &name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        throw ToolError(CARD_USAGE, "cannot stat " + dir_path + "/" + name + ": " + strerror(errno));
    }
    return st;
}

// The record time directory: the record time file and whatever else is in
// it.
void LoadTimeDir(CardImage &card) {
    const std::string path = card.RecordDir + "/" RECORD_TIME_DIR;
    DirFd dir(OpenSubdir(card.Dir.Get(), RECORD_TIME_DIR));
    if (dir.Get() < 0) throw ToolError(CARD_USAGE, "cannot open " + path + ": " + strerror(errno));
    card.HasTimeDir = true;
    for (const std::string &inner : DirNames(dir.Get(), path)) {
        struct stat st = StatEntry(dir.Get(), path, inner);
        std::string kind = S_ISREG(st.st_mode) ? "" : FileKindText(st.st_mode);
        if (inner == RECORD_TIME_FILE && kind.empty()) {
            RecordTimeFile rt = {0, 0};
            int64_t size = ReadEntry(dir.Get(), path, inner, &rt, sizeof rt, &kind);
            if (kind.empty()) {
                card.HasRecordTime = true;
                card.RecordTimeSize = size;
                if (size >= (int64_t)sizeof rt) card.RecordTime = rt;
                continue;
            }
        }
        card.Strays.push_back({std::string(RECORD_TIME_DIR "/") + inner, kind.empty() ? "a file" : kind});
    }
}

}  // namespace

DirFd::~DirFd() {
    if (Fd >= 0) close(Fd);
}

DirFd &DirFd::operator=(DirFd &&other) noexcept {
    if (this != &other) {
        if (Fd >= 0) close(Fd);
        Fd = other.Fd;
        other.Fd = -1;
    }
    return *this;
}

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

std::string StoredFileName(const std::string &name) {
    char file_name[SENSOR_FILE_NAME_SIZE];
    SensorFileName(name.c_str(), file_name);
    return file_name;
}

CardImage LoadCard(const std::string &path) {
    CardImage card;
    std::string base = path;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    // The path given is the caller's own, links and all; below it,
    // everything is the card's and no link is followed.
    DirFd base_dir(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (base_dir.Get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) throw ToolError(CARD_USAGE, "no such directory: " + path);
        throw ToolError(CARD_USAGE, "cannot read the directory " + path + ": " + strerror(errno));
    }
    DirFd data_record(OpenSubdir(base_dir.Get(), "DataRecord"));
    DirFd history(data_record.Get() < 0 ? -1 : OpenSubdir(data_record.Get(), "SensorHistory"));
    if (history.Get() >= 0) {
        card.RecordDir = base + "/" RECORD_DIR;
        card.Dir = std::move(history);
    } else if (IsSubdir(base_dir.Get(), RECORD_TIME_DIR) ||
               (base.size() >= 13 && base.compare(base.size() - 13, 13, "SensorHistory") == 0)) {
        card.RecordDir = base;
        card.Dir = std::move(base_dir);
    } else {
        throw ToolError(CARD_USAGE, "no history store in " + path +
                                        " (neither " RECORD_DIR " under it nor a record directory itself)");
    }

    for (const std::string &name : DirNames(card.Dir.Get(), card.RecordDir)) {
        struct stat st = StatEntry(card.Dir.Get(), card.RecordDir, name);
        if (S_ISDIR(st.st_mode) && name == RECORD_TIME_DIR) {
            LoadTimeDir(card);
        } else if (S_ISREG(st.st_mode)) {
            card.FileNames.push_back(name);
        } else {
            card.Strays.push_back({name, FileKindText(st.st_mode)});
        }
    }
    return card;
}

void ReadFiles(const CardImage &card, const std::vector<std::string> &names, bool header_only, Progress *bar,
               const FileVisitor &visit, const StrayVisitor &stray) {
    // One buffer, reused: a card of thousands of files costs one file's
    // worth of memory.
    auto data = std::make_unique<SensorDataFile>();
    const size_t len = header_only ? sizeof(SensorFileHeader) : sizeof(SensorDataFile);
    for (const std::string &name : names) {
        if (bar != nullptr) bar->Step(name);
        memset(data.get(), 0, sizeof(SensorDataFile));
        SensorFileImage f;
        f.Name = name;
        f.Data = data.get();
        std::string kind;
        f.Size = ReadEntry(card.Dir.Get(), card.RecordDir, name, data.get(), len, &kind);
        if (kind.empty()) {
            visit(f);
        } else if (stray) {
            stray({name, kind});
        }
    }
}

int64_t DefaultDayKey(const CardImage &card) {
    if (card.RecordTime.RecordDay != 0) return card.RecordTime.RecordDay;
    int64_t latest = 0;
    ReadFiles(card, card.FileNames, false, nullptr, [&](const SensorFileImage &f) {
        if (!f.Complete()) return;
        for (const DayBlock &b : f.Data->Days) latest = std::max<int64_t>(latest, b.DayKey);
    });
    return latest;
}

}  // namespace tk
