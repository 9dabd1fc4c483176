/*
 * Plugins that misbehave as plugins in the field do: a Write that waits, a Write and a worker
 * that crash, a Close that frees its state and holds the stop sequence, and the counting pair
 * that the statistics test uses. Built several times with different MB_* definitions
 * (tests/plugins/field_plugins.cmake). Files the test creates in the working directory let a
 * waiting call go on, and a Close that waited leaves "closed" when it returns.
 */
#include "tests/support/plugin_kit.h"

#ifndef MB_ID
#error MB_ID is required
#endif
#ifndef MB_WRITE
#define MB_WRITE 0 /* 0 counts, 1 waits for "release-write", 2 crashes, 3 keeps the first */
#endif

static DvrEventEntry raiseEvent;
static volatile int closing;
static void *kept; /* MB_WRITE 3: the block kept until Close */

#ifdef MB_RAISES
static int32_t raise_event(uint32_t classFlags, uint32_t code) {
    static char data[100];
    return kit_raise(raiseEvent, kit_event(MB_ID, classFlags, code, data, sizeof data));
}
#endif

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    out->id = MB_ID;
#ifdef MB_TAKES
    out->masks[1] = 1; /* class 0x2, code 1 */
    out->wantsWrite = 1;
#endif
#ifdef MB_CLOSE_KEY
    out->masks[DVR_MASK_CLOSE_KEY] = MB_CLOSE_KEY;
#endif
#ifdef MB_CRASH_WORKER
    out->wantsWorker = 1;
#endif
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
#ifdef MB_RAISES
    for (int i = 0; i < 3; ++i) raise_event(DVR_CLASS_1, 1);
    raise_event(DVR_CLASS_0, DVR_CODE_VIDEO_FRAME); /* no key frame yet: refused */
#endif
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    static int writes;
    ++writes;
    if (MB_WRITE == 1) kit_wait_for_file("release-write");
    if (MB_WRITE == 2) *(volatile int *)NULL = writes;
    if (MB_WRITE == 3 && writes == 1) {
        kept = in->data;
        out->pending = 1;
    }
    return 0;
}

DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
#ifdef MB_CRASH_WORKER
    if (in->code == DVR_IOCTL_WORKER) *(volatile int *)NULL = 1;
#endif
    if (in->code == DVR_IOCTL_SUPERVISOR && closing) kit_touch("ioctl-after-close");
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    closing = 1; /* a real plugin frees its state here */
    if (kept != NULL) kit_raise(raiseEvent, kit_event(MB_ID, DVR_CMD_RELEASE, 0, kept, 0));
#ifdef MB_CLOSE_WAITS
    kit_touch("closing");
    kit_wait_for_file("release-close");
    kit_touch("closed");
#endif
    return 0;
}
