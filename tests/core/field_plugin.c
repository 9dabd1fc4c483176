/*
 * Plugins that misbehave as plugins in the field do: a Write that waits, a Write and a worker
 * that crash, a Close that frees its state and holds the stop sequence, and the counting pair
 * that the statistics test uses. Built several times with different MB_* definitions
 * (tests/plugins/field_plugins.cmake). Files the test creates in the working directory let a
 * waiting call go on, and a Close that waited leaves "closed" when it returns.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <dvrcore/dvrplugin.h>

#ifndef MB_ID
#error MB_ID is required
#endif
#ifndef MB_WRITE
#define MB_WRITE 0 /* 0 counts, 1 waits for "release-write", 2 crashes, 3 keeps the first */
#endif

static DvrEventEntry raiseEvent;
static volatile int closing;
static void *kept; /* MB_WRITE 3: the block kept until Close */

/* Waits for a file the test creates; a minute at most, so that a broken test cannot hang. */
static void wait_for_file(const char *name) {
    const struct timespec pause = {0, 10 * 1000 * 1000};
    int i;
    for (i = 0; i < 6000 && access(name, F_OK) != 0; ++i) nanosleep(&pause, NULL);
}

static void touch(const char *name) {
    FILE *file = fopen(name, "w");
    if (file != NULL) fclose(file);
}

#ifdef MB_RAISES
static int32_t raise_event(uint32_t classFlags, uint32_t code, uint8_t keyFrame) {
    static char data[100];
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    in.source = MB_ID;
    in.classFlags = classFlags;
    in.code = code;
    in.keyFrame = keyFrame;
    in.data = data;
    in.length = sizeof data;
    raiseEvent(&in, &out);
    return out.result;
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
    (void)in;
    (void)out;
#ifdef MB_RAISES
    raise_event(DVR_CLASS_1, 1, 0);
    raise_event(DVR_CLASS_1, 1, 0);
    raise_event(DVR_CLASS_1, 1, 0);
    raise_event(DVR_CLASS_0, DVR_CODE_VIDEO_FRAME, 0); /* no key frame yet: refused */
#endif
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    static int writes;
    ++writes;
    if (MB_WRITE == 1) wait_for_file("release-write");
    if (MB_WRITE == 2) *(volatile int *)NULL = writes;
    if (MB_WRITE == 3 && writes == 1) {
        kept = in->data;
        out->pending = 1;
    }
    return 0;
}

DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
#ifdef MB_CRASH_WORKER
    if (in->code == DVR_IOCTL_WORKER) *(volatile int *)NULL = 1;
#endif
    if (in->code == DVR_IOCTL_SUPERVISOR && closing) touch("ioctl-after-close");
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    closing = 1; /* a real plugin frees its state here */
    if (kept != NULL) {
        _EventParmsIn release = DVR_EVENT_IN_INIT;
        _EventParmsOut result = DVR_EVENT_OUT_INIT;
        release.source = MB_ID;
        release.classFlags = DVR_CMD_RELEASE;
        release.data = kept;
        raiseEvent(&release, &result);
    }
#ifdef MB_CLOSE_WAITS
    touch("closing");
    wait_for_file("release-close");
    touch("closed");
#endif
    return 0;
}
