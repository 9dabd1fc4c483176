// console.h - what the supervisor prints, set apart from the core's own log lines.
#pragma once

#include <string>

#include "channel.h"

// One line, "[supervisor] text", in bold on a terminal.
void Say(const std::string& text);
// A message from a plugin.
void Show(const Message& message);
void PrintCommands();
