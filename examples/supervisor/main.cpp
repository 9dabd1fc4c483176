// main.cpp - example supervisor: starts the core and relays between it and the console.
//
// A model for the authors of the real supervisor: it starts the core with one end of a
// connected AF_UNIX SOCK_SEQPACKET socket pair (the descriptor number is the core's one
// argument), sends its identity, prints the messages that plugins send and the core's log lines,
// forwards commands to plugins as packets, shows the core's statistics (once, or live in place),
// stops the core with a stop packet on Ctrl-C, and reports how it ended.
#include <signal.h>

#include <cstdio>
#include <exception>

#include "console.h"
#include "core_process.h"
#include "options.h"
#include "session.h"
#include "signals.h"

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (options.help || !options.error.empty()) {
        if (!options.error.empty()) std::fprintf(stderr, "%s\n", options.error.c_str());
        PrintUsage(argv[0]);
        return options.help ? 0 : 2;
    }
    try {
        // Installed before the core starts, so that no SIGCHLD or Ctrl-C is missed.
        SignalPipe signals({SIGINT, SIGTERM, SIGCHLD});
        std::vector<std::string> command = options.launcher;
        command.push_back(options.core);
        // Relayed only onto a terminal: elsewhere the core writes no log lines, as before.
        const CoreProcess core = StartCore(command, OnTerminal());
        Say("started " + options.core + " as process " + std::to_string(core.pid) +
            "; type 'help' for commands, Ctrl-C to stop");
        Session session(options, core, signals);
        return session.Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "supervisor: %s\n", error.what());
        return 1;
    }
}
