#include "platform_log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

bool TkWriteAll(int fd, const char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void TkPlatformLogLine(int priority, const char *text) {
    const char *target = getenv("TRENDKEEP_LOG");
    if (target == nullptr || target[0] == '\0') {
        syslog(priority, "%s", text);
        return;
    }
    // One call, one line: a control character inside the text (a newline
    // a caller left in, or one that came with a name from a peer) could
    // otherwise end the line early or forge the next one.
    std::string line(text);
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = '?';
    }
    line.push_back('\n');
    if (strcmp(target, "-") == 0) {
        TkWriteAll(STDERR_FILENO, line.data(), line.size());
        return;
    }
    int fd = open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    TkWriteAll(fd, line.data(), line.size());
    close(fd);
}

void TkPlatformLogv(int priority, const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(text.data(), text.size(), fmt, ap);
        text.resize(static_cast<size_t>(n));
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    TkPlatformLogLine(priority, text.c_str());
}

void TkPlatformLogf(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    TkPlatformLogv(priority, fmt, ap);
    va_end(ap);
}
