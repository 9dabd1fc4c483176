/*
 * Preloaded into a core to make storage slow on demand: while the file named by DVR_FSYNC_GATE
 * is missing, every fsync announces itself with "<gate>.waiting" and waits until the test
 * creates the gate. A minute at most, so that a broken test cannot hang.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int fsync(int fd) {
    static int (*real)(int);
    const char *gate = getenv("DVR_FSYNC_GATE");
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    if (gate != NULL && access(gate, F_OK) != 0) {
        char waiting[4096];
        const struct timespec pause = {0, 10 * 1000 * 1000};
        FILE *marker;
        int i;
        snprintf(waiting, sizeof waiting, "%s.waiting", gate);
        marker = fopen(waiting, "w");
        if (marker != NULL) fclose(marker);
        for (i = 0; i < 6000 && access(gate, F_OK) != 0; ++i) nanosleep(&pause, NULL);
        unlink(waiting);
    }
    return real(fd);
}
