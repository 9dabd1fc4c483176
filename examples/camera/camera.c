/*
 * camera.c - example plugin: a video source, in C.
 *
 * Produces synthetic video frames at a fixed rate on the worker thread that the core provides,
 * with a key frame every N frames, and raises each as a video event (class 0x1, code bit 24).
 * The core admits a stream from a key frame on and answers every frame with a result:
 *   3  the stream is not started, 4  too many frames since the last key frame:
 *      send a key frame next;
 *   5  the core throttles video because memory is low: back off, offer only the regular key
 *      frames, and resume once one of them is admitted;
 *   1  the core is stopping: produce nothing more.
 * Settings come from the environment: CAMERA_FPS (default 10), CAMERA_KEY_INTERVAL (10).
 *
 * Copy this file to start a plugin that raises events from a thread: the worker thread starts
 * right after Load, so it waits for Open before producing, and Close makes it return.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <dvrcore/dvrplugin.h>
#include "example_frame.h"
#include "example_protocol.h"

#define CAMERA_ID EXAMPLE_CAMERA_ID
#define KEY_FRAME_BYTES 4096u
#define DELTA_FRAME_BYTES 1024u

static DvrEventEntry raiseEvent; /* FlatPluginEvent, handed over in Load */
static unsigned framesPerSecond = 10;
static unsigned keyInterval = 10;

/* Shared between the worker thread and the main thread (Open, Close). */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;
static int opened;  /* Open was called: frames may flow */
static int closing; /* Close was called: the worker must return */

/* What the worker knows about its stream; only the worker thread touches it. */
typedef struct Stream {
    uint32_t sequence;
    int needKeyFrame; /* the core dropped the stream: the next frame must be a key frame */
    int backingOff;   /* memory is low: offer only the regular key frames */
    int stopped;      /* the core is stopping */
    unsigned admitted;
} Stream;

/* ---- Events -------------------------------------------------------------------------------- */

static void prepare(_EventParmsIn *in, _EventParmsOut *out, uint32_t classFlags, uint32_t code) {
    const _EventParmsIn event = DVR_EVENT_IN_INIT;
    const _EventParmsOut result = DVR_EVENT_OUT_INIT;
    *in = event;
    in->source = CAMERA_ID;
    in->classFlags = classFlags;
    in->code = code;
    *out = result;
}

/* Our module's log level, -1 when none is set. */
static int32_t log_level(void) {
    _EventParmsIn in;
    _EventParmsOut out;
    prepare(&in, &out, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY);
    raiseEvent(&in, &out);
    return out.result;
}

static void camera_log(int32_t level, const char *format, ...) {
    _EventParmsIn in;
    _EventParmsOut out;
    char text[256];
    va_list arguments;
    const int32_t current = log_level();
    /* Asking first spares the formatting of lines that the level would stop anyway. */
    if (current >= 0 && current > level) return;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    prepare(&in, &out, DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE);
    in.level = level;
    in.length = (uint32_t)strlen(text) + 1;
    in.data = text; /* the core copies it: a stack buffer will do */
    raiseEvent(&in, &out);
}

/* A message for the supervisor. The block passes to the core, which writes and frees it. */
static void tell_supervisor(const char *text) {
    _EventParmsIn in;
    _EventParmsOut out;
    uint32_t length;
    void *block = example_text_message(CAMERA_ID, text, &length);
    if (block == NULL) return;
    prepare(&in, &out, DVR_CMD_SEND, 0);
    in.data = block;
    in.length = length;
    raiseEvent(&in, &out); /* result 1: no supervisor; the core has freed the block anyway */
}

