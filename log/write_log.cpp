#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "core/dvrcore.h"

static bool StandardOutputIsTerminal() {
    static const bool terminal = isatty(fileno(stdout)) != 0;
    return terminal;
}

// Colour of a level: magenta, green, yellow, red, red for the quarters 0-24 ... 100.
static int LevelColour(uint32_t level) {
    static const int colours[] = {5, 2, 3, 1, 1};
    return colours[level / 25];
}

void dvrcore::WriteLog(uint32_t module, uint32_t level, const char* text) {
    const bool terminal = StandardOutputIsTerminal();
    if (text == nullptr) return;
    if (level == 100) syslog(LOG_CRIT, "%s", text);
    if (!terminal) return;

    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char name[7] = "?";  // the line shows six columns of it
    {
        std::shared_lock<std::shared_mutex> lock(moduleNamesLock);
        auto it = moduleNames.find(module);
        if (it != moduleNames.end()) std::snprintf(name, sizeof name, "%s", it->second.c_str());
    }
    if (colour && level <= 100) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LevelColour(level),
                    utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec,
                    name, text);
    }
}

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
