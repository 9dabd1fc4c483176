/*
 * camera.c - example plugin: a video source, in C.
 *
 * Produces synthetic video frames at a fixed rate on the worker thread that the core provides,
 * with a key frame every N frames, and raises each as a video event (class 0x1, code bit 24).
 * It can stand for several cameras at once: each channel is a stream of its own, with its own
 * key frames, and the frames of all channels take turns on the one thread.
 * The core admits a stream from a key frame on and answers every frame with a result:
 *   3  the stream is not started, 4  too many frames since the last key frame:
 *      send a key frame next;
 *   5  the core throttles video because memory is low: back off, offer only the regular key
 *      frames, and resume once one of them is admitted;
 *   1  the core is stopping: produce nothing more.
 * Settings come from the environment:
 *   CAMERA_CHANNELS      streams (default 1, at most 64)
 *   CAMERA_FPS           frames per second on each channel (default 10)
 *   CAMERA_KEY_INTERVAL  a key frame every that many frames (default 10)
 *   CAMERA_KEY_BYTES     picture bytes of a key frame, "N" or "LEAST-MOST" (default 4096)
 *   CAMERA_DELTA_BYTES   picture bytes of the frames between (default 1024)
 *   CAMERA_SEED          seeds the sizes picked within a range, the same each run (default 1)
 * scripts/run.sh --cameras N sets them like a recorder's cameras: N channels at 25 frames per
 * second, key frames of 100 to 200 KiB every 25 frames, 5 to 40 KiB between.
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
#define MOST_CHANNELS 64u
#define MOST_PICTURE_BYTES (4u << 20)

typedef struct Range {
    uint32_t least, most;
} Range;

static DvrEventEntry raiseEvent; /* FlatPluginEvent, handed over in Load */
static unsigned channels = 1;
static unsigned framesPerSecond = 10;
static unsigned keyInterval = 10;
static Range keyBytes = {4096, 4096};
static Range deltaBytes = {1024, 1024};
static uint32_t seed = 1;
static uint8_t *frame; /* the frame being raised, as large as the largest; worker thread only */

/* Shared between the worker thread and the main thread (Open, Close). */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;
static int opened;  /* Open was called: frames may flow */
static int closing; /* Close was called: the worker must return */

/* What the worker knows about one channel's stream; only the worker thread touches it. */
typedef struct Stream {
    uint32_t sequence;
    uint32_t phase;   /* where in the key interval this channel's regular key frames fall */
    int needKeyFrame; /* the stream is not running: the next frame must be a key frame */
    int backingOff;   /* memory is low: offer only the regular key frames */
    unsigned admitted;
    uint32_t random;  /* the state of the sizes' sequence */
    char name[24];    /* "channel 3: " before its log lines; empty with one channel */
} Stream;

/* The worker's view of all channels. */
static int stopped;                 /* the core is stopping */
static unsigned backingOffChannels; /* tells the supervisor once, when the first backs off */

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

/* A size within `range`: xorshift32, seeded per channel, so that a run can be repeated. */
static uint32_t pick(Stream *stream, Range range) {
    uint32_t x = stream->random;
    if (range.least == range.most) return range.least;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    stream->random = x;
    return range.least + x % (range.most - range.least + 1u);
}

/* Raises one frame; the result is the core's admission answer. */
static int32_t raise_frame(Stream *stream, int keyFrame) {
    const uint32_t sequence = stream->sequence;
    ExampleFrameHeader header;
    _EventParmsIn in;
    _EventParmsOut out;
    header.magic = EXAMPLE_FRAME_MAGIC;
    header.sequence = sequence;
    header.captureTimeUs = monotonic_us();
    header.width = 320;
    header.height = 240;
    header.payloadBytes = pick(stream, keyFrame ? keyBytes : deltaBytes);
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
        --backingOffChannels;
        camera_log(50, "%svideo admitted again from frame %u", stream->name, stream->sequence);
    }
    if (keyFrame) camera_log(10, "%sframe %u is a key frame, %u admitted", stream->name,
                             stream->sequence, stream->admitted);
}

static void on_throttled(Stream *stream) {
    if (!stream->backingOff) {
        camera_log(50, "%smemory is low: backing off until a key frame is admitted",
                   stream->name);
        if (backingOffChannels++ == 0)
            tell_supervisor("camera: video throttled by the core, backing off");
    }
    stream->backingOff = 1;
    stream->needKeyFrame = 1;
}

