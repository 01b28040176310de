/*
 * Exercises every call that libtkfault stands in front of, three times
 * each, and prints one line per call: "CALL I RESULT ERRNO" (RESULT 0 for
 * success, -1 for failure).  The libtkfault tests run it with the library
 * preloaded and compare the lines with what the faults asked for.
 *
 * Usage: tkfault_selftest DIR [exit|_exit|signal]
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static void report(const char *call, int i, int ok) {
    printf("%s %d %d %d\n", call, i, ok ? 0 : -1, ok ? 0 : errno);
}

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    setvbuf(stdout, NULL, _IOLBF, 0);
    char a[512], b[512], fifo[512], sub[512];
    snprintf(a, sizeof a, "%s/file-a", argv[1]);
    snprintf(b, sizeof b, "%s/file-b", argv[1]);
    snprintf(fifo, sizeof fifo, "%s/fifo", argv[1]);
    snprintf(sub, sizeof sub, "%s/sub", argv[1]);
    mkdir(sub, 0755);
    /* file-b exists from the start (fopen opens inside the C library, out
       of the injector's reach): the children read it. */
    FILE *fb = fopen(b, "w");
    if (fb) fclose(fb);
    for (int i = 1; i <= 3; ++i) {
        int fd = open(a, O_RDWR | O_CREAT, 0644);
        report("open", i, fd >= 0);
        if (fd >= 0) close(fd);
    }
    for (int i = 1; i <= 3; ++i) {
        int fd = open(b, O_RDWR | O_CREAT, 0644);
        report("open-b", i, fd >= 0);
        if (fd >= 0) close(fd);
    }
    int fd = open(a, O_RDWR);
    if (fd < 0) return 3;
    for (int i = 1; i <= 3; ++i) {
        int fd2 = openat(AT_FDCWD, a, O_RDONLY);
        report("openat", i, fd2 >= 0);
        if (fd2 >= 0) close(fd2);
    }
    for (int i = 1; i <= 3; ++i) report("ftruncate", i, ftruncate(fd, 4096) == 0);
    void *maps[3];
    for (int i = 1; i <= 3; ++i) {
        maps[i - 1] = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        report("mmap", i, maps[i - 1] != MAP_FAILED);
    }
    void *m = maps[0] != MAP_FAILED ? maps[0] : maps[2];
    for (int i = 1; i <= 3; ++i) report("msync", i, msync(m, 4096, MS_SYNC) == 0);
    for (int i = 1; i <= 3; ++i) report("write", i, pwrite(fd, "x", 1, 0) >= 0 && write(fd, "xyz", 3) == 3);
    for (int i = 1; i <= 3; ++i) {
        char buf[4];
        lseek(fd, 0, SEEK_SET);
        report("read", i, read(fd, buf, sizeof buf) >= 0);
    }
    for (int i = 1; i <= 3; ++i) {
        struct timeval tv = {0, 1000};
        report("select", i, select(0, NULL, NULL, NULL, &tv) >= 0);
    }
    for (int i = 1; i <= 3; ++i) {
        char cmd[600], line[64] = "";
        snprintf(cmd, sizeof cmd, "cat '%s' >/dev/null && echo child-ok", b);
        FILE *p = popen(cmd, "r");
        report("popen", i, p != NULL);
        if (p) {
            if (fgets(line, sizeof line, p) == NULL) line[0] = '\0';
            pclose(p);
            printf("child %d %s", i, line[0] ? line : "nothing\n");
        }
    }
    for (int i = 1; i <= 3; ++i) {
        unlink(fifo);
        report("mkfifo", i, mkfifo(fifo, 0600) == 0);
    }
    for (int i = 1; i <= 3; ++i) {
        DIR *d = opendir(argv[1]);
        report("opendir", i, d != NULL);
        if (d) closedir(d);
    }
    struct stat st;
    for (int i = 1; i <= 3; ++i) report("fstat", i, fstat(fd, &st) == 0);
    for (int i = 1; i <= 3; ++i) report("stat", i, stat(a, &st) == 0);
    for (int i = 1; i <= 3; ++i) report("lstat", i, lstat(a, &st) == 0);
    for (int i = 1; i <= 3; ++i) report("access", i, access(a, F_OK) == 0);
    struct statvfs vfs;
    for (int i = 1; i <= 3; ++i) report("statvfs", i, statvfs(argv[1], &vfs) == 0);
    for (int i = 0; i < 3; ++i)
        if (maps[i] != MAP_FAILED) munmap(maps[i], 4096);
    close(fd);
    const char *how = argc > 2 ? argv[2] : "exit";
    fflush(stdout);
    if (strcmp(how, "_exit") == 0) _exit(0);
    if (strcmp(how, "signal") == 0) raise(SIGKILL);
    return 0;
}
