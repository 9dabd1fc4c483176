/*
 * dvrplugin.h - the binary interface between dvrcore and its plugins.
 *
 * A plugin is a shared object that exports, with C linkage, some of the eight entry points
 * "Load", "Unload", "Open", "Close", "Read", "Write", "Seek" and "IOCTL". Only Load is required;
 * the core never calls an entry point that a plugin does not export, and never calls Seek.
 * Every entry takes a pointer to an input record and a pointer to an output record and returns
 * a signed 32-bit result. Plugins talk back to the core through FlatPluginEvent.
 *
 * The records are fixed binary layouts. On the device (32-bit ARM, little-endian) every pointer
 * is 4 bytes and the sizes are those asserted at the end of this file; on a 64-bit host each
 * pointer widens to 8 bytes and the fields behind it move accordingly. Every record starts with
 * its size in bytes and a version word, so that records can grow by appending fields: the core
 * fills both in every record it builds and never checks what a plugin leaves in them.
 *
 * Ownership: both records of a call belong to the core and live only for the call; copy what you
 * keep. Every output field the core reads after a call is zeroed by the core first, so a plugin
 * that leaves a field alone reports success.
 *
 * The header is C99 and C++11 and later; its layout checks compile from C11 and C++11 on.
 */
#ifndef DVRPLUGIN_H
#define DVRPLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The interface as a whole. It grows only by appending fields to records and by new values;
 * each record's own version is the DVR_VERSION_* define above its version field. */
#define DVR_PLUGIN_API_VERSION 1

/* ---- Module identifiers ------------------------------------------------------------------ */

/* The core's own module identifier: the source of its log lines and documents. */
#define DVR_CORE_ID 0x80000000u
/* Bits 27..16 of an identifier are its module number: it owns a log level and addresses
 * supervisor packets. Module numbers 0..254 have log levels; 255 is accepted without one. */
#define DVR_MODULE_NUMBER(id) ((((uint32_t)(id)) >> 16) & 0xFFFu)

/* ---- Log levels ------------------------------------------------------------------------------
 * A module's log level lets through messages of that level and above; -1 lets all through.
 * These are the levels the core itself writes at; level 100 also goes to the system log. */
#define DVR_LEVEL_DEBUG 0
#define DVR_LEVEL_INFO 25
#define DVR_LEVEL_WARNING 50
#define DVR_LEVEL_CRITICAL 100

/* ---- Event class flags (_EventParmsIn.classFlags) ----------------------------------------- */

/* Subscription classes: each has its own subscription mask in _LoadParmsOut.masks, in this
 * order: 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x400. */
#define DVR_CLASS_0 0x1u      /* with code bit 24: a video frame, subject to stream admission */
#define DVR_CLASS_1 0x2u
#define DVR_CLASS_STATUS 0x4u /* class 2: the core's memory status document */
#define DVR_CLASS_3 0x8u
#define DVR_CLASS_4 0x10u
#define DVR_CLASS_5 0x20u     /* its mask is also the plugin's close key: larger closes first */
#define DVR_CLASS_LOG 0x40u   /* code bit 1: log message; code bit 0 alone: level query */
#define DVR_CLASS_7 0x80u
#define DVR_CLASS_CONFIG 0x100u /* data is an XML configuration document */
#define DVR_CLASS_8 0x400u
#define DVR_SUBSCRIPTION_CLASSES 9

/* Indexes into _LoadParmsOut.masks of the masks with a second meaning. */
#define DVR_MASK_STATUS 2    /* class DVR_CLASS_STATUS */
#define DVR_MASK_CLOSE_KEY 5 /* class DVR_CLASS_5: also the close key */
#define DVR_MASK_LOG 6       /* class DVR_CLASS_LOG */

