// TF card status.  The card's mount point is stood for by a directory:
// TRENDKEEP_CARD, or kDefaultCardDir when that is unset (an empty value
// names no directory, so no card).  Removing or renaming the directory is
// how a card is pulled.  The free space is TRENDKEEP_CARD_FREE_KB when set
// (plain decimal digits; anything else fails the call), else what statvfs
// says is free for unprivileged use.  Both settings are read at every call.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <charconv>

#include "bmc_services.h"

namespace {

// The card's mount point when TRENDKEEP_CARD is unset.  Not in a
// world-writable place such as /var/tmp: whoever can make entries there
// before the card directory exists chooses what the store finds on it.
constexpr char kDefaultCardDir[] = "/var/lib/trendkeep/card";

// Size of the caller's mount path buffer, terminating NUL included.
constexpr size_t kMountPathSize = 64;

bool ParseKb(const char *text, uint64_t *kb) {
    const char *end = text + strlen(text);
    uint64_t value = 0;
    auto [stop, error] = std::from_chars(text, end, value, 10);
    if (text == end || error != std::errc() || stop != end) return false;
    *kb = value;
    return true;
}

bool StatvfsKb(const char *dir, uint64_t *kb) {
    struct statvfs vfs;
    if (statvfs(dir, &vfs) != 0) return false;
    // blocks * block size / 1024, split so that the product cannot wrap.
    uint64_t blocks = vfs.f_bavail;
    uint64_t block_size = vfs.f_frsize;
    *kb = (blocks / 1024) * block_size + (blocks % 1024) * block_size / 1024;
    return true;
}

}  // namespace

int CheckTFCardMountStatus(char *mount_path, uint64_t *free_kb) {
    if (mount_path == nullptr || free_kb == nullptr) return -1;
    const char *dir = getenv("TRENDKEEP_CARD");
    if (dir == nullptr) dir = kDefaultCardDir;

    // "/" comes out as "", which is right: the daemon joins "%s/%s".
    size_t len = strlen(dir);
    while (len > 0 && dir[len - 1] == '/') --len;
    if (len >= kMountPathSize) return -1;

    struct stat st;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;

    uint64_t kb = 0;
    const char *override_kb = getenv("TRENDKEEP_CARD_FREE_KB");
    if (override_kb != nullptr ? !ParseKb(override_kb, &kb) : !StatvfsKb(dir, &kb)) return -1;

    memcpy(mount_path, dir, len);
    mount_path[len] = '\0';
    *free_kb = kb;
    return 0;
}
