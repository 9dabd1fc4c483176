/* The recorder benchmark's subscribers, one role per build (RECORDER_ROLE):
 *   recorder   keeps every frame (pending) and gives it back from its storage thread, the
 *              plugin's worker, once the storage delay has passed, as a recorder does when its
 *              write to disk completes;
 *   live view  looks at every frame as it passes (one read per page, as a sender that hands
 *              the frame on would);
 *   motion     reads one frame in five through, cache line by cache line.
 * Each reports every frame to the benchmark, which checks it and counts. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "bench/recorder_bench.h"
#include "dvrcore/dvrplugin.h"

#ifndef RECORDER_ROLE
#error "RECORDER_ROLE must be defined"
#endif

static RecorderSeenEntry seen;
static DvrEventEntry raiseEvent;
volatile uint64_t recorderSink; /* keeps the reads of live view and motion from being optimised out */

#if RECORDER_ROLE == RECORDER_ROLE_RECORDER

#define STORAGE_SLOTS 65536u

typedef struct Stored {
    void *block;
    RecorderReleaseEntry release; /* null: the core's block, given back with a release event */
    uint64_t dueNs;
} Stored;

static Stored slots[STORAGE_SLOTS];
static uint32_t head, kept;
static int stopping;
static uint64_t delayNs = 20000000u;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;

static uint64_t NowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

/* A full storage queue holds up the caller, as a recorder whose disk falls behind would. */
static void Keep(void *block, RecorderReleaseEntry release) {
    pthread_mutex_lock(&lock);
    while (kept == STORAGE_SLOTS && !stopping) pthread_cond_wait(&changed, &lock);
    Stored *slot = &slots[(head + kept) % STORAGE_SLOTS];
    slot->block = block;
    slot->release = release;
    slot->dueNs = NowNs() + delayNs;
    if (++kept == 1) pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static void GiveBack(const Stored *stored) {
    if (stored->release != NULL) {
        stored->release(stored->block);
        return;
    }
    _EventParmsIn event = DVR_EVENT_IN_INIT;
    event.classFlags = DVR_CMD_RELEASE;
    event.source = RECORDER_PLUGIN_ID(RECORDER_ROLE);
    event.data = stored->block;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    raiseEvent(&event, &out);
}

/* The storage thread: until Close, then whatever is left goes back at once. */
static int32_t StorageThread(void) {
    pthread_mutex_lock(&lock);
    for (;;) {
        while (kept == 0 && !stopping) pthread_cond_wait(&changed, &lock);
        if (kept == 0) break;
        const Stored stored = slots[head];
        if (!stopping && NowNs() < stored.dueNs) {
            struct timespec due = {(time_t)(stored.dueNs / 1000000000u),
                                   (long)(stored.dueNs % 1000000000u)};
            pthread_cond_timedwait(&changed, &lock, &due);
            continue;
        }
        head = (head + 1) % STORAGE_SLOTS;
        if (kept-- == STORAGE_SLOTS) pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        GiveBack(&stored);
        pthread_mutex_lock(&lock);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

DVR_PLUGIN_EXPORT void RecorderKeep(void *data, uint32_t length, RecorderReleaseEntry release) {
    seen(RECORDER_ROLE, data, length);
    Keep(data, release);
}

DVR_PLUGIN_EXPORT void RecorderSetStorageDelay(uint32_t microseconds) {
    pthread_mutex_lock(&lock);
    delayNs = (uint64_t)microseconds * 1000u;
    pthread_mutex_unlock(&lock);
}

DVR_PLUGIN_EXPORT uint32_t RecorderKeptFrames(void) {
    pthread_mutex_lock(&lock);
    const uint32_t count = kept;
    pthread_mutex_unlock(&lock);
    return count;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    seen(RECORDER_ROLE, in->data, in->length);
    Keep(in->data, NULL);
    out->pending = 1;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    return in->code == DVR_IOCTL_WORKER ? StorageThread() : 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    stopping = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    return 0;
}

#else /* live view and motion detector */

static void Look(const void *data, uint32_t length) {
    const uint8_t *bytes = (const uint8_t *)data;
    uint64_t sum = 0;
#if RECORDER_ROLE == RECORDER_ROLE_MOTION
    const RecorderFrameHeader *header = (const RecorderFrameHeader *)data;
    if (length >= sizeof *header && header->sequence % 5 == 0)
        for (uint32_t i = 0; i + 8 <= length; i += 64) {
            uint64_t word;
            memcpy(&word, bytes + i, sizeof word);
            sum += word;
        }
#else
    for (uint32_t i = 0; i < length; i += 4096) sum += bytes[i];
#endif
    recorderSink += sum;
    seen(RECORDER_ROLE, data, length);
}

DVR_PLUGIN_EXPORT void RecorderNotify(const void *data, uint32_t length) { Look(data, length); }

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    Look(in->data, in->length);
    return 0;
}

#endif

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    seen = (RecorderSeenEntry)dlsym(RTLD_DEFAULT, RECORDER_SEEN_SYMBOL);
    if (seen == NULL) {
        out->error = 2;
        return 0;
    }
#if RECORDER_ROLE == RECORDER_ROLE_RECORDER
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);
    out->wantsWorker = 1;
#endif
    out->id = RECORDER_PLUGIN_ID(RECORDER_ROLE);
    out->masks[0] = DVR_SUBSCRIPTION_CODE(DVR_CODE_VIDEO_FRAME);
    out->wantsWrite = 1;
    return 0;
}
