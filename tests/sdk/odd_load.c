/*
 * Plugins whose Load the inspector has to see through or survive, one per definition:
 * ODD_ID0 declares the reserved identifier 0, ODD_CRASH crashes, ODD_HANG never returns, and
 * ODD_UNRESOLVED needs a symbol that nothing defines.
 */
#include <unistd.h>

#include <dvrcore/dvrplugin.h>

#ifdef ODD_UNRESOLVED
/* Defined nowhere: the loader maps plugins binding every symbol at once, and fails here. */
extern int32_t odd_missing_function(void);
#endif

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    out->id = 0x00310000u;
#if defined(ODD_ID0)
    out->id = 0;
#elif defined(ODD_CRASH)
    __builtin_trap();
#elif defined(ODD_HANG)
    for (;;) pause();
#elif defined(ODD_UNRESOLVED)
    return odd_missing_function();
#endif
    return 0;
}
