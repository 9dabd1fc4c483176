/* Test plugin: its Close journals "slow_close close" and then holds the stop sequence until the
 * file named by DVR_TEST_RELEASE exists, so that a test can act during the stop sequence. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "dvrcore/dvrplugin.h"

static void journal(const char *text) {
    const char *path = getenv("DVR_TEST_JOURNAL");
    FILE *file = path != NULL ? fopen(path, "a") : NULL;
    if (file == NULL) return;
    fprintf(file, "slow_close %s\n", text);
    fclose(file);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in;
    out->id = 0x00320000u;
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    const char *release = getenv("DVR_TEST_RELEASE");
    int waited;
    (void)in;
    (void)out;
    journal("close");
    /* Bounded: a test that never releases does not hang the core for good. */
    for (waited = 0; release != NULL && access(release, F_OK) != 0 && waited < 6000; ++waited)
        usleep(10000);
    journal("released");
    return 0;
}
