/*
 * scribe.c - example plugin: a log collector, in C.
 *
 * Subscribes to log messages and appends each to scribe.log in the working directory, one line
 * per message: UTC date and time, level, source module, text. The core writes a line to the
 * console before it passes a message on, and only messages that pass the sender's log level
 * reach subscribers; while a module has no level set, its level-0 messages stay on the console.
 *
 * Write, Open and Close all run on the core's main thread, so the file needs no lock. Do not log
 * from Write here: our own message would come back to Write, and so on without end.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <dvrcore/dvrplugin.h>
#include "example_protocol.h"

static FILE *logFile;

/* The text of a message, never read past its length (a plugin need not end it with NUL). */
static int text_length(const _WriteParmsIn *in) {
    const char *end;
    if (in->data == NULL || in->length == 0) return 0;
    end = memchr(in->data, '\0', in->length);
    return end != NULL ? (int)(end - (const char *)in->data) : (int)in->length;
}

static void write_line(const _WriteParmsIn *in) {
    char stamp[32];
    struct tm utc;
    const time_t now = time(NULL);
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
    fprintf(logFile, "%s %3d 0x%08X %.*s\n", stamp, (int)in->level, (unsigned)in->source,
            text_length(in), in->data != NULL ? (const char *)in->data : "");
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in;
    out->id = EXAMPLE_SCRIBE_ID;
    /* Log messages: class 0x40 with code bit 1; plugins raise code 0x2, the core 0x1000002,
     * which a mask must cover as 0x2000002. */
    out->masks[DVR_MASK_LOG] =
        DVR_SUBSCRIPTION_CODE(DVR_CODE_LOG_MESSAGE) | DVR_SUBSCRIPTION_CODE(DVR_CODE_CORE_LOG);
    out->masks[DVR_MASK_CLOSE_KEY] = 10; /* close key: plugins close in descending order of it; we close last */
    out->wantsWrite = 1;
    out->defaultLogLevel = 25;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    logFile = fopen("scribe.log", "a");
    if (logFile == NULL) return 1; /* reported as OpenCode in plugins.xml */
    setvbuf(logFile, NULL, _IOLBF, 0); /* follow it with tail -f */
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    /* A log message, not a level query or another event of the log class. */
    if (logFile != NULL && (in->classFlags & DVR_CLASS_LOG) && (in->code & DVR_CODE_LOG_MESSAGE))
        write_line(in);
    return 0; /* the block is not kept: no pending, nothing to release */
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    if (logFile != NULL && fclose(logFile) != 0) out->error = 1; /* logged by the core */
    logFile = NULL;
    return 0;
}
