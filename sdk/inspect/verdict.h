// What the core would make of the plugin, from what the probe found, in the core's own words.
#pragma once

#include <chrono>
#include <string>

#include "sdk/inspect/probe.h"

struct Verdict {
    int status = 0;    // the exit status: 0 accepted, 1 refused or its run failed, 2 not loadable
    std::string text;  // "accepted", or the message the core would log
    std::string run;   // with --run: "completed ..." or what went wrong; empty without
};

Verdict Judge(const std::string& fileName, const Findings& findings, bool loadable, bool run,
              std::chrono::milliseconds limit);

// True once Load has returned: the declaration is there to show.
bool Declared(const Findings& findings);
