#include "core/arguments.h"

#include <cstdlib>

Arguments ScanArguments(int argc, const char* const* argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            arguments.descriptor = std::atoi(argument);
            break;
        }
        if (argument[1] == 'h') {
            arguments.help = true;
            break;
        }
    }
    return arguments;
}
