/*
 * libtkfault: makes chosen system calls of a process fail, for the
 * reliability tests of Trendkeep.  Preloaded (LD_PRELOAD) into the daemon,
 * it stands in front of the C library for every call listed in kCalls and
 * counts them; the calls named in TK_FAULT fail with the given error number
 * instead of running.
 *
 *   TK_FAULT=RULE[,RULE...]     RULE = CALL[@TEXT]:N:ERRNO[:once|:always]
 *       the N-th call (from 1) of CALL fails with ERRNO (a name such as EIO,
 *       or a number); "once" (default) fails that call only, "always" that
 *       call and every later one.  With @TEXT only calls whose path (or the
 *       file behind the descriptor or mapping) contains TEXT are counted
 *       for this RULE.
 *   TK_FAULT_COUNT=FILE         at exit, FILE gets one "CALL COUNT" line per
 *       call that was made at least once.
 *   TK_FAULT_LOG=FILE           every injected failure appends one line:
 *       "CALL N ERRNO CALLER ARG" (CALLER: the object that made the call).
 *
 * Calls made by libfaketime (which the tests preload beside this library)
 * and by this library itself are neither counted nor failed.  Processes
 * started from the faulted one (the shell of popen, mkdir) inherit
 * LD_PRELOAD but stay untouched: only the first process to load the
 * library injects and counts.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum CallId {
    C_OPEN, C_OPENAT, C_FTRUNCATE, C_MMAP, C_MUNMAP, C_MSYNC, C_WRITE, C_READ, C_SELECT, C_POPEN,
    C_MKFIFO, C_OPENDIR, C_FSTAT, C_STAT, C_LSTAT, C_ACCESS, C_REMOVE, C_UNLINK, C_CLOSE, C_STATVFS,
    C_COUNT
};

static const char *const kCalls[C_COUNT] = {
    "open", "openat", "ftruncate", "mmap", "munmap", "msync", "write", "read", "select", "popen",
    "mkfifo", "opendir", "fstat", "stat", "lstat", "access", "remove", "unlink", "close", "statvfs",
};

#define MAX_RULES 16
struct Rule {
    int call;
    char text[128];  /* empty: every call */
    unsigned long n;
    int err;
    int always;
    unsigned long seen; /* calls counted for this rule */
};

static struct Rule g_rules[MAX_RULES];
static int g_nrules;
static unsigned long g_counts[C_COUNT];
static int g_active;      /* 1 in the process that injects */
static int g_ready;       /* configuration read */
static char g_countfile[512];
static char g_logfile[512];

/* The real functions, found once. */
static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_read)(int, void *, size_t);
static int (*real_close)(int);
static void (*real_exit)(int);

#define REAL(name) (__typeof__(&name))real_symbol(#name)
static void *real_symbol(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        static const char msg[] = "libtkfault: a real function is missing\n";
        ssize_t (*w)(int, const void *, size_t) = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
        if (w) w(2, msg, sizeof msg - 1);
        abort();
    }
    return p;
}

static const struct { const char *name; int value; } kErrnos[] = {
    {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM},
    {"EINTR", EINTR}, {"EAGAIN", EAGAIN}, {"EBADF", EBADF}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
    {"EROFS", EROFS}, {"EPERM", EPERM}, {"EEXIST", EEXIST}, {"EFAULT", EFAULT}, {"EINVAL", EINVAL},
    {"ENODEV", ENODEV}, {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR}, {"EBUSY", EBUSY}, {"EFBIG", EFBIG},
    {"ENXIO", ENXIO}, {"EPIPE", EPIPE}, {"EDQUOT", EDQUOT}, {"ESTALE", ESTALE},
};

static int parse_errno(const char *s) {
    for (size_t i = 0; i < sizeof kErrnos / sizeof kErrnos[0]; ++i)
        if (strcmp(s, kErrnos[i].name) == 0) return kErrnos[i].value;
    char *end;
    long v = strtol(s, &end, 10);
    return (*s && !*end && v > 0) ? (int)v : -1;
}

static void bad_config(const char *what) {
    char line[300];
    int n = snprintf(line, sizeof line, "libtkfault: bad TK_FAULT: %s\n", what);
    real_write(2, line, (size_t)n);
    abort();
}