/* Commands: recognised only as the whole classFlags word. */
#define DVR_CMD_RELEASE 0x200u    /* give back a data block kept after Write/IOCTL (pending) */
#define DVR_CMD_CLOSE_TAG 0x1000u /* with source 0: refuse later tagged events with this tag */
#define DVR_CMD_SEND 0x2000u      /* hand a malloc block to the supervisor; the core frees it */

/* ---- Event codes (_EventParmsIn.code) ------------------------------------------------------ */

#define DVR_CODE_LEVEL_QUERY 0x1u      /* with DVR_CLASS_LOG */
#define DVR_CODE_LOG_MESSAGE 0x2u      /* with DVR_CLASS_LOG */
#define DVR_CODE_VIDEO_FRAME 0x1000000u /* with DVR_CLASS_0 */
#define DVR_CODE_CORE_LOG 0x1000002u   /* code of the core's own log messages */
#define DVR_CODE_DOCUMENT 0x1000010u   /* code of the core's XML documents */

/* The mask bits that take queued events of this code: code bits 24..30 move up one place
 * (bit 31 cannot be subscribed to), bits 0..23 stay. For example, to take video frames:
 *   out->masks[0] = DVR_SUBSCRIPTION_CODE(DVR_CODE_VIDEO_FRAME); */
#define DVR_SUBSCRIPTION_CODE(code) \
    (((((uint32_t)(code)) << 1) & 0xFE000000u) | (((uint32_t)(code)) & 0x00FFFFFFu))

/* ---- Event results (_EventParmsOut.result) ------------------------------------------------- */

#define DVR_RESULT_OK 0          /* queued, started, released, closed or handed over */
#define DVR_RESULT_REFUSED 1     /* stopping; tag closed; tagged event off a request thread;
                                  * send without supervisor; release of an unknown block */
#define DVR_RESULT_NO_MEMORY (-1) /* the core could not copy the data; nothing was queued */
#define DVR_RESULT_STREAM_NOT_STARTED 3 /* video: no key frame since the stream was dropped */
#define DVR_RESULT_STREAM_TOO_LONG 4    /* video: over 766 frames since the last key frame */
#define DVR_RESULT_THROTTLED 5          /* video: memory is low; wait for a key frame */

/* ---- IOCTL request codes ------------------------------------------------------------------- */

#define DVR_IOCTL_WORKER 1        /* on the plugin's worker thread; return to end the thread */
#define DVR_IOCTL_UPDATE_CONFIG 2 /* data: configuration XML text */
#define DVR_IOCTL_SUPERVISOR 4    /* data: a whole supervisor packet, header included */

/* ---- Supervisor packets -------------------------------------------------------------------- */

/* Header of every packet from the supervisor (little-endian words). The core routes a packet by
 * the module number in bits 31..20 of target; types 7 and 8, and 9 addressed to module
 * number 0, are the core's own. Messages to the
 * supervisor (DVR_CMD_SEND) are written unchanged: plugins and supervisor agree on their
 * layout, usually this same header. */
typedef struct _DvrPacketHeader {
    uint32_t length; /* bytes, header included: 16..65536 */
    uint32_t target;
    uint32_t type;
    uint32_t word;   /* not examined by the core */
} DvrPacketHeader;

#define DVR_PACKET_HEADER_SIZE 16u
#define DVR_PACKET_MAX 65536u
/* The target word that addresses the plugin with this identifier. */
#define DVR_PACKET_TARGET(id) (DVR_MODULE_NUMBER(id) << 20)
#define DVR_PACKET_IDENTITY 7u /* payload: supervisor file name, NUL, version */
#define DVR_PACKET_STOP 8u
#define DVR_PACKET_STATISTICS 9u /* to module number 0: the core answers with its statistics */

/* ---- Events -------------------------------------------------------------------------------- */

