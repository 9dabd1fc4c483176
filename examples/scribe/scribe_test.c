/*
 * scribe_test.c - a log message raised on the bus ends up as a line in the scribe's file, which
 * the scribe writes in its working directory: the harness's directory.
 */
#undef NDEBUG /* assert is the check: keep it in every build type */
#include <assert.h>
#include <stdio.h>
#include <string.h>

#include <dvrcore/dvrharness.h>

/* The file's whole text, cut to the buffer. */
static void read_file(const char *directory, const char *name, char *text, size_t size) {
    char path[4096];
    FILE *file;
    size_t length = 0;
    snprintf(path, sizeof path, "%s/%s", directory, name);
    file = fopen(path, "r");
    if (file != NULL) {
        length = fread(text, 1, size - 1, file);
        fclose(file);
    }
    text[length] = '\0';
}

int main(void) {
    const char *plugins[] = {SCRIBE_PLUGIN};
    static const char message[] = "a line for the scribe";
    char text[4096];
    DvrHarness *harness = dvr_harness_start(plugins, 1);
    _EventParmsIn line;
    assert(harness != NULL);

    line = dvr_harness_event(DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE, message, sizeof message);
    line.level = DVR_LEVEL_INFO;
    assert(dvr_harness_raise(harness, &line) == DVR_RESULT_OK);
    assert(dvr_harness_stop(harness, NULL) == DVR_HARNESS_OK); /* Close ends the file */

    read_file(dvr_harness_directory(harness), "scribe.log", text, sizeof text);
    assert(strstr(text, " 25 0x00FE0000 a line for the scribe\n") != NULL);
    dvr_harness_free(harness);
    return 0;
}
