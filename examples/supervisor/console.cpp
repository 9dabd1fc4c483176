#include "console.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace {

bool Terminal() {
    static const bool terminal = isatty(fileno(stdout)) != 0;
    return terminal;
}

// Control bytes would garble the console: show them as dots.
std::string Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) text += std::isprint(c) || c == ' ' ? static_cast<char>(c) : '.';
    return text;
}

}  // namespace

void Say(const std::string& text) {
    // One call per line, as the core writes its own, so that lines do not mix.
    if (Terminal())
        std::printf("\x1b[1m[supervisor]\x1b[0m %s\n", text.c_str());
    else
        std::printf("[supervisor] %s\n", text.c_str());
    std::fflush(stdout);
}

void Show(const Message& message) {
    char source[64];
    if (message.framed)
        std::snprintf(source, sizeof source, "module 0x%03X (type 0x%X)",
                      (message.source >> 16) & 0xFFFu, message.type);
    else
        std::snprintf(source, sizeof source, "a plugin (%zu bytes, not framed)",
                      message.text.size());
    Say(std::string("message from ") + source + ": " + Printable(message.text));
}

void PrintCommands() {
    Say("commands:");
    Say("  status                      ask the admin plugin for its status");
    Say("  level <module> <level>      set a module's log level, e.g. level camera 50");
    Say("  send <module> <type> [text] send a packet to the plugin with that module number");
    Say("  stop                        stop the core (also: Ctrl-C, end of input is ignored)");
}
