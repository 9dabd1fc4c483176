/*
 * dvrharness.h - a test harness for dvrcore plugins.
 *
 * Hosts one plugin, or a few, in your own test process on the core's real code: its loader,
 * event dispatch, level gate, hold table, delivery loop and request threads. The harness runs
 * the core's main thread (Load, Open, Write, IOCTL code 2, Close, Unload) and its event loop
 * (IOCTL code 4) on threads of its own, and plays the supervisor at the other end of a socket
 * pair. A test raises events and supervisor packets into it, reads back in order what the
 * plugins raised, logged and sent, and at stop learns what they never gave back.
 *
 *   const char *plugins[] = {"build/camera.so"};
 *   DvrHarness *harness = dvr_harness_start(plugins, 1);
 *   ...
 *   DvrHarnessReport report;
 *   dvr_harness_stop(harness, &report);
 *   dvr_harness_free(harness);
 *
 * One harness at a time per process, as there is one core; call it from one thread, the test's.
 * From start to stop the process's working directory is the harness's own fresh directory, as
 * the supervisor would choose one for the core: the core writes core.xml and plugins.xml there,
 * and your plugins their files.
 *
 * Nothing waits without a bound: a call that waits gives up after the harness's timeout (10 s
 * unless set) and says so on standard error. After dvr_harness_stop the collections are complete
 * and look-ups no longer wait; calls that would act answer DVR_HARNESS_STOPPED, raises
 * DVR_RESULT_REFUSED, as the core answers once it has stopped, and so do the plugins' own threads
 * if they still raise.
 *
 * C99 and C++. CMake: target_link_libraries(<test> PRIVATE dvrcore::harness);
 * otherwise: cc $(pkg-config --cflags --libs dvrcore-harness) ...
 */
#ifndef DVRHARNESS_H
#define DVRHARNESS_H

#include <stddef.h>
#include <stdint.h>

#include "dvrplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The source of what the harness raises for the test: module number 254. */
#define DVR_HARNESS_ID 0x00FE0000u

/* Status of the calls that do not answer with an event result. */
#define DVR_HARNESS_OK 0
#define DVR_HARNESS_TIMEOUT 1 /* the bound passed first */
#define DVR_HARNESS_STOPPED 2 /* the harness is stopped already */
#define DVR_HARNESS_FAILED 3  /* the request itself was wrong: a packet too long, say */

typedef struct DvrHarness DvrHarness;

/* An event a hosted plugin raised through the entry it received in Load, and the core's answer.
 * event.data points at the harness's copy of the event's length bytes (null without data),
 * except for a release (DVR_CMD_RELEASE), where it is the address given back. */
typedef struct DvrHarnessEvent {
    _EventParmsIn event;
    int32_t result; /* out.result as the core left it */
} DvrHarnessEvent;

/* A line the core's level gate wrote: what the console would show. */
typedef struct DvrHarnessLogLine {
    uint32_t source; /* the identifier that logged it; DVR_CORE_ID for the core */
    int32_t level;
    const char *text;
} DvrHarnessLogLine;

/* A record the supervisor received: a plugin's send (DVR_CMD_SEND), bytes as handed in. A send
 * over DVR_PACKET_MAX bytes arrives as several records. */
typedef struct DvrHarnessMessage {
    const void *data;
    uint32_t length;
} DvrHarnessMessage;

/* What the plugins never gave back. */
typedef struct DvrHarnessReport {
    uint32_t blocksKept;      /* holds still taken after Unload, one per block and plugin: a
                               * pending without its release. The core logs each as "address
                               * ... leaked by plugin ..." */
    uint32_t unknownReleases; /* releases the core refused: the block was released before,
                               * never delivered, or not the core's */
    uint32_t threadsRunning;  /* threads that appeared since start and still run after Unload
                               * (a second's grace). Their plugins stay mapped and the blocks
                               * they kept are not freed, so that they cannot crash the test */
} DvrHarnessReport;

/* ---- Start and stop ------------------------------------------------------------------------ */