static void offer_frame(Stream *stream) {
    const int regularKey = (stream->sequence + stream->phase) % keyInterval == 0;
    const int keyFrame = regularKey || stream->needKeyFrame;
    /* While backing off only the regular key frames are offered, so the core sees less. */
    if (stopped || (stream->backingOff && !regularKey)) return;
    switch (raise_frame(stream, keyFrame)) {
    case DVR_RESULT_OK:
        on_admitted(stream, keyFrame);
        break;
    case DVR_RESULT_STREAM_NOT_STARTED:
    case DVR_RESULT_STREAM_TOO_LONG:
        stream->needKeyFrame = 1;
        camera_log(25, "%sstream not admitted at frame %u, sending a key frame next",
                   stream->name, stream->sequence);
        break;
    case DVR_RESULT_THROTTLED:
        on_throttled(stream);
        break;
    case DVR_RESULT_REFUSED:
        stopped = 1; /* the core is stopping; Close follows */
        break;
    default:
        camera_log(50, "%sframe %u not raised: the core is short of memory", stream->name,
                   stream->sequence);
        break;
    }
}

/* A frame is produced at every turn of the channel, offered or not: the sequence counts them. */
static void produce_frame(Stream *stream) {
    offer_frame(stream);
    ++stream->sequence;
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

/* Channels start their key intervals spread over the interval, as cameras switched on one
 * after the other would: the large frames of all channels do not arrive together. Each opens
 * with a key frame, since a stream starts there. */
static void start_streams(Stream *streams) {
    unsigned c;
    memset(streams, 0, sizeof(Stream) * channels);
    for (c = 0; c < channels; ++c) {
        streams[c].phase = c * keyInterval / channels;
        streams[c].needKeyFrame = 1;
        streams[c].random = (seed * 2654435761u) ^ (c + 1u) * 0x9E3779B9u;
        if (streams[c].random == 0) streams[c].random = 1; /* xorshift stays at 0 */
        if (channels > 1) snprintf(streams[c].name, sizeof streams[c].name, "channel %u: ", c);
    }
}

static void run_worker(void) {
    Stream streams[MOST_CHANNELS];
    const uint64_t framesPerSecondInAll = (uint64_t)framesPerSecond * channels;
    struct timespec start, next;
    uint64_t tick;
    start_streams(streams);
    if (wait_for_open()) return;
    if (channels == 1)
        camera_log(25, "streaming %u frames per second, a key frame every %u", framesPerSecond,
                   keyInterval);
    else
        camera_log(25, "streaming %u channels at %u frames per second, a key frame every %u",
                   channels, framesPerSecond, keyInterval);
    clock_gettime(CLOCK_MONOTONIC, &start);
    /* Each deadline from the start, not from the one before: the rate does not drift. */
    for (tick = 1;; ++tick) {
        next = start;
        add_us(&next, tick * 1000000u / framesPerSecondInAll);
        if (wait_until(&next)) return;
        produce_frame(&streams[(tick - 1) % channels]);
    }
}

/* ---- Entry points -------------------------------------------------------------------------- */

static unsigned setting(const char *name, unsigned fallback, unsigned most) {
    const char *text = getenv(name);
    const unsigned long value = text != NULL ? strtoul(text, NULL, 10) : 0;
    return value >= 1 && value <= most ? (unsigned)value : fallback;
}

/* "N" or "LEAST-MOST", within 1..MOST_PICTURE_BYTES; anything else keeps the fallback. */
static Range size_setting(const char *name, Range fallback) {
    const char *text = getenv(name);
    char *end = NULL;
    unsigned long least, most;
    Range range;
    if (text == NULL) return fallback;
    least = strtoul(text, &end, 10);
    most = *end == '-' ? strtoul(end + 1, &end, 10) : least;
    if (end == text || *end != '\0' || least < 1 || least > most || most > MOST_PICTURE_BYTES)
        return fallback;
    range.least = (uint32_t)least;
    range.most = (uint32_t)most;
    return range;
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    pthread_condattr_t attributes;
    raiseEvent = in->eventEntry;
    channels = setting("CAMERA_CHANNELS", 1, MOST_CHANNELS);
    framesPerSecond = setting("CAMERA_FPS", 10, 1000);
    keyInterval = setting("CAMERA_KEY_INTERVAL", 10, 100000);
    keyBytes = size_setting("CAMERA_KEY_BYTES", keyBytes);
    deltaBytes = size_setting("CAMERA_DELTA_BYTES", deltaBytes);
    seed = setting("CAMERA_SEED", 1, 0xFFFFFFFFu);
    frame = (uint8_t *)malloc(sizeof(ExampleFrameHeader) +
                              (keyBytes.most > deltaBytes.most ? keyBytes.most : deltaBytes.most));
    if (frame == NULL) return 1; /* refused: nothing to raise frames from */
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
    free(frame);
    frame = NULL;
    return 0;
}
