// The signals that stop the core are taken by the event-loop thread alone. Every other thread
// the core starts blocks them, so the kernel never hands one to a thread that is busy inside a
// plugin, where it could wait unseen for as long as the plugin does.
#pragma once

#include <signal.h>

// Blocks the stop signals in the calling thread, and so in every thread it starts, for the
// guard's lifetime; the thread's previous mask comes back at the end.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous;
};

// For the event-loop thread, which inherits the block from the thread that starts it.
void TakeStopSignals();
