/* libtkfault, preloaded: counts the calls of CALLS and fails those TK_FAULT names (docs/reliability.md), not
 * libfaketime's nor popen's shell's: TK_FAULT=CALL[@TEXT]:N:ERRNO[:once|:always],... TK_FAULT_COUNT= TK_FAULT_LOG= */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

/* X(call, result type, failure result, prologue, the file it is about, parameters, arguments) */
#define CALLS(X)                                                                                                   \
    X(open, int, -1, MODE(f), AT(AT_FDCWD, p), (const char *p, int f, ...), (p, f, m))                             \
    X(openat, int, -1, MODE(f), AT(d, p), (int d, const char *p, int f, ...), (d, p, f, m))                        \
    X(ftruncate, int, -1, , FD(fd), (int fd, off_t n), (fd, n))                                                    \
    X(mmap, void *, MAP_FAILED, , FD(fd), (void *a, size_t n, int p, int f, int fd, off_t o), (a, n, p, f, fd, o)) \
    X(munmap, int, -1, , FD(-1), (void *a, size_t n), (a, n))                                                      \
    X(msync, int, -1, , FD(-1), (void *a, size_t n, int f), (a, n, f))                                             \
    X(write, ssize_t, -1, , FD(fd), (int fd, const void *b, size_t n), (fd, b, n))                                 \
    X(read, ssize_t, -1, , FD(fd), (int fd, void *b, size_t n), (fd, b, n))                                        \
    X(select, int, -1, , FD(-1), (int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *t), (n, r, w, e, t))     \
    X(popen, FILE *, NULL, , AT(AT_FDCWD, c), (const char *c, const char *t), (c, t))                              \
    X(mkfifo, int, -1, , AT(AT_FDCWD, p), (const char *p, mode_t m), (p, m))                                       \
    X(fstat, int, -1, , FD(fd), (int fd, struct stat *s), (fd, s))                                                 \
    X(fstatat, int, -1, , AT(d, p), (int d, const char *p, struct stat *s, int f), (d, p, s, f))                   \
    X(unlinkat, int, -1, , AT(d, p), (int d, const char *p, int f), (d, p, f))                                     \
    X(statvfs, int, -1, , AT(AT_FDCWD, p), (const char *p, struct statvfs *s), (p, s))

#define ID(call, ...) C_##call,
enum { CALLS(ID) C_END };
#define NAME(call, ...) #call,
static const char *const kNames[] = {CALLS(NAME)};
/* The file a call is about, as decide's last arguments: a path against a directory descriptor, or a descriptor. */
#define AT(d, p) d, p, -1
#define FD(fd) -1, NULL, fd
/* open's mode argument is there only when the flags create a file. */
#define MODE(last)                                                     \
    mode_t m = 0;                                                      \
    va_list ap;                                                        \
    va_start(ap, last);                                                \
    if ((last) & (O_CREAT | __O_TMPFILE)) m = (mode_t)va_arg(ap, int); \
    va_end(ap);

static struct Rule {
    int call, err, always;
    unsigned long n, seen;
    char text[128];
} g_rules[16];
static int g_nrules, g_ready, g_active;
static unsigned long g_counts[C_END];
static char g_countfile[512], g_logfile[512];
/* stdio reaches the system through the C library's inner calls, which stay unwrapped. */
static void put(const char *file, const char *mode, const char *text) {
    FILE *f = fopen(file, mode);
    if (f == NULL) return;
    fputs(text, f);
    fclose(f);
}
static const char *env(const char *name) { return getenv(name) ? getenv(name) : ""; }

