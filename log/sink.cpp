// The log sink: level-100 lines to the system log, every line to a terminal on standard output,
// coloured by level and named by module.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <shared_mutex>

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
    if (level <= 100) {
        std::printf("\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m %s\n", LevelColour(level),
                    utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    } else {
        std::printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec,
                    name, text);
    }
}
