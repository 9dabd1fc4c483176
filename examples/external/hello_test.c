/* hello_test.c - hello.so's test, built against the installed kit: the harness hosts the plugin
 * on the core's own code, and its line reaches the core's log when it is opened. */
#undef NDEBUG /* assert is the check: keep it in every build type */
#include <assert.h>
#include <stddef.h>

#include <dvrcore/dvrharness.h>

int main(void) {
    const char *plugins[] = {HELLO_PLUGIN};
    DvrHarnessReport report;
    DvrHarness *harness = dvr_harness_start(plugins, 1);
    assert(harness != NULL);
    assert(dvr_harness_find_log(harness, "hello from a plugin built outside the tree") != NULL);
    assert(dvr_harness_stop(harness, &report) == DVR_HARNESS_OK);
    assert(report.blocksKept == 0 && report.unknownReleases == 0 && report.threadsRunning == 0);
    dvr_harness_free(harness);
    return 0;
}
