/* LD_PRELOAD for tests: the wall clock (CLOCK_REALTIME, time, gettimeofday)
 * moved by the number of seconds written in the file $RELOJ_DESFASE, read
 * at each call, so a test can jump it both ways while a program runs. The
 * steady clock is left alone. No allocation: it may be called anywhere. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long shift(void) {
    const char* path = getenv("RELOJ_DESFASE");
    char text[32] = {0};
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        return 0;
    }
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    return got > 0 ? strtol(text, NULL, 10) : 0;
}

int clock_gettime(clockid_t id, struct timespec* now) {
    static int (*real)(clockid_t, struct timespec*);
    if (!real) {
        real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    }
    int status = real(id, now);
    if (status == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
        now->tv_sec += shift();
    }
    return status;
}

time_t time(time_t* out) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out) {
        *out = now.tv_sec;
    }
    return now.tv_sec;
}

int gettimeofday(struct timeval* out, void* zone) {
    (void)zone;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    out->tv_sec = now.tv_sec;
    out->tv_usec = now.tv_nsec / 1000;
    return 0;
}
