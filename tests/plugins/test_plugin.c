/* A data-driven plugin for the tests: see test_plugin.h. Its TP_* settings come from
 * dvr_test_plugin (tests/plugins/CMakeLists.txt), which lists their defaults; TP_OMIT_<ENTRY>
 * leaves an entry point out. */
#include "test_plugin.h"

#include "tests/support/plugin_kit.h"

static TestPluginHooks hooks;
static DvrEventEntry eventEntry;

static void journal(const char *entry, long detail) {
    char text[128];
    snprintf(text, sizeof text, "%s %ld", entry, detail);
    kit_journal(TP_NAME, text);
}

DVR_PLUGIN_EXPORT void TestPlugin_SetHooks(const TestPluginHooks *newHooks) {
    static const TestPluginHooks none;
    hooks = newHooks != NULL ? *newHooks : none;
}

DVR_PLUGIN_EXPORT DvrEventEntry TestPlugin_EventEntry(void) { return eventEntry; }
DVR_PLUGIN_EXPORT uint32_t TestPlugin_Id(void) { return TP_ID; }

#ifndef TP_OMIT_LOAD
int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    static const uint32_t masks[DVR_SUBSCRIPTION_CLASSES] = {TP_MASKS};
    eventEntry = in->eventEntry;
    journal("load", (long)in->size);
    out->id = TP_ID;
    memcpy(out->masks, masks, sizeof masks);
    out->wantsWorker = TP_WORKER;
    out->wantsReader = TP_READER;
    out->wantsWrite = TP_WRITE;
    out->error = TP_LOAD_ERROR;
    out->defaultLogLevel = TP_DEFAULT_LEVEL;
    return TP_LOAD_RESULT;
}
#endif

#ifndef TP_OMIT_OPEN
int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    journal("open", 0);
    if (hooks.open != NULL) return hooks.open(hooks.context, in, out);
    return TP_OPEN_RESULT;
}
#endif

#ifndef TP_OMIT_CLOSE
int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    journal("close", 0);
    if (hooks.close != NULL) return hooks.close(hooks.context, in, out);
    out->error = TP_CLOSE_ERROR;
    return TP_CLOSE_RESULT;
}
#endif

#ifndef TP_OMIT_UNLOAD
int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    journal("unload", 0);
    if (hooks.unload != NULL) return hooks.unload(hooks.context, in, out);
    out->error = TP_UNLOAD_ERROR;
    return TP_UNLOAD_RESULT;
}
#endif

#ifndef TP_OMIT_READ
int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    journal(in->data == NULL ? "read" : "request", (long)in->length);
    if (hooks.read != NULL) return hooks.read(hooks.context, in, out);
    return 0;
}
#endif

#ifndef TP_OMIT_WRITE
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    journal("write", (long)in->code);
    if (hooks.write != NULL) return hooks.write(hooks.context, in, out);
    return 0;
}
#endif

#ifndef TP_OMIT_SEEK
DVR_PLUGIN_EXPORT int32_t Seek(void *in, void *out) {
    journal("seek", 0);
    return 0;
}
#endif

#ifndef TP_OMIT_IOCTL
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    journal("ioctl", (long)in->code);
    if (hooks.ioctl != NULL) return hooks.ioctl(hooks.context, in, out);
    return 0;
}
#endif