static uint64_t monotonic_us(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

/* Raises one frame; the result is the core's admission answer. */
static int32_t raise_frame(uint32_t sequence, int keyFrame) {
    static uint8_t frame[sizeof(ExampleFrameHeader) + KEY_FRAME_BYTES]; /* worker thread only */
    ExampleFrameHeader header;
    _EventParmsIn in;
    _EventParmsOut out;
    header.magic = EXAMPLE_FRAME_MAGIC;
    header.sequence = sequence;
    header.captureTimeUs = monotonic_us();
    header.width = 320;
    header.height = 240;
    header.payloadBytes = keyFrame ? KEY_FRAME_BYTES : DELTA_FRAME_BYTES;
    memcpy(frame, &header, sizeof header);
    memset(frame + sizeof header, (int)(sequence & 0xFF), header.payloadBytes);

    prepare(&in, &out, DVR_CLASS_0, DVR_CODE_VIDEO_FRAME);
    in.keyFrame = keyFrame ? 1 : 0;
    in.data = frame;
    in.length = (uint32_t)(sizeof header + header.payloadBytes);
    raiseEvent(&in, &out);
    return out.result;
}

/* ---- The stream ---------------------------------------------------------------------------- */

static void on_admitted(Stream *stream, int keyFrame) {
    ++stream->admitted;
    if (keyFrame) stream->needKeyFrame = 0;
    if (stream->backingOff) {
        stream->backingOff = 0;
        camera_log(50, "video admitted again from frame %u", stream->sequence);
    }
    if (keyFrame) camera_log(10, "frame %u is a key frame, %u admitted", stream->sequence,
                             stream->admitted);
}

static void on_throttled(Stream *stream) {
    if (!stream->backingOff) {
        camera_log(50, "memory is low: backing off until a key frame is admitted");
        tell_supervisor("camera: video throttled by the core, backing off");
    }
    stream->backingOff = 1;
    stream->needKeyFrame = 1;
}

static void produce_frame(Stream *stream) {
    const int regularKey = stream->sequence % keyInterval == 0;
    const int keyFrame = regularKey || stream->needKeyFrame;
    /* While backing off only the regular key frames are offered, so the core sees less. */
    if (stream->stopped || (stream->backingOff && !regularKey)) return;
    switch (raise_frame(stream->sequence, keyFrame)) {
    case DVR_RESULT_OK:
        on_admitted(stream, keyFrame);
        break;
    case DVR_RESULT_STREAM_NOT_STARTED:
    case DVR_RESULT_STREAM_TOO_LONG:
        stream->needKeyFrame = 1;
        camera_log(25, "stream not admitted at frame %u, sending a key frame next",
                   stream->sequence);
        break;
    case DVR_RESULT_THROTTLED:
        on_throttled(stream);
        break;
    case DVR_RESULT_REFUSED:
        stream->stopped = 1; /* the core is stopping; Close follows */
        break;
    default:
        camera_log(50, "frame %u not raised: the core is short of memory", stream->sequence);
        break;
    }
}

/* ---- The worker thread --------------------------------------------------------------------- */

static void add_us(struct timespec *time, uint64_t us) {
    const uint64_t ns = (uint64_t)time->tv_nsec + (us % 1000000u) * 1000u;
    time->tv_sec += (time_t)(us / 1000000u + ns / 1000000000u);
    time->tv_nsec = (long)(ns % 1000000000u);
}

/* Waits until `deadline` or Close; true when closing. */
static int wait_until(const struct timespec *deadline) {
    int result;
    pthread_mutex_lock(&lock);
    while (!closing && pthread_cond_timedwait(&wake, &lock, deadline) != ETIMEDOUT) {
    }
    result = closing;
    pthread_mutex_unlock(&lock);
    return result;
}

/* Waits for Open (the worker may start before it) or Close; true when closing. */
static int wait_for_open(void) {
    int result;
    pthread_mutex_lock(&lock);
    while (!opened && !closing) pthread_cond_wait(&wake, &lock);
    result = closing;
    pthread_mutex_unlock(&lock);
    return result;
}

static void run_worker(void) {
    Stream stream;
    struct timespec next;
    memset(&stream, 0, sizeof stream);
    if (wait_for_open()) return;
    camera_log(25, "streaming %u frames per second, a key frame every %u", framesPerSecond,
               keyInterval);
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;; ++stream.sequence) {
        add_us(&next, 1000000u / framesPerSecond);
        if (wait_until(&next)) return;
        produce_frame(&stream);
    }
}

/* ---- Entry points -------------------------------------------------------------------------- */

static unsigned setting(const char *name, unsigned fallback, unsigned most) {
    const char *text = getenv(name);
    const unsigned long value = text != NULL ? strtoul(text, NULL, 10) : 0;
    return value >= 1 && value <= most ? (unsigned)value : fallback;
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    pthread_condattr_t attributes;
    raiseEvent = in->eventEntry;
    framesPerSecond = setting("CAMERA_FPS", 10, 1000);
    keyInterval = setting("CAMERA_KEY_INTERVAL", 10, 100000);
    /* The worker sleeps against the monotonic clock, so setting the date does not disturb it. */
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attributes);
    pthread_condattr_destroy(&attributes);

    out->id = CAMERA_ID;
    out->masks[DVR_MASK_CLOSE_KEY] = 40; /* close key: plugins close in descending order, the source first */
    out->wantsWorker = 1;   /* IOCTL code 1 on a thread of our own */
    out->defaultLogLevel = 10; /* our frame lines (10) show until someone raises the level */
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    opened = 1;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->code == DVR_IOCTL_WORKER) run_worker(); /* returning ends the worker thread */
    return 0; /* configuration documents (code 2) carry nothing for us */
}

/* The core waits for the worker thread without a time limit after Close: end it here. */
DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    pthread_cond_destroy(&wake); /* the worker has returned by now */
    return 0;
}
