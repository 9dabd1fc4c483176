#include "log/core_log.h"

#include <cstdarg>
#include <cstdio>

int32_t QueryLogLevel(uint32_t module, DvrEventEntry entry) {
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.source = module;
    in.classFlags = DVR_CLASS_LOG;
    in.code = DVR_CODE_LEVEL_QUERY;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    entry(&in, &out);
    return out.result;
}

bool ShouldLog(uint32_t module, DvrEventEntry entry, int32_t level) {
    const int32_t current = QueryLogLevel(module, entry);
    return current == -1 || current <= level;
}

void LogFormatted(uint32_t module, DvrEventEntry entry, int32_t level, const char* format, ...) {
    if (entry == nullptr || !ShouldLog(module, entry, level)) return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (written <= 0) return;
    const uint32_t stored = written < static_cast<int>(sizeof text) ? written : sizeof text - 1;

    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.length = stored + 1;
    in.data = text;
    in.source = module;
    in.classFlags = DVR_CLASS_LOG;
    in.code = DVR_CODE_CORE_LOG;
    in.level = level;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    entry(&in, &out);
}
