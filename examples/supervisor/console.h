// console.h - what the supervisor prints, set apart from the core's own log lines, and the
// terminal it prints on.
#pragma once

#include <termios.h>

#include <functional>
#include <string>
#include <vector>

#include "channel.h"
#include "statistics.h"

// One line, "[supervisor] text", in bold on a terminal.
void Say(const std::string& text);
// A message from a plugin.
void Show(const Message& message);
void PrintCommands();
// A whole line of the core's standard output, which we relay (see StartCore).
void Relay(const std::string& line);

// While a hold is set, console lines go to it instead of the terminal, colours and all: the
// top view shows the latest under its table, and lines printed over it would scroll it away.
void HoldLines(std::function<void(const std::string&)> hold);
void ReleaseLines();

// True when standard output is a terminal.
bool OnTerminal();
// The terminal's rows and columns; 24 x 80 when it does not say.
void TerminalSize(int* rows, int* columns);
// Clears the screen and draws `lines` from the top left, each cut to the width.
void DrawScreen(const std::vector<std::string>& lines);

// The terminal's input key by key, without echo, while the object lives: a key ends the top
// view without Enter. Ctrl-C still raises SIGINT. Does nothing when input is no terminal.
class KeyByKey {
public:
    KeyByKey();
    ~KeyByKey();
    KeyByKey(const KeyByKey&) = delete;
    KeyByKey& operator=(const KeyByKey&) = delete;

private:
    termios saved_{};
    bool changed_ = false;
};

// The statistics as console lines: a header line, the column titles, one row per plugin, and a
// note when the core left plugins out. Rates are the counters' growth since `before` over
// `seconds`, or with no `before` their growth since the core started; "-" when there is no time
// to divide by or a counter went back (a plugin that is new since `before`).
std::vector<std::string> StatisticsLines(const Statistics& now, const Statistics* before,
                                         double seconds);
