/*
 * A plugin built the way a plugin author builds one: from dvrplugin.h alone, with its own
 * build, outside the core's. It checks the records the core hands it, keeps a worker thread
 * until Close, and reports on standard output what it saw. Having nothing else to do, it ends
 * the run itself once it is open, by raising the termination signal the core stops on.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <dvrcore/dvrplugin.h>

#define EXTERNAL_ID 0x00310000u

static DvrEventEntry raiseEvent;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closed = PTHREAD_COND_INITIALIZER;
static int isClosed;
static int workerCalls;

static void say(const char *text) {
    printf("external: %s\n", text);
    fflush(stdout);
}

static int zeroes(const void *bytes, size_t length) {
    const unsigned char *p = bytes;
    size_t i;
    for (i = 0; i < length; ++i)
        if (p[i] != 0) return 0;
    return 1;
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    const int recordsOk = in->size == sizeof *in && in->version == 3 && in->core != NULL &&
                          in->eventEntry != NULL && out->size == 68 && out->version == 2 &&
                          zeroes((const char *)out + 8, sizeof *out - 8);
    say(recordsOk ? "load records ok" : "load records wrong");
    /* The executable exports the same entry by name. */
    say(dlsym(RTLD_DEFAULT, "FlatPluginEvent") == (void *)in->eventEntry ? "entry exported"
                                                                         : "entry not exported");
    raiseEvent = in->eventEntry;
    out->id = EXTERNAL_ID;
    out->wantsWorker = 1;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->code != DVR_IOCTL_WORKER) return 0;
    pthread_mutex_lock(&lock);
    ++workerCalls;
    while (!isClosed) pthread_cond_wait(&closed, &lock);
    pthread_mutex_unlock(&lock);
    say("worker returns");
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    _EventParmsIn query;
    _EventParmsOut answer = {sizeof answer, 1, 99};
    char text[64];
    (void)in;
    (void)out;
    memset(&query, 0, sizeof query);
    query.size = sizeof query;
    query.version = 1;
    query.source = EXTERNAL_ID;
    query.classFlags = DVR_CLASS_LOG;
    query.code = DVR_CODE_LEVEL_QUERY;
    raiseEvent(&query, &answer);
    snprintf(text, sizeof text, "open, log level %d", (int)answer.result);
    say(text);
    raise(SIGTERM);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    say("close");
    pthread_mutex_lock(&lock);
    isClosed = 1;
    pthread_cond_signal(&closed);
    pthread_mutex_unlock(&lock);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    char text[64];
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    snprintf(text, sizeof text, "unload after %d worker call(s)", workerCalls);
    pthread_mutex_unlock(&lock);
    say(text);
    return 0;
}