/* The part of an event that reaches subscribers unchanged; Write receives it verbatim. */
#define DVR_EVENT_BODY                                                                            \
    uint32_t source;      /* raiser's module identifier; 0 marks a direct request */             \
    uint32_t tag;         /* request tag, 0 for none; non-zero only from request threads */      \
    uint32_t classFlags;  /* DVR_CLASS_* bits, or exactly one DVR_CMD_* value */                 \
    uint32_t code;        /* matched against subscription masks */                               \
    uint8_t reserved32[8];                                                                       \
    int32_t level;        /* log messages: the message level, 0..100 */                          \
    uint8_t reserved44[6];                                                                       \
    uint8_t keyFrame;     /* video frames: 1 = a stream may start or restart here */              \
    uint8_t reserved51[133];

/* Filled entirely by the raiser; the core never writes into it. */
typedef struct _EventParmsIn {
    uint32_t size;    /* sizeof(struct _EventParmsIn) */
#define DVR_VERSION_EVENT_IN 1
    uint32_t version; /* DVR_VERSION_EVENT_IN */
    uint32_t length;  /* bytes at data; 0 means no data */
    void *data;       /* stays yours: the core copies what it keeps. Exception: DVR_CMD_SEND,
                       * where the malloc block passes to the core whatever the result. */
    DVR_EVENT_BODY
} _EventParmsIn;

typedef struct _EventParmsOut {
    uint32_t size;    /* 12 */
#define DVR_VERSION_EVENT_OUT 1
    uint32_t version; /* DVR_VERSION_EVENT_OUT */
    int32_t result;   /* set 0 before the call; the core writes a DVR_RESULT_* or a log level.
                       * A log message stopped by the level gate leaves it unchanged. */
} _EventParmsOut;

typedef int32_t (*DvrEventEntry)(_EventParmsIn *in, _EventParmsOut *out);

/* Raises an event. Exported by the core executable; its address also arrives in Load.
 * Callable from any thread, also from inside an entry point the core is calling. Returns 0;
 * the outcome is out->result. Without a core (a thread that outlives it) both are 1, refused,
 * and a DVR_CMD_SEND block is freed. */
int32_t FlatPluginEvent(_EventParmsIn *in, _EventParmsOut *out);

/* ---- Load ---------------------------------------------------------------------------------- */

typedef struct _LoadParmsIn {
    uint32_t size;           /* sizeof(struct _LoadParmsIn) */
#define DVR_VERSION_LOAD_IN 3
    uint32_t version; /* DVR_VERSION_LOAD_IN */
    void *core;              /* opaque */
    DvrEventEntry eventEntry; /* FlatPluginEvent */
} _LoadParmsIn;

typedef struct _LoadParmsOut {
    uint32_t size;       /* 68 */
#define DVR_VERSION_LOAD_OUT 2
    uint32_t version; /* DVR_VERSION_LOAD_OUT */
    uint32_t id;         /* your module identifier: unique, not DVR_CORE_ID, module number <= 255 */
    uint32_t masks[DVR_SUBSCRIPTION_CLASSES]; /* per class 0x1..0x80, 0x400: codes you take */
    uint32_t reserved48;
    uint8_t wantsWorker; /* non-zero: IOCTL DVR_IOCTL_WORKER is called on a thread of its own */
    uint8_t reserved53;
    uint8_t wantsReader; /* non-zero: Read is called on a reader thread after Open, and for
                          * each direct request you subscribe to on a request thread */
    uint8_t wantsWrite;  /* non-zero: subscribed queued events arrive through Write */
    uint32_t reserved56;
    int32_t error;       /* non-zero refuses the plugin, like a non-zero result */
    int32_t defaultLogLevel; /* -1..100; 0 declares nothing. A configured level wins. */
} _LoadParmsOut;

/* ---- Open, Close, Unload ------------------------------------------------------------------- */

typedef struct _OpenParmsIn {
    uint32_t size;    /* 20 */
#define DVR_VERSION_OPEN_IN 1
    uint32_t version; /* DVR_VERSION_OPEN_IN */
    uint32_t reserved[3];
} _OpenParmsIn;

