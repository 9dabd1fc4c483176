/*
 * camera_test.c - the camera's admission handling, on the core's own code through the harness:
 * it streams, backs off while the core throttles video, and comes back with a key frame.
 */
#define _POSIX_C_SOURCE 200112L /* setenv */
#undef NDEBUG                   /* assert is the check: keep it in every build type */
#include <assert.h>
#include <stdlib.h>

#include <dvrcore/dvrharness.h>

int main(void) {
    const char *plugins[] = {CAMERA_PLUGIN};
    DvrHarness *harness;
    DvrHarnessReport report;

    setenv("CAMERA_FPS", "100", 1); /* a key frame every 100 ms */
    harness = dvr_harness_start(plugins, 1);
    assert(harness != NULL);
    assert(dvr_harness_find_log(harness, "is a key frame") != NULL);

    assert(dvr_harness_set_memory_low(harness, 1) == DVR_HARNESS_OK);
    assert(dvr_harness_find_message(harness, "video throttled by the core, backing off") != NULL);
    assert(dvr_harness_set_memory_low(harness, 0) == DVR_HARNESS_OK);
    assert(dvr_harness_find_log(harness, "video admitted again") != NULL);

    assert(dvr_harness_stop(harness, &report) == DVR_HARNESS_OK);
    assert(report.blocksKept == 0 && report.threadsRunning == 0);
    dvr_harness_free(harness);
    return 0;
}
