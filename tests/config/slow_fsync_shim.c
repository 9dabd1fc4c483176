/*
 * Preloaded into a core to make storage slow on demand: while the file named by DVR_FSYNC_GATE
 * is missing, every fsync announces itself with "<gate>.waiting" and waits until the test
 * creates the gate. A minute at most, so that a broken test cannot hang.
 */
#define _GNU_SOURCE
#include <dlfcn.h>

#include "tests/support/plugin_kit.h"

int fsync(int fd) {
    static int (*real)(int);
    const char *gate = getenv("DVR_FSYNC_GATE");
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    if (gate != NULL && access(gate, F_OK) != 0) {
        char waiting[4096];
        snprintf(waiting, sizeof waiting, "%s.waiting", gate);
        kit_touch(waiting);
        kit_wait_for_file(gate);
        unlink(waiting);
    }
    return real(fd);
}
