/* Test plugin: once open, its worker raises one key frame, touches 240 MiB so that the core's
 * resident size passes the throttling limit, then raises key frames until the core refuses one
 * as throttled. It journals each frame result that changes and the Throttling value of each
 * status document. */
#include "tests/support/plugin_kit.h"

#define HOG_ID 0x00310000u
#define HOG_BYTES (240u << 20)

static DvrEventEntry raiseEvent;
static KitFlag opened = KIT_FLAG_INIT;
static KitFlag closing = KIT_FLAG_INIT; /* set by Close on the main thread, read by the worker */
static char *hog;

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    out->id = HOG_ID;
    out->masks[2] = 0xFFFFFFFFu;
    out->wantsWorker = 1;
    out->wantsWrite = 1;
    return 0;
}

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    kit_flag_set(&opened);
    return 0;
}

static int32_t raiseKeyFrame(void) {
    _EventParmsIn frame = kit_event(HOG_ID, DVR_CLASS_0, DVR_CODE_VIDEO_FRAME, NULL, 0);
    frame.keyFrame = 1;
    return kit_raise(raiseEvent, frame);
}

static void journalFrame(int32_t result) {
    char line[32];
    snprintf(line, sizeof line, "frame %d", (int)result);
    kit_journal("memory_hog", line);
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    int32_t last = -100;
    if (in->code != DVR_IOCTL_WORKER) return 0;
    kit_flag_wait(&opened);
    /* Admitted: the core is still small. */
    last = raiseKeyFrame();
    journalFrame(last);
    hog = malloc(HOG_BYTES);
    if (hog != NULL) memset(hog, 0x5A, HOG_BYTES);
    kit_journal("memory_hog", "grown");
    while (!kit_flag_is_set(&closing)) {
        const int32_t result = raiseKeyFrame();
        if (result != last) journalFrame(result);
        last = result;
        if (result == DVR_RESULT_THROTTLED) break;
        usleep(20000); /* a camera's frame rate, not synchronisation */
    }
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    if (in->data != NULL && in->classFlags == DVR_CLASS_STATUS) {
        const char *text = (const char *)in->data;
        const char *found = strstr(text, "Throttling=\"");
        if (found != NULL && (size_t)(found - text) + 13 <= in->length)
            kit_journal("memory_hog", found[12] == '1' ? "throttling 1" : "throttling 0");
    }
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    kit_flag_set(&closing);
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    free(hog);
    return 0;
}
