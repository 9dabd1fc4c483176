/* What the C test plugins (and the preloaded storage shim) share: lines appended to files,
 * files as signals between a test and a plugin, events raised from a plugin, and a flag that
 * threads wait for. Plain C99 on the plugin header; every function is static inline so that a
 * plugin takes only what it uses. */
#ifndef DVR_PLUGIN_KIT_H
#define DVR_PLUGIN_KIT_H

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "dvrcore/dvrplugin.h"

/* One write per line: a plugin's threads append concurrently. A line that does not make it is
 * one the test then misses. */
static inline void kit_append(const char *path, const char *line) {
    const size_t length = strlen(line);
    const int fd = path != NULL ? open(path, O_WRONLY | O_APPEND | O_CREAT, 0600) : -1;
    if (fd < 0) return;
    (void)!write(fd, line, length); /* best effort */
    close(fd);
}

/* "<plugin> <text>" in the journal that the test process names in DVR_TEST_JOURNAL. */
static inline void kit_journal(const char *plugin, const char *text) {
    char line[160];
    snprintf(line, sizeof line, "%s %s\n", plugin, text);
    kit_append(getenv("DVR_TEST_JOURNAL"), line);
}

static inline void kit_touch(const char *name) { kit_append(name, ""); }

/* Waits for a file the test creates; a minute at most, so that a broken test cannot hang. */
static inline void kit_wait_for_file(const char *name) {
    const struct timespec pause = {0, 10 * 1000 * 1000};
    int i;
    for (i = 0; i < 6000 && access(name, F_OK) != 0; ++i) nanosleep(&pause, NULL);
}

/* An event record from `source`, every other field zero. */
static inline _EventParmsIn kit_event(uint32_t source, uint32_t classFlags, uint32_t code,
                                      void *data, uint32_t length) {
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.source = source;
    in.classFlags = classFlags;
    in.code = code;
    in.data = data;
    in.length = length;
    return in;
}

/* Raises `in` through the core's entry; the result the core wrote. */
static inline int32_t kit_raise(DvrEventEntry entry, _EventParmsIn in) {
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    entry(&in, &out);
    return out.result;
}

/* A flag that one thread sets and others wait for. */
typedef struct KitFlag {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int set;
} KitFlag;
#define KIT_FLAG_INIT \
    { PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0 }

static inline void kit_flag_set(KitFlag *flag) {
    pthread_mutex_lock(&flag->lock);
    flag->set = 1;
    pthread_cond_broadcast(&flag->changed);
    pthread_mutex_unlock(&flag->lock);
}

static inline void kit_flag_wait(KitFlag *flag) {
    pthread_mutex_lock(&flag->lock);
    while (!flag->set) pthread_cond_wait(&flag->changed, &flag->lock);
    pthread_mutex_unlock(&flag->lock);
}

static inline int kit_flag_is_set(KitFlag *flag) {
    int set;
    pthread_mutex_lock(&flag->lock);
    set = flag->set;
    pthread_mutex_unlock(&flag->lock);
    return set;
}

#endif