/* Loads the `count` plugin files in `paths`, in that order, as the core loads its plugins
 * (Load, worker thread), opens them, starts their reader threads, and returns once what they
 * raised meanwhile and the core's own documents (plugins.xml, core.xml, the memory status) have
 * been delivered. Returns NULL, with the reason on standard error (the core's message for a
 * plugin it refuses), when a plugin is refused, when another harness runs, or when Load or Open
 * does not return within 10 s. */
DvrHarness *dvr_harness_start(const char *const *paths, size_t count);

/* Stops as the core stops: refuses new events, delivers what is queued, calls every Close in
 * descending order of the close key, waits for the worker, reader and request threads, calls
 * every Unload, then reports into `report` (may be NULL). DVR_HARNESS_TIMEOUT when a plugin does
 * not let the stop finish within the timeout; the harness is then left as it is. */
int dvr_harness_stop(DvrHarness *harness, DvrHarnessReport *report);

/* Stops the harness if need be, removes its directory and frees it. */
void dvr_harness_free(DvrHarness *harness);

/* The bound of every later wait, in milliseconds; 0 restores the default of 10000. */
void dvr_harness_set_timeout(DvrHarness *harness, uint32_t milliseconds);

/* The harness's directory, the working directory from start to stop; it lasts until free. */
const char *dvr_harness_directory(const DvrHarness *harness);

/* ---- Into the plugins ---------------------------------------------------------------------- */

/* An event record from DVR_HARNESS_ID: every other field zero. Change source to raise as
 * another module (the recorder takes frames from the camera's identifier), or set it to 0 for a
 * direct request. */
_EventParmsIn dvr_harness_event(uint32_t classFlags, uint32_t code, const void *data,
                                uint32_t length);

/* Raises the event as a plugin would, through the core's dispatch, and returns the core's
 * answer (a DVR_RESULT_*, a log level for a level query). Queued events reach the Write of
 * every subscriber in load order, `pending` honoured; configuration text (class 0x100) reaches
 * IOCTL code 2 of every plugin but its source; source 0 starts a direct request. The data is
 * copied, except a send's malloc block, which passes to the core. Not among dvr_harness_raised. */
int32_t dvr_harness_raise(DvrHarness *harness, const _EventParmsIn *event);

/* Waits until every event queued before the call has been delivered, and what the event loop
 * had to do for them (a delta document's parse) is done. */
int dvr_harness_settle(DvrHarness *harness);

/* Sends a packet from the supervisor to the plugin with identifier `id`: the 16-byte header
 * (DvrPacketHeader, target DVR_PACKET_TARGET(id)), then `length` bytes of payload. The core hands
 * it to the plugin's IOCTL code 4 on its event-loop thread. Types 7 and 8 are the core's. */
int dvr_harness_send_packet(DvrHarness *harness, uint32_t id, uint32_t type, const void *payload,
                            uint32_t length);

/* Sets the memory state as the core's memory watch would: non-zero throttles video (frames are
 * answered DVR_RESULT_THROTTLED) and broadcasts the status document with Throttling="1"; zero
 * ends it as a minute below the limit would, with Throttling="0". */
int dvr_harness_set_memory_low(DvrHarness *harness, int low);

/* ---- Out of the plugins -------------------------------------------------------------------- */
/* Look-ups return NULL when the bound passes first, at once after stop. What they return lasts
 * until dvr_harness_free. */

/* The index-th event the hosted plugins raised (from 0), waiting for it if need be. */
const DvrHarnessEvent *dvr_harness_raised(DvrHarness *harness, size_t index);

/* The index-th log line, and the first one whose text contains `text`. */
const DvrHarnessLogLine *dvr_harness_log(DvrHarness *harness, size_t index);
const DvrHarnessLogLine *dvr_harness_find_log(DvrHarness *harness, const char *text);

/* The index-th message to the supervisor, and the first one whose bytes contain `text`. */
const DvrHarnessMessage *dvr_harness_message(DvrHarness *harness, size_t index);
const DvrHarnessMessage *dvr_harness_find_message(DvrHarness *harness, const char *text);

/* The module's log level now (-1 unset), as the level gate reads it; -1 after stop. */
int32_t dvr_harness_log_level(DvrHarness *harness, uint32_t id);

#ifdef __cplusplus
}
#endif

#endif /* DVRHARNESS_H */