/* Only Open's result counts; it is reported in plugins.xml as OpenCode. */
typedef struct _OpenParmsOut {
    uint32_t size;    /* 16 */
#define DVR_VERSION_OPEN_OUT 1
    uint32_t version; /* DVR_VERSION_OPEN_OUT */
    uint32_t reserved[2];
} _OpenParmsOut;

/* Close is where a plugin makes its reader and worker calls return: the core then waits for
 * them without a time limit before it calls Unload. */
typedef struct _CloseParmsIn {
    uint32_t size;    /* 12 */
#define DVR_VERSION_CLOSE_IN 1
    uint32_t version; /* DVR_VERSION_CLOSE_IN */
    uint32_t reserved;
} _CloseParmsIn;

typedef struct _CloseParmsOut {
    uint32_t size;    /* 12 */
#define DVR_VERSION_CLOSE_OUT 1
    uint32_t version; /* DVR_VERSION_CLOSE_OUT */
    int32_t error;    /* non-zero is logged */
} _CloseParmsOut;

typedef struct _UnloadParmsIn {
    uint32_t size;    /* 8 */
#define DVR_VERSION_UNLOAD_IN 1
    uint32_t version; /* DVR_VERSION_UNLOAD_IN */
} _UnloadParmsIn;

typedef struct _UnloadParmsOut {
    uint32_t size;    /* 12 */
#define DVR_VERSION_UNLOAD_OUT 1
    uint32_t version; /* DVR_VERSION_UNLOAD_OUT */
    int32_t error;    /* non-zero is logged */
} _UnloadParmsOut;

/* ---- Read: reader thread and direct requests ---------------------------------------------- */

typedef struct _ReadParmsIn {
    uint32_t size;    /* sizeof(struct _ReadParmsIn) */
#define DVR_VERSION_READ_IN 1
    uint32_t version; /* DVR_VERSION_READ_IN */
    uint32_t reserved8;
    uint8_t one;      /* 1 */
    uint8_t reserved13[3];
    uint32_t length;  /* direct request: data length (0 when data is null); reader thread: 0 */
    void *data;       /* direct request: the core's private copy, valid during the call only;
                       * reader thread: null */
    uint32_t tag;     /* direct request: its tag, usable for tagged events; reader thread: 0 */
} _ReadParmsIn;

typedef struct _ReadParmsOut {
    uint32_t size;    /* 20 */
#define DVR_VERSION_READ_OUT 1
    uint32_t version; /* DVR_VERSION_READ_OUT */
    uint32_t reserved[3];
} _ReadParmsOut;

/* ---- Write: queued events ------------------------------------------------------------------ */

typedef struct _WriteParmsIn {
    uint32_t size;    /* sizeof(struct _WriteParmsIn) */
#define DVR_VERSION_WRITE_IN 1
    uint32_t version; /* DVR_VERSION_WRITE_IN */
    uint32_t reserved8;
    uint8_t zero;     /* 0 */
    uint8_t padding13[3];
    uint32_t length;  /* event data length */
    void *data;       /* the core's block, shared by every subscriber: read only. To keep it
                       * past the call set pending, then raise DVR_CMD_RELEASE with it. */
    DVR_EVENT_BODY    /* the event's fields from source on, as raised */
} _WriteParmsIn;

typedef struct _WriteParmsOut {
    uint32_t size;    /* 24 */
#define DVR_VERSION_WRITE_OUT 1
    uint32_t version; /* DVR_VERSION_WRITE_OUT */
    uint32_t reserved[2];
    int32_t error;    /* non-zero is logged */
    uint32_t pending; /* non-zero: you keep data and release it later */
} _WriteParmsOut;

/* ---- IOCTL --------------------------------------------------------------------------------- */

