// A plugin loaded alone in a child process, as the core loads it: the child runs Load (and with
// a run, the plugin's whole life) while the parent waits with a bound, so that a plugin that
// crashes or never returns is reported instead of taking the inspector with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "dvrcore/dvrplugin.h"

// How far the child got; each step is published once what it found is written.
enum class Stage : uint32_t {
    Mapping,    // dlopen, which also runs the library's constructors
    Unmapped,   // dlopen failed
    NoLoad,     // mapped, but Load is not exported
    Loading,
    Loaded,
    Opening,    // the worker thread runs from here on
    Opened,     // the reader thread starts here
    Closing,
    Unloading,  // joins the worker and reader threads, then Unload
    Done,
};

// What the child found. It lives in memory shared with the parent, which reads it only after
// the child has ended.
struct Probe {
    std::atomic<uint32_t> stage{0};
    int32_t loadResult = 0;
    _LoadParmsOut declared{};
    uint32_t exports = 0;
    int32_t openResult = 0;
    char reason[512] = {};  // dlerror's text when the file could not be mapped
};

// How the child ended.
struct Ending {
    enum Kind { Exited, Killed, TimedOut } kind = Exited;
    int detail = 0;  // exit status or signal number
};

struct Findings {
    Stage stage = Stage::Mapping;
    int32_t loadResult = 0;
    _LoadParmsOut declared{};
    uint32_t exports = 0;
    int32_t openResult = 0;
    std::string reason;
    Ending ending;
};

// Loads the plugin file in a child; with `run`, also starts its worker thread, opens it, starts
// its reader thread, closes and unloads it. The child is killed after `limit`.
Findings ProbePlugin(const std::string& path, bool run, std::chrono::milliseconds limit);

// The child's side: never returns.
[[noreturn]] void RunProbeChild(const std::string& path, bool run, Probe& probe);
