/*
 * A plugin that gives nothing back, for the harness's stop report: it keeps the first block it
 * is given and never releases it, releases an address that was never the core's, and leaves a
 * thread of its own running after Unload.
 */
#include "tests/support/plugin_kit.h"

#define SLOPPY_ID 0x00320000u

static DvrEventEntry raiseEvent;
static void *kept; /* where a leak checker still finds the block */
static int foreign;

static void *idle(void *unused) {
    for (;;) pause();
    return NULL;
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    out->id = SLOPPY_ID;
    out->masks[0] = 0xFFFFFFFFu;
    out->wantsWrite = 1;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, idle, NULL) == 0) pthread_detach(thread);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    if (kept == NULL && in->data != NULL) {
        kept = in->data;
        out->pending = 1;
    }
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    kit_raise(raiseEvent, kit_event(SLOPPY_ID, DVR_CMD_RELEASE, 0, &foreign, 0));
    return 0;
}
