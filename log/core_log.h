// The core's own formatted logging. Messages travel as log events through the event entry, so
// they pass the same level gate and reach the same subscribers as any plugin's.
#pragma once

#include <cstdint>

#include "dvrcore/dvrplugin.h"

// The module's current level, -1 when unset.
int32_t QueryLogLevel(uint32_t module, DvrEventEntry entry);
// True when a message of this level would pass the module's level.
bool ShouldLog(uint32_t module, DvrEventEntry entry, int32_t level);
// Formats into a 512-byte stack buffer (cut at 511 characters) only when the level passes.
void LogFormatted(uint32_t module, DvrEventEntry entry, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The core's messages: module DVR_CORE_ID through FlatPluginEvent.
#define CoreLog(level, ...) LogFormatted(DVR_CORE_ID, FlatPluginEvent, (level), __VA_ARGS__)
