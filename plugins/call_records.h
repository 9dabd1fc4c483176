// Records the core builds for its calls into plugins that every caller fills alike.
#pragma once

#include "dvrcore/dvrplugin.h"

// An IOCTL output record for `code`, with the constant words the interface prescribes.
inline _IoctlParmsOut IoctlOutRecord(uint32_t code) {
    _IoctlParmsOut out = DVR_IOCTL_OUT_INIT;
    out.code = code;
    out.eight = 8;
    out.one = 1;
    return out;
}