static void parse_spec(char *s) {
    if (g_nrules == MAX_RULES) bad_config("too many");
    struct Rule *sp = &g_rules[g_nrules];
    memset(sp, 0, sizeof *sp);
    char *fields[4] = {0};
    int nf = 0;
    for (char *p = s; nf < 4; ) {
        fields[nf++] = p;
        char *colon = strchr(p, ':');
        if (!colon) break;
        *colon = '\0';
        p = colon + 1;
    }
    if (nf < 3) bad_config(s);
    char *at = strchr(fields[0], '@');
    if (at) {
        *at = '\0';
        snprintf(sp->text, sizeof sp->text, "%s", at + 1);
    }
    sp->call = -1;
    for (int c = 0; c < C_COUNT; ++c)
        if (strcmp(fields[0], kCalls[c]) == 0) sp->call = c;
    if (sp->call < 0) bad_config(fields[0]);
    char *end;
    sp->n = strtoul(fields[1], &end, 10);
    if (!*fields[1] || *end || sp->n == 0) bad_config(fields[1]);
    sp->err = parse_errno(fields[2]);
    if (sp->err < 0) bad_config(fields[2]);
    if (nf == 4) {
        if (strcmp(fields[3], "always") == 0) sp->always = 1;
        else if (strcmp(fields[3], "once") != 0) bad_config(fields[3]);
    }
    ++g_nrules;
}

static void write_counts(void);

/* Set while this thread reads the configuration: calls made meanwhile (a
   sanitizer's start-up may read and write through us from inside dlsym)
   go straight to the system. */
static __thread int t_insetup;

static void setup(void) {
    if (__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE) || t_insetup) return;
    static int busy;
    if (__atomic_exchange_n(&busy, 1, __ATOMIC_ACQ_REL)) {
        while (!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) {
        }
        return;
    }
    t_insetup = 1;
    real_open = (int (*)(const char *, int, ...))real_symbol("open");
    real_openat = (int (*)(int, const char *, int, ...))real_symbol("openat");
    real_write = (ssize_t(*)(int, const void *, size_t))real_symbol("write");
    real_read = (ssize_t(*)(int, void *, size_t))real_symbol("read");
    real_close = (int (*)(int))real_symbol("close");
    real_exit = (void (*)(int))real_symbol("_exit");
    /* Only the first process of a tree injects: processes it starts see
       the mark and stay untouched. */
    if (getenv("TK_FAULT_ACTIVE_PID") == NULL) {
        char pid[32];
        snprintf(pid, sizeof pid, "%d", (int)getpid());
        setenv("TK_FAULT_ACTIVE_PID", pid, 1);
        g_active = 1;
        const char *cfg = getenv("TK_FAULT");
        if (cfg && *cfg) {
            char *copy = strdup(cfg);
            for (char *tok = strtok(copy, ","); tok; tok = strtok(NULL, ",")) parse_spec(tok);
            free(copy);
        }
        const char *cf = getenv("TK_FAULT_COUNT");
        if (cf) snprintf(g_countfile, sizeof g_countfile, "%s", cf);
        const char *lf = getenv("TK_FAULT_LOG");
        if (lf) snprintf(g_logfile, sizeof g_logfile, "%s", lf);
    }
    t_insetup = 0;
    __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
}

__attribute__((constructor)) static void tkfault_init(void) { setup(); }
__attribute__((destructor)) static void tkfault_fini(void) { write_counts(); }

/* Whether a call comes from an object whose calls are left alone. */
static int foreign_caller(const void *ret, const char **object) {
    Dl_info info;
    *object = "?";
    if (ret && dladdr(ret, &info) && info.dli_fname) {
        const char *slash = strrchr(info.dli_fname, '/');
        *object = slash ? slash + 1 : info.dli_fname;
        if (strstr(*object, "faketime") || strstr(*object, "libtkfault")) return 1;
    }
    return 0;
}

static void fd_path(int fd, char *out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n > 0 ? n : 0] = '\0';
}

/* Path of the file mapped at addr, from /proc/self/maps. */
static void map_path(const void *addr, char *out, size_t size) {
    out[0] = '\0';
    int fd = real_open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    static char buf[1 << 16];
    size_t len = 0;
    ssize_t n;
    while (len < sizeof buf - 1 && (n = real_read(fd, buf + len, sizeof buf - 1 - len)) > 0) len += (size_t)n;
    real_close(fd);
    buf[len] = '\0';
    for (char *line = buf; line && *line;) {
        char *next = strchr(line, '\n');
        if (next) *next++ = '\0';
        unsigned long lo, hi;
        if (sscanf(line, "%lx-%lx", &lo, &hi) == 2 && (uintptr_t)addr >= lo && (uintptr_t)addr < hi) {
            char *path = strchr(line, '/');
            if (path) snprintf(out, size, "%s", path);
            return;
        }
        line = next;
    }
}

