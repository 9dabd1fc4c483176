/* Test plugin: once open, its worker raises one key frame, touches 240 MiB so that the core's
 * resident size passes the throttling limit, then raises key frames until the core refuses one
 * as throttled. It journals each frame result that changes and the Throttling value of each
 * status document. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dvrcore/dvrplugin.h"

#define HOG_ID 0x00310000u
#define HOG_BYTES (240u << 20)

static DvrEventEntry raiseEvent;
static int closing; /* set by Close on the main thread, read by the worker */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
static int opened;
static char *hog;

static void journal(const char *text) {
    const char *path = getenv("DVR_TEST_JOURNAL");
    FILE *file = path != NULL ? fopen(path, "a") : NULL;
    if (file == NULL) return;
    fprintf(file, "memory_hog %s\n", text);
    fclose(file);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    out->id = HOG_ID;
    out->masks[2] = 0xFFFFFFFFu;
    out->wantsWorker = 1;
    out->wantsWrite = 1;
    return 0;
}

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    opened = 1;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

static int32_t raiseKeyFrame(void) {
    _EventParmsIn event;
    _EventParmsOut result = {sizeof result, 1, 0};
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = 1;
    event.source = HOG_ID;
    event.classFlags = DVR_CLASS_0;
    event.code = DVR_CODE_VIDEO_FRAME;
    event.keyFrame = 1;
    raiseEvent(&event, &result);
    return result.result;
}

static void journalFrame(int32_t result) {
    char line[32];
    snprintf(line, sizeof line, "frame %d", (int)result);
    journal(line);
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    int32_t last = -100;
    (void)out;
    if (in->code != DVR_IOCTL_WORKER) return 0;
    pthread_mutex_lock(&lock);
    while (!opened) pthread_cond_wait(&wake, &lock);
    pthread_mutex_unlock(&lock);
    /* Admitted: the core is still small. */
    last = raiseKeyFrame();
    journalFrame(last);
    hog = malloc(HOG_BYTES);
    if (hog != NULL) memset(hog, 0x5A, HOG_BYTES);
    journal("grown");
    while (!__atomic_load_n(&closing, __ATOMIC_ACQUIRE)) {
        const int32_t result = raiseKeyFrame();
        if (result != last) journalFrame(result);
        last = result;
        if (result == DVR_RESULT_THROTTLED) break;
        usleep(20000); /* a camera's frame rate, not synchronisation */
    }
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    if (in->data != NULL && in->classFlags == DVR_CLASS_STATUS) {
        const char *text = (const char *)in->data;
        const char *found = strstr(text, "Throttling=\"");
        if (found != NULL && (size_t)(found - text) + 13 <= in->length)
            journal(found[12] == '1' ? "throttling 1" : "throttling 0");
    }
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    __atomic_store_n(&closing, 1, __ATOMIC_RELEASE);
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    free(hog);
    return 0;
}