static void setup(void) {
    if (g_ready) return;
    g_ready = 1;
    if (getenv("TK_FAULT_ACTIVE_PID")) return; /* a child of the process that injects */
    char *rules = strdup(env("TK_FAULT"));
    setenv("TK_FAULT_ACTIVE_PID", "1", 1);
    g_active = 1;
    snprintf(g_countfile, sizeof g_countfile, "%s", env("TK_FAULT_COUNT"));
    snprintf(g_logfile, sizeof g_logfile, "%s", env("TK_FAULT_LOG"));
    for (char *save = NULL, *tok = strtok_r(rules, ",", &save); tok; tok = strtok_r(NULL, ",", &save)) {
        struct Rule *r = &g_rules[g_nrules];
        char call[160] = "", err[32] = "", how[16] = "once";
        int fields = g_nrules < 16 ? sscanf(tok, "%159[^:]:%lu:%31[^:]:%15s", call, &r->n, err, how) : 0;
        char *at = strchr(call, '@');
        if (at) *at = '\0';
        snprintf(r->text, sizeof r->text, "%s", at ? at + 1 : "");
        for (r->call = 0; r->call < C_END && strcmp(kNames[r->call], call) != 0;) ++r->call;
        r->err = (int)strtol(err, NULL, 10); /* a number, or a name such as EIO */
        for (int e = 1; e < 256 && r->err == 0; ++e) r->err = strcmp(err, strerrorname_np(e) ?: "") ? 0 : e;
        r->always = strcmp(how, "always") == 0;
        if (fields < 3 || r->call == C_END || r->n == 0 || r->err <= 0 || (!r->always && strcmp(how, "once") != 0)) {
            fprintf(stderr, "libtkfault: bad TK_FAULT: %s\n", tok);
            abort();
        }
        ++g_nrules;
    }
    free(rules);
}
static void write_counts(void) {
    char text[1024] = "";
    if (!g_active || !g_countfile[0]) return;
    for (int c = 0; c < C_END; ++c)
        if (g_counts[c]) snprintf(text + strlen(text), sizeof text - strlen(text), "%s %lu\n", kNames[c], g_counts[c]);
    put(g_countfile, "we", text);
}
__attribute__((constructor)) static void init(void) { setup(); }
__attribute__((destructor)) static void fini(void) { write_counts(); }

/* Whether this call fails: its error number, or 0.  What it is about: the path, whole, or the file behind fd. */
static int decide(int call, const void *ret, int dir, const char *path, int fd) {
    Dl_info info;
    char what[512] = "", name[400] = "", link[64], line[800];
    setup();
    if (!g_active) return 0;
    const char *object = dladdr(ret, &info) && info.dli_fname ? info.dli_fname : "?";
    if (strstr(object, "faketime") || strstr(object, "libtkfault")) return 0;
    __atomic_add_fetch(&g_counts[call], 1, __ATOMIC_RELAXED);
    for (int i = 0; i < g_nrules; ++i) {
        struct Rule *r = &g_rules[i];
        if (r->call != call) continue;
        int of = path ? (path[0] == '/' ? AT_FDCWD : dir) : fd;
        snprintf(link, sizeof link, "/proc/self/fd/%d", of);
        ssize_t n = of >= 0 ? readlink(link, name, sizeof name - 1) : 0;
        name[n > 0 ? n : 0] = '\0';
        snprintf(what, sizeof what, "%s%s%s", name, path && name[0] ? "/" : "", path ? path : "");
        if (!strstr(what, r->text)) continue;
        unsigned long k = __atomic_add_fetch(&r->seen, 1, __ATOMIC_RELAXED);
        if (k != r->n && !(r->always && k > r->n)) continue;
        object = strrchr(object, '/') ? strrchr(object, '/') + 1 : object;
        snprintf(line, sizeof line, "%s %lu %d %s %s\n", kNames[call], k, r->err, object, what[0] ? what : "-");
        if (g_logfile[0]) put(g_logfile, "ae", line);
        return r->err;
    }
    return 0;
}
#define WRAP(call, type, failed, prologue, subject, params, args)                   \
    type call params {                                                              \
        static type(*real_) params;                                                 \
        prologue int err_ = decide(C_##call, __builtin_return_address(0), subject); \
        if (err_) errno = err_;                                                     \
        if (err_) return failed;                                                    \
        __typeof__(real_) fn_ = __atomic_load_n(&real_, __ATOMIC_ACQUIRE);          \
        if (!fn_) fn_ = (__typeof__(real_))dlsym(RTLD_NEXT, #call);                 \
        if (!fn_) abort();                                                          \
        __atomic_store_n(&real_, fn_, __ATOMIC_RELEASE);                            \
        return fn_ args;                                                            \
    }
CALLS(WRAP)
/* _exit skips the destructors: the counts are written here too. */
void _exit(int status) {
    write_counts();
    ((void (*)(int))dlsym(RTLD_NEXT, "_exit"))(status);
    __builtin_unreachable();
}
