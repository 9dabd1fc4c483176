// options.h - the example supervisor's command line.
#pragma once

#include <string>
#include <vector>

struct Options {
    std::string core;                   // the core executable; default: "dvrcore" beside us
    std::vector<std::string> launcher;  // words put before it, e.g. an emulator
    int seconds = 0;                    // > 0: stop the core after that many seconds
    bool demo = false;                  // send a few commands on our own while running
    bool top = false;                   // open the live statistics view at once
    bool help = false;
    std::string error;  // set when the command line is wrong
};

Options ParseOptions(int argc, char** argv);
void PrintUsage(const char* program);
