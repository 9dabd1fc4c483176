#include "plugins/load_verdict.h"

#include <cstdio>

namespace {

std::string Format(const char* format, const std::string& fileName, unsigned long value,
                   int32_t extra = 0) {
    char text[512];
    std::snprintf(text, sizeof text, format, fileName.c_str(), value, extra);
    return text;
}

}  // namespace

LoadRefusal JudgeLoad(const std::string& fileName, int32_t result, const _LoadParmsOut& out) {
    if (result != 0 || out.error != 0) {
        char text[512];
        std::snprintf(text, sizeof text, "plugin %s load returned %d error %d", fileName.c_str(),
                      result, out.error);
        return {DVR_LEVEL_CRITICAL, text};
    }
    // Source 0 marks a direct request: every event such a plugin raised would be taken for
    // one, never queued, and its log lines would never appear.
    if (out.id == 0)
        return {DVR_LEVEL_CRITICAL, Format("plugin %s ID 0x%08lX is reserved", fileName, 0)};
    if (DVR_MODULE_NUMBER(out.id) > 255)
        return {DVR_LEVEL_CRITICAL,
                Format("plugin %s ID 0x%08lX exceeds the log level array size, set "
                       "LogLevelArraySize to 0xfff",
                       fileName, out.id)};
    return {};
}

LoadRefusal DuplicateIdentifier(const std::string& fileName, uint32_t id) {
    return {DVR_LEVEL_WARNING, Format("plugin %s ID 0x%08lX already loaded", fileName, id)};
}

std::string UnmappedMessage(const std::string& fileName, const std::string& reason) {
    return "Core: Failed to load plugin '" + fileName + "': " + reason;
}

std::string MissingLoadMessage(const std::string& fileName) {
    return "Core: Failed to load plugin: " + fileName + " (missing symbol)";
}
