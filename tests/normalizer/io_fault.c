/* Preloaded into a program under test: makes fsync or close (FILE or
 * descriptor) report EIO for files whose name ends with the text in
 * SONORIX_FAULT_SUFFIX, as a full network file system or a failing disk
 * does. SONORIX_FAULT_CALL names the call: "fsync" or "close". The file is
 * still closed: only the report fails. "fsync-stall" makes that fsync never
 * return, as a hung disk does, for a test to signal the program meanwhile. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int faulty(int fd, const char* call) {
    const char* want = getenv("SONORIX_FAULT_CALL");
    const char* suffix = getenv("SONORIX_FAULT_SUFFIX");
    if (!want || !suffix || strcmp(want, call) != 0) return 0;
    char link[64], name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, name, sizeof name - 1);
    if (n <= 0) return 0;
    name[n] = '\0';
    const size_t len = strlen(suffix);
    return (size_t)n >= len && strcmp(name + n - len, suffix) == 0;
}

int fsync(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    if (faulty(fd, "fsync-stall")) {
        for (;;) pause();
    }
    if (faulty(fd, "fsync")) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    const int fail = faulty(fd, "close");
    const int ret = real(fd);
    if (!fail) return ret;
    errno = EIO;
    return -1;
}

int fclose(FILE* file) {
    static int (*real)(FILE*);
    if (!real) real = (int (*)(FILE*))dlsym(RTLD_NEXT, "fclose");
    const int fail = faulty(fileno(file), "close");
    const int ret = real(file);
    if (!fail) return ret;
    errno = EIO;
    return EOF;
}