typedef struct _IoctlParmsIn {
    uint32_t size;    /* sizeof(struct _IoctlParmsIn) */
#define DVR_VERSION_IOCTL_IN 1
    uint32_t version; /* DVR_VERSION_IOCTL_IN */
    uint32_t code;    /* DVR_IOCTL_* */
    uint32_t kind;    /* 16 when data follows (codes 2 and 4), 8 for code 1 */
    uint32_t one;     /* 1 */
    uint32_t length;  /* data length; 0 for code 1 */
    void *data;       /* code 2: configuration text (not NUL-terminated), the core's block;
                       * set pending to keep it, then release it.
                       * code 4: the supervisor packet, valid during the call only. */
} _IoctlParmsIn;

typedef struct _IoctlParmsOut {
    uint32_t size;    /* 28 */
#define DVR_VERSION_IOCTL_OUT 1
    uint32_t version; /* DVR_VERSION_IOCTL_OUT */
    uint32_t code;    /* the request code */
    int32_t error;    /* codes 2 and 4: non-zero is logged */
    uint32_t pending; /* code 2: non-zero when you keep the configuration block */
    uint32_t eight;   /* 8 */
    uint32_t one;     /* 1 */
} _IoctlParmsOut;

/* ---- Record initializers -------------------------------------------------------------------
 * Every field zero, size and version filled in:
 *   _EventParmsIn in = DVR_EVENT_IN_INIT;
 *   _EventParmsOut out = DVR_EVENT_OUT_INIT; */

#ifdef __cplusplus
#define DVR_RECORD_INIT(type, version) (::dvr_record_init<type>(version))
#else
#define DVR_RECORD_INIT(type, recordVersion) {.size = sizeof(type), .version = (recordVersion)}
#endif
#define DVR_EVENT_IN_INIT DVR_RECORD_INIT(_EventParmsIn, DVR_VERSION_EVENT_IN)
#define DVR_EVENT_OUT_INIT DVR_RECORD_INIT(_EventParmsOut, DVR_VERSION_EVENT_OUT)
#define DVR_LOAD_IN_INIT DVR_RECORD_INIT(_LoadParmsIn, DVR_VERSION_LOAD_IN)
#define DVR_LOAD_OUT_INIT DVR_RECORD_INIT(_LoadParmsOut, DVR_VERSION_LOAD_OUT)
#define DVR_OPEN_IN_INIT DVR_RECORD_INIT(_OpenParmsIn, DVR_VERSION_OPEN_IN)
#define DVR_OPEN_OUT_INIT DVR_RECORD_INIT(_OpenParmsOut, DVR_VERSION_OPEN_OUT)
#define DVR_CLOSE_IN_INIT DVR_RECORD_INIT(_CloseParmsIn, DVR_VERSION_CLOSE_IN)
#define DVR_CLOSE_OUT_INIT DVR_RECORD_INIT(_CloseParmsOut, DVR_VERSION_CLOSE_OUT)
#define DVR_UNLOAD_IN_INIT DVR_RECORD_INIT(_UnloadParmsIn, DVR_VERSION_UNLOAD_IN)
#define DVR_UNLOAD_OUT_INIT DVR_RECORD_INIT(_UnloadParmsOut, DVR_VERSION_UNLOAD_OUT)
#define DVR_READ_IN_INIT DVR_RECORD_INIT(_ReadParmsIn, DVR_VERSION_READ_IN)
#define DVR_READ_OUT_INIT DVR_RECORD_INIT(_ReadParmsOut, DVR_VERSION_READ_OUT)
#define DVR_WRITE_IN_INIT DVR_RECORD_INIT(_WriteParmsIn, DVR_VERSION_WRITE_IN)
#define DVR_WRITE_OUT_INIT DVR_RECORD_INIT(_WriteParmsOut, DVR_VERSION_WRITE_OUT)
#define DVR_IOCTL_IN_INIT DVR_RECORD_INIT(_IoctlParmsIn, DVR_VERSION_IOCTL_IN)
#define DVR_IOCTL_OUT_INIT DVR_RECORD_INIT(_IoctlParmsOut, DVR_VERSION_IOCTL_OUT)

