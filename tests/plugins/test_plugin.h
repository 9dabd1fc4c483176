/*
 * Control interface of the test plugin. Every test plugin is built from test_plugin.c with its
 * own identifier, masks and flags. By default each entry point appends "<name> <entry>" to the
 * journal file named by DVR_TEST_JOURNAL (if set) and returns the configured result; a test
 * running the core in its own process can take over any entry point with a hook
 * (tests/support/test_core.h).
 */
#ifndef DVR_TEST_PLUGIN_H
#define DVR_TEST_PLUGIN_H

#include "dvrcore/dvrplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TestPluginHooks {
    void *context; /* passed back to every hook */
    int32_t (*open)(void *context, _OpenParmsIn *, _OpenParmsOut *);
    int32_t (*close)(void *context, _CloseParmsIn *, _CloseParmsOut *);
    int32_t (*unload)(void *context, _UnloadParmsIn *, _UnloadParmsOut *);
    int32_t (*read)(void *context, _ReadParmsIn *, _ReadParmsOut *);
    int32_t (*write)(void *context, _WriteParmsIn *, _WriteParmsOut *);
    int32_t (*ioctl)(void *context, _IoctlParmsIn *, _IoctlParmsOut *);
} TestPluginHooks;

/* Exported by every test plugin; find it with dlsym on the plugin's handle. Null hooks
 * restore the default behaviour. */
typedef void (*TestPluginSetHooks)(const TestPluginHooks *hooks);
/* The event entry the core handed to Load, and the identifier the plugin reported. */
typedef DvrEventEntry (*TestPluginEventEntry)(void);
typedef uint32_t (*TestPluginId)(void);

#ifdef __cplusplus
}
#endif

#endif
