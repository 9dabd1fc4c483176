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
    _EventParmsIn event = DVR_EVENT_IN_INIT;
    _EventParmsOut result = DVR_EVENT_OUT_INIT;
    (void)in;
    (void)out;
    event.source = HELLO_ID;
    event.classFlags = DVR_CLASS_LOG;
    event.code = DVR_CODE_LOG_MESSAGE;
    event.level = DVR_LEVEL_INFO;
    event.data = text;
    event.length = sizeof text;
    raiseEvent(&event, &result);
    return 0;
}
