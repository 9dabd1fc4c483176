#include "core/stop_signals.h"

#include <pthread.h>

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGQUIT);
    return set;
}

}  // namespace

StopSignalsBlocked::StopSignalsBlocked() {
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, &previous);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

void TakeStopSignals() {
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}
