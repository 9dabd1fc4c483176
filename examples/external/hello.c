/* hello.c - the smallest useful plugin: says hello in the core's log when it is opened. */
#include <string.h>

#include <dvrcore/dvrplugin.h>

#define HELLO_ID 0x00600000u /* module number 0x060: unique among the core's plugins */

static DvrEventEntry raiseEvent;

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->eventEntry;
    out->id = HELLO_ID;
    return 0; /* every field left alone is 0: no subscriptions, no threads */
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    static char text[] = "hello from a plugin built outside the tree";
    _EventParmsIn event;
    _EventParmsOut result = {sizeof result, 1, 0};
    (void)in;
    (void)out;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = 1;
    event.source = HELLO_ID;
    event.classFlags = DVR_CLASS_LOG;
    event.code = DVR_CODE_LOG_MESSAGE;
    event.level = 25;
    event.data = text;
    event.length = sizeof text;
    raiseEvent(&event, &result);
    return 0;
}