/* ---- Entry points a plugin exports --------------------------------------------------------- */

#if defined(__GNUC__)
#define DVR_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define DVR_PLUGIN_EXPORT
#endif

typedef int32_t (*DvrLoadEntry)(_LoadParmsIn *, _LoadParmsOut *);
typedef int32_t (*DvrUnloadEntry)(_UnloadParmsIn *, _UnloadParmsOut *);
typedef int32_t (*DvrOpenEntry)(_OpenParmsIn *, _OpenParmsOut *);
typedef int32_t (*DvrCloseEntry)(_CloseParmsIn *, _CloseParmsOut *);
typedef int32_t (*DvrReadEntry)(_ReadParmsIn *, _ReadParmsOut *);
typedef int32_t (*DvrWriteEntry)(_WriteParmsIn *, _WriteParmsOut *);
typedef int32_t (*DvrSeekEntry)(void *, void *);
typedef int32_t (*DvrIoctlEntry)(_IoctlParmsIn *, _IoctlParmsOut *);

/* Called once on the main thread right after the object is mapped. */
DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out);
/* Main thread, after all plugins are loaded. Supervisor packets (IOCTL 4) and the worker
 * thread may already have reached you. */
DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out);
/* Main thread, at stop, in descending order of masks[5]. */
DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out);
/* Main thread, after every Close and after your worker, reader and request threads ended. */
DVR_PLUGIN_EXPORT int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out);
/* Reader thread (data null) or a request thread (a direct request's copy and tag). */
DVR_PLUGIN_EXPORT int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out);
/* Main thread: a queued event you subscribed to. */
DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out);
/* Worker thread (1), main thread (2), the core's event-loop thread (4). */
DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out);

/* ---- Layout checks ------------------------------------------------------------------------- */

#if defined(__cplusplus) && __cplusplus >= 201103L
#define DVR_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define DVR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
#ifdef DVR_STATIC_ASSERT
#define DVR_OFF(t, f) offsetof(t, f)

/* The event body reaches Write byte for byte: both records end with the same 168 bytes. */
DVR_STATIC_ASSERT(sizeof(_EventParmsIn) - DVR_OFF(_EventParmsIn, source) == 168, "event body");
DVR_STATIC_ASSERT(sizeof(_WriteParmsIn) - DVR_OFF(_WriteParmsIn, source) == 168, "write body");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, level) - DVR_OFF(_EventParmsIn, source) == 24, "level");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, keyFrame) - DVR_OFF(_EventParmsIn, source) == 34, "key");
DVR_STATIC_ASSERT(sizeof(_EventParmsOut) == 12, "_EventParmsOut");
DVR_STATIC_ASSERT(sizeof(_LoadParmsOut) == 68, "_LoadParmsOut");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, masks) == 12, "masks");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, wantsWorker) == 52, "wantsWorker");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, wantsReader) == 54, "wantsReader");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, wantsWrite) == 55, "wantsWrite");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, error) == 60, "error");
DVR_STATIC_ASSERT(DVR_OFF(_LoadParmsOut, defaultLogLevel) == 64, "defaultLogLevel");
DVR_STATIC_ASSERT(sizeof(_OpenParmsIn) == 20 && sizeof(_OpenParmsOut) == 16, "Open records");
DVR_STATIC_ASSERT(sizeof(_CloseParmsIn) == 12 && sizeof(_CloseParmsOut) == 12, "Close records");
DVR_STATIC_ASSERT(sizeof(_UnloadParmsIn) == 8 && sizeof(_UnloadParmsOut) == 12, "Unload records");
DVR_STATIC_ASSERT(sizeof(_ReadParmsOut) == 20, "_ReadParmsOut");
DVR_STATIC_ASSERT(sizeof(_WriteParmsOut) == 24 && DVR_OFF(_WriteParmsOut, pending) == 20, "WOut");
DVR_STATIC_ASSERT(sizeof(_IoctlParmsOut) == 28 && DVR_OFF(_IoctlParmsOut, pending) == 16, "IOut");
DVR_STATIC_ASSERT(DVR_OFF(_ReadParmsIn, length) == 16 && DVR_OFF(_WriteParmsIn, length) == 16,
                  "length words");
