// core_process.h - starting the core as a child with a supervisor socket, and its end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct CoreProcess {
    pid_t pid = -1;
    int socket = -1;  // our end of the connected seq-packet pair
    int output = -1;  // the pseudo-terminal the core writes its log lines to; -1: ours directly
};

// Starts `command` (launcher words, then the core's path) with the descriptor number of the
// core's end of a fresh AF_UNIX SOCK_SEQPACKET socket pair as its one argument. The core runs
// in a process group of its own, so that Ctrl-C reaches us only and we decide how it stops.
// With `relay`, its standard output is a pseudo-terminal that we read (`output`).
CoreProcess StartCore(const std::vector<std::string>& command, bool relay);

// True when the core has ended; `status` gets its wait status.
bool CoreEnded(const CoreProcess& core, int* status);

// "exited with status 0", "was killed by signal 9".
std::string DescribeEnd(int status);
// What our own exit status should be: the core's, or 128 + the signal.
int ExitCode(int status);
