/* What the recorder benchmark and its three subscriber plugins agree on. */
#ifndef RECORDER_BENCH_H
#define RECORDER_BENCH_H

#include <stdint.h>

/* The subscribers of a recorder. Each plugin is built from recorder_plugins.c with its role. */
#define RECORDER_ROLE_RECORDER 0 /* keeps every frame pending, releases it after a storage delay */
#define RECORDER_ROLE_LIVE_VIEW 1 /* looks at every frame as it passes */
#define RECORDER_ROLE_MOTION 2    /* reads one frame in five through */
#define RECORDER_ROLES 3
#define RECORDER_PLUGIN_ID(role) ((0x30u + (uint32_t)(role)) << 16)

/* Camera channel c raises with this identifier; no plugin has it. */
#define RECORDER_CAMERA_ID(channel) ((0xC0u + (uint32_t)(channel)) << 16)
#define RECORDER_MAX_CHANNELS 64

/* Every frame starts with this header, written by its camera just before it is raised. */
typedef struct RecorderFrameHeader {
    uint32_t channel;
    uint32_t sequence; /* frame number within the channel's stream; 0, 25, 50, ... are key frames */
    uint64_t raisedNs; /* CLOCK_MONOTONIC at the raise */
    uint32_t length;   /* the whole frame, header included */
    uint32_t magic;
} RecorderFrameHeader;
#define RECORDER_FRAME_MAGIC 0x56464D52u

/* Exported by the benchmark executable: every subscriber reports every frame it is given. */
typedef void (*RecorderSeenEntry)(uint32_t role, const void *data, uint32_t length);
#define RECORDER_SEEN_SYMBOL "RecorderBenchSeen"

/* Exported by the plugins for the minimal bus, which calls them without the core's records. */
typedef void (*RecorderReleaseEntry)(void *block);
/* Recorder: keep the block, give it back through `release` after the storage delay. */
typedef void (*RecorderKeepEntry)(void *data, uint32_t length, RecorderReleaseEntry release);
#define RECORDER_KEEP_SYMBOL "RecorderKeep"
/* Live view and motion detector: the same work as their Write. */
typedef void (*RecorderNotifyEntry)(const void *data, uint32_t length);
#define RECORDER_NOTIFY_SYMBOL "RecorderNotify"
/* Recorder: the storage delay, and how many frames it still keeps. */
typedef void (*RecorderSetDelayEntry)(uint32_t microseconds);
#define RECORDER_SET_DELAY_SYMBOL "RecorderSetStorageDelay"
typedef uint32_t (*RecorderKeptEntry)(void);
#define RECORDER_KEPT_SYMBOL "RecorderKeptFrames"

#endif
