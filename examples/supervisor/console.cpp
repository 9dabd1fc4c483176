#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace {

std::function<void(const std::string&)> heldLines;

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

void Emit(const std::string& line) {
    if (heldLines) {
        heldLines(line);
        return;
    }
    // One call per line, as the core writes its own, so that lines do not mix.
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The bytes of `line` that show in `width` columns. Colour sequences take no column, and a line
// cut inside a colour gets its reset back.
std::string Fit(const std::string& line, int width) {
    std::string fitted;
    int used = 0;
    bool coloured = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == 0x1B && i + 1 < line.size() && line[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7E)) ++end;
            fitted.append(line, i, end + 1 - i);
            coloured = true;
            i = end;
            continue;
        }
        const bool continuation = (c & 0xC0) == 0x80;  // a UTF-8 character's later bytes
        if (!continuation && used == width) {
            if (coloured) fitted += "\x1b[0m";
            break;
        }
        if (!continuation) ++used;
        fitted += static_cast<char>(c);
    }
    return fitted;
}

std::string Bytes(uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
        return text;
    }
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string Duration(uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", seconds / 3600,
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return text;
}

// Growth per second; `base` is the earlier reading, 0 for the growth since the start.
std::string Rate(uint64_t now, uint64_t base, double seconds, double scale = 1,
                 const char* unit = "") {
    if (seconds <= 0 || now < base) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%s", static_cast<double>(now - base) * scale / seconds,
                  unit);
    return text;
}

const PluginStatistics* Find(const Statistics& statistics, uint32_t id) {
    for (const PluginStatistics& plugin : statistics.plugins)
        if (plugin.id == id) return &plugin;
    return nullptr;
}

}  // namespace

void Say(const std::string& text) {
    if (Terminal())
        Emit("\x1b[1m[supervisor]\x1b[0m " + text);
    else
        Emit("[supervisor] " + text);
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
    Say("  stats                       the core's statistics, rates averaged since its start");
    Say("  top                         the same live, each second; any key leaves the view");
    Say("  stop                        stop the core (also: Ctrl-C, end of input is ignored)");
}

void Relay(const std::string& line) { Emit(line); }

void HoldLines(std::function<void(const std::string&)> hold) { heldLines = std::move(hold); }

void ReleaseLines() { heldLines = nullptr; }

bool OnTerminal() { return Terminal(); }

void TerminalSize(int* rows, int* columns) {
    winsize size{};
    const bool known = ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0;
    *rows = known && size.ws_row > 0 ? size.ws_row : 24;
    *columns = known && size.ws_col > 0 ? size.ws_col : 80;
}

void DrawScreen(const std::vector<std::string>& lines) {
    int rows, columns;
    TerminalSize(&rows, &columns);
    std::string screen = "\x1b[H\x1b[2J";
    const std::size_t shown = std::min(lines.size(), static_cast<std::size_t>(rows));
    for (std::size_t i = 0; i < shown; ++i) {
        screen += Fit(lines[i], columns);
        // No newline after the last row: on the terminal's bottom line it would scroll.
        if (i + 1 < shown) screen += '\n';
    }
    // One write, past stdio: a frame written in pieces could show half drawn.
    std::fflush(stdout);
    for (std::size_t done = 0; done < screen.size();) {
        const ssize_t n = write(fileno(stdout), screen.data() + done, screen.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

KeyByKey::KeyByKey() {
    if (tcgetattr(0, &saved_) != 0) return;
    termios keys = saved_;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    changed_ = tcsetattr(0, TCSANOW, &keys) == 0;
}

KeyByKey::~KeyByKey() {
    if (changed_) tcsetattr(0, TCSANOW, &saved_);
}

std::vector<std::string> StatisticsLines(const Statistics& now, const Statistics* before,
                                         double seconds) {
    std::vector<std::string> lines;
    char text[512];
    std::snprintf(text, sizeof text,
                  "uptime %s  resident %s  throttling %s  queue %" PRIu64 ", peak %" PRIu64
                  "  stalls %" PRIu64,
                  Duration(now.uptime).c_str(), Bytes(now.resident).c_str(),
                  now.throttling ? "ON" : "off", now.queueLength, now.queuePeak, now.stalls);
    lines.push_back(text);

    int nameWidth = 6;
    for (const PluginStatistics& plugin : now.plugins)
        nameWidth = std::max(nameWidth, std::min(24, static_cast<int>(plugin.name.size())));
    const char* const row = "%-*.*s %9s %6s %8s %6s %10s %9s %9s";
    std::snprintf(text, sizeof text, row, nameWidth, nameWidth, "PLUGIN", "WRITES/S", "BUSY",
                  "FAILURES", "KEPT", "KEPT BYTES", "RAISED/S", "REFUSED/S");
    lines.push_back(text);
    static const PluginStatistics zero;
    for (const PluginStatistics& plugin : now.plugins) {
        const PluginStatistics* base = &zero;
        double span = seconds;
        if (before != nullptr) {
            base = Find(*before, plugin.id);
            // A plugin that was not there before has no growth to show yet.
            if (base == nullptr) {
                base = &zero;
                span = 0;
            }
        }
        const std::string failures = std::to_string(plugin.failures + plugin.ioctlFailures);
        const std::string kept = std::to_string(plugin.kept);
        // Busy milliseconds per second of time, as a share.
        std::snprintf(text, sizeof text, row, nameWidth, nameWidth, plugin.name.c_str(),
                      Rate(plugin.writes, base->writes, span).c_str(),
                      Rate(plugin.busyMs, base->busyMs, span, 0.1, "%").c_str(), failures.c_str(),
                      kept.c_str(), Bytes(plugin.keptBytes).c_str(),
                      Rate(plugin.raised, base->raised, span).c_str(),
                      Rate(plugin.refused, base->refused, span).c_str());
        lines.push_back(text);
    }
    if (now.truncated) lines.push_back("(more plugins than one answer holds: the rest left out)");
    return lines;
}