/* Decides whether this call fails.  Returns the error number, or 0. */
static int decide(int call, const void *ret, const char *path, int fd, const void *addr) {
    setup();
    const char *object;
    if (t_insetup || !g_active || foreign_caller(ret, &object)) return 0;
    unsigned long nth = __atomic_add_fetch(&g_counts[call], 1, __ATOMIC_RELAXED);
    (void)nth;
    char what[512] = "";
    int have_what = 0;
    for (int i = 0; i < g_nrules; ++i) {
        struct Rule *sp = &g_rules[i];
        if (sp->call != call) continue;
        if (sp->text[0]) {
            if (!have_what) {
                if (path) snprintf(what, sizeof what, "%s", path);
                else if (addr) map_path(addr, what, sizeof what);
                else if (fd >= 0) fd_path(fd, what, sizeof what);
                have_what = 1;
            }
            if (!strstr(what, sp->text)) continue;
        }
        unsigned long k = __atomic_add_fetch(&sp->seen, 1, __ATOMIC_RELAXED);
        if (k == sp->n || (sp->always && k > sp->n)) {
            if (g_logfile[0]) {
                if (!have_what) {
                    if (path) snprintf(what, sizeof what, "%s", path);
                    else if (addr) map_path(addr, what, sizeof what);
                    else if (fd >= 0) fd_path(fd, what, sizeof what);
                }
                char line[800];
                int len = snprintf(line, sizeof line, "%s %lu %d %s %s\n", kCalls[call], k, sp->err, object,
                                   what[0] ? what : "-");
                int lfd = real_open(g_logfile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (lfd >= 0) {
                    real_write(lfd, line, (size_t)len);
                    real_close(lfd);
                }
            }
            return sp->err;
        }
    }
    return 0;
}

static void write_counts(void) {
    if (!g_ready || !g_active || !g_countfile[0]) return;
    char buf[2048];
    size_t len = 0;
    for (int c = 0; c < C_COUNT; ++c) {
        unsigned long n = __atomic_load_n(&g_counts[c], __ATOMIC_RELAXED);
        if (n) len += (size_t)snprintf(buf + len, sizeof buf - len, "%s %lu\n", kCalls[c], n);
    }
    char tmp[600];
    snprintf(tmp, sizeof tmp, "%s.%d", g_countfile, (int)getpid());
    int fd = real_open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    real_write(fd, buf, len);
    real_close(fd);
    rename(tmp, g_countfile);
}

#define RET __builtin_return_address(0)
#define FAIL_WITH(err, value) \
    do {                      \
        errno = (err);        \
        return (value);       \
    } while (0)

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int err = decide(C_OPEN, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_open) return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    return real_open(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int err = decide(C_OPEN, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_open) return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
    return real_open(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int err = decide(C_OPENAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_openat) return (int)syscall(SYS_openat, dirfd, path, flags, mode);
    return real_openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int err = decide(C_OPENAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_openat) return (int)syscall(SYS_openat, dirfd, path, flags, mode);
    return real_openat(dirfd, path, flags, mode);
}

int ftruncate(int fd, off_t length) {
    static int (*real)(int, off_t);
    if (!real) real = REAL(ftruncate);
    int err = decide(C_FTRUNCATE, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    static int (*real)(int, off64_t);
    if (!real) real = REAL(ftruncate64);
    int err = decide(C_FTRUNCATE, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(fd, length);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static void *(*real)(void *, size_t, int, int, int, off_t);
    if (!real) real = REAL(mmap);
    int err = decide(C_MMAP, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, MAP_FAILED);
    return real(addr, length, prot, flags, fd, offset);
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    static void *(*real)(void *, size_t, int, int, int, off64_t);
    if (!real) real = REAL(mmap64);
    int err = decide(C_MMAP, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, MAP_FAILED);
    return real(addr, length, prot, flags, fd, offset);
}

int munmap(void *addr, size_t length) {
    static int (*real)(void *, size_t);
    if (!real) real = REAL(munmap);
    int err = decide(C_MUNMAP, RET, NULL, -1, addr);
    if (err) FAIL_WITH(err, -1);
    return real(addr, length);
}

int msync(void *addr, size_t length, int flags) {
    static int (*real)(void *, size_t, int);
    if (!real) real = REAL(msync);
    int err = decide(C_MSYNC, RET, NULL, -1, addr);
    if (err) FAIL_WITH(err, -1);
    return real(addr, length, flags);
}

ssize_t write(int fd, const void *buf, size_t count) {
    int err = decide(C_WRITE, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_write) return syscall(SYS_write, fd, buf, count);
    return real_write(fd, buf, count);
}

ssize_t read(int fd, void *buf, size_t count) {
    int err = decide(C_READ, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    if (!real_read) return syscall(SYS_read, fd, buf, count);
    return real_read(fd, buf, count);
}

int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout) {
    static int (*real)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    if (!real) real = REAL(select);
    int err = decide(C_SELECT, RET, NULL, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(nfds, r, w, e, timeout);
}

FILE *popen(const char *command, const char *type) {
    static FILE *(*real)(const char *, const char *);
    if (!real) real = REAL(popen);
    int err = decide(C_POPEN, RET, command, -1, NULL);
    if (err) FAIL_WITH(err, NULL);
    return real(command, type);
}

int mkfifo(const char *path, mode_t mode) {
    static int (*real)(const char *, mode_t);
    if (!real) real = REAL(mkfifo);
    int err = decide(C_MKFIFO, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, mode);
}

DIR *opendir(const char *path) {
    static DIR *(*real)(const char *);
    if (!real) real = REAL(opendir);
    int err = decide(C_OPENDIR, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, NULL);
    return real(path);
}

int fstat(int fd, struct stat *st) {
    static int (*real)(int, struct stat *);
    if (!real) real = REAL(fstat);
    int err = decide(C_FSTAT, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(fd, st);
}

int fstat64(int fd, struct stat64 *st) {
    static int (*real)(int, struct stat64 *);
    if (!real) real = REAL(fstat64);
    int err = decide(C_FSTAT, RET, NULL, fd, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(fd, st);
}

int stat(const char *path, struct stat *st) {
    static int (*real)(const char *, struct stat *);
    if (!real) real = REAL(stat);
    int err = decide(C_STAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, st);
}

int stat64(const char *path, struct stat64 *st) {
    static int (*real)(const char *, struct stat64 *);
    if (!real) real = REAL(stat64);
    int err = decide(C_STAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, st);
}

int lstat(const char *path, struct stat *st) {
    static int (*real)(const char *, struct stat *);
    if (!real) real = REAL(lstat);
    int err = decide(C_LSTAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, st);
}

int lstat64(const char *path, struct stat64 *st) {
    static int (*real)(const char *, struct stat64 *);
    if (!real) real = REAL(lstat64);
    int err = decide(C_LSTAT, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, st);
}

int access(const char *path, int mode) {
    static int (*real)(const char *, int);
    if (!real) real = REAL(access);
    int err = decide(C_ACCESS, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, mode);
}

int remove(const char *path) {
    static int (*real)(const char *);
    if (!real) real = REAL(remove);
    int err = decide(C_REMOVE, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path);
}

int unlink(const char *path) {
    static int (*real)(const char *);
    if (!real) real = REAL(unlink);
    int err = decide(C_UNLINK, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path);
}

int close(int fd) {
    int err = decide(C_CLOSE, RET, NULL, fd, NULL);
    if (!real_close) return (int)syscall(SYS_close, fd);
    /* The descriptor is released either way, as Linux does. */
    if (err) {
        real_close(fd);
        FAIL_WITH(err, -1);
    }
    return real_close(fd);
}

int statvfs(const char *path, struct statvfs *buf) {
    static int (*real)(const char *, struct statvfs *);
    if (!real) real = REAL(statvfs);
    int err = decide(C_STATVFS, RET, path, -1, NULL);
    if (err) FAIL_WITH(err, -1);
    return real(path, buf);
}

void _exit(int status) {
    setup();
    write_counts();
    real_exit(status);
    __builtin_unreachable();
}

void _Exit(int status) {
    setup();
    write_counts();
    real_exit(status);
    __builtin_unreachable();
}
