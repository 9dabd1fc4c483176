// The level gate: a log event's line is written when its module's level lets it through.
#include <cstring>
#include <string>

#include "core/dvrcore.h"

// The text of a plugin's log event, never read past its length: a text that does not end
// within its length is copied whole into `unterminated`, which gives it an end.
static const char* BoundedText(const _EventParmsIn& event, std::string& unterminated) {
    if (event.data == nullptr || event.length == 0) return nullptr;
    const char* text = static_cast<const char*>(event.data);
    if (std::memchr(text, 0, event.length) != nullptr) return text;
    unterminated.assign(text, event.length);
    return unterminated.c_str();
}

bool dvrcore::LevelGate(const _EventParmsIn& event) {
    const int32_t level = event.level;
    const int32_t moduleLevel = logLevels.Get(DVR_MODULE_NUMBER(event.source));
    // An unset level writes every line but keeps level-0 chatter from the subscribers.
    if (moduleLevel >= 0 && moduleLevel > level) return false;
    std::string unterminated;
    WriteLog(event.source, static_cast<uint32_t>(level), BoundedText(event, unterminated));
    return moduleLevel >= 0 || level != 0;
}