DVR_STATIC_ASSERT(DVR_OFF(_IoctlParmsIn, length) == 20, "_IoctlParmsIn length");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The device: 4-byte pointers, the layouts exactly as documented. */
DVR_STATIC_ASSERT(sizeof(_EventParmsIn) == 184, "_EventParmsIn");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, data) == 12 && DVR_OFF(_EventParmsIn, source) == 16,
                  "_EventParmsIn data/source");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, tag) == 20 && DVR_OFF(_EventParmsIn, classFlags) == 24 &&
                      DVR_OFF(_EventParmsIn, code) == 28 && DVR_OFF(_EventParmsIn, level) == 40 &&
                      DVR_OFF(_EventParmsIn, keyFrame) == 50,
                  "_EventParmsIn fields");
DVR_STATIC_ASSERT(sizeof(_LoadParmsIn) == 16 && DVR_OFF(_LoadParmsIn, eventEntry) == 12,
                  "_LoadParmsIn");
DVR_STATIC_ASSERT(sizeof(_ReadParmsIn) == 28 && DVR_OFF(_ReadParmsIn, data) == 20 &&
                      DVR_OFF(_ReadParmsIn, tag) == 24,
                  "_ReadParmsIn");
DVR_STATIC_ASSERT(sizeof(_WriteParmsIn) == 192 && DVR_OFF(_WriteParmsIn, data) == 20 &&
                      DVR_OFF(_WriteParmsIn, source) == 24,
                  "_WriteParmsIn");
DVR_STATIC_ASSERT(sizeof(_IoctlParmsIn) == 28 && DVR_OFF(_IoctlParmsIn, data) == 24,
                  "_IoctlParmsIn");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* A 64-bit host: every pointer is 8 bytes and 8-aligned, the fields behind it move. */
DVR_STATIC_ASSERT(sizeof(_EventParmsIn) == 192, "_EventParmsIn");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, data) == 16 && DVR_OFF(_EventParmsIn, source) == 24,
                  "_EventParmsIn data/source");
DVR_STATIC_ASSERT(DVR_OFF(_EventParmsIn, level) == 48 && DVR_OFF(_EventParmsIn, keyFrame) == 58,
                  "_EventParmsIn fields");
DVR_STATIC_ASSERT(sizeof(_LoadParmsIn) == 24 && DVR_OFF(_LoadParmsIn, eventEntry) == 16,
                  "_LoadParmsIn");
DVR_STATIC_ASSERT(sizeof(_ReadParmsIn) == 40 && DVR_OFF(_ReadParmsIn, data) == 24 &&
                      DVR_OFF(_ReadParmsIn, tag) == 32,
                  "_ReadParmsIn");
DVR_STATIC_ASSERT(sizeof(_WriteParmsIn) == 200 && DVR_OFF(_WriteParmsIn, data) == 24 &&
                      DVR_OFF(_WriteParmsIn, source) == 32,
                  "_WriteParmsIn");
DVR_STATIC_ASSERT(sizeof(_IoctlParmsIn) == 32 && DVR_OFF(_IoctlParmsIn, data) == 24,
                  "_IoctlParmsIn");
#endif

#undef DVR_OFF
#undef DVR_STATIC_ASSERT
#endif /* DVR_STATIC_ASSERT */

#undef DVR_EVENT_BODY

#ifdef __cplusplus
}

/* C++ has no designated initializers before C++20: the same record, built by value. */
template <typename Record>
inline Record dvr_record_init(uint32_t version) {
    Record record = Record();
    record.size = sizeof record;
    record.version = version;
    return record;
}
#endif

#endif /* DVRPLUGIN_H */
