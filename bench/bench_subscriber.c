/* The benchmark's subscriber plugin. One build is copied N times into the plugin directory;
 * each copy takes its index from its own file name, so every copy has its own identifier. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "bench/bench_bus.h"
#include "dvrcore/dvrplugin.h"

static BenchDeliveredEntry delivered;
static uint32_t subscriberIndex;

/* "…/bench_sub_07.so" gives 7. */
static int IndexFromFileName(uint32_t *index) {
    Dl_info info;
    if (dladdr((void *)&IndexFromFileName, &info) == 0 || info.dli_fname == NULL) return 0;
    const char *name = strrchr(info.dli_fname, '/');
    name = name != NULL ? name + 1 : info.dli_fname;
    const size_t prefix = strlen(BENCH_SUBSCRIBER_PREFIX);
    if (strncmp(name, BENCH_SUBSCRIBER_PREFIX, prefix) != 0) return 0;
    char *end = NULL;
    const unsigned long value = strtoul(name + prefix, &end, 10);
    if (end == name + prefix || strcmp(end, ".so") != 0 || value > 0xBF) return 0;
    *index = (uint32_t)value;
    return 1;
}

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in;
    if (!IndexFromFileName(&subscriberIndex)) {
        out->error = 1;
        return 0;
    }
    delivered = (BenchDeliveredEntry)dlsym(RTLD_DEFAULT, BENCH_DELIVERED_SYMBOL);
    if (delivered == NULL) {
        out->error = 2;
        return 0;
    }
    out->id = BENCH_SUBSCRIBER_ID(subscriberIndex);
    out->masks[1] = BENCH_CODE; /* class 0x2 */
    out->wantsWrite = 1;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    delivered(subscriberIndex, in->data, in->length);
    return 0;
}

DVR_PLUGIN_EXPORT void BenchSubscriberNotify(const void *data, uint32_t length) {
    delivered(subscriberIndex, data, length);
}
