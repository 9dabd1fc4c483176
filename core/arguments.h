// The command line: "-h..." asks for help, the first argument not starting with '-' is the
// supervisor socket's descriptor; everything else is ignored.
#pragma once

struct Arguments {
    bool help = false;
    int descriptor = -1;  // -1: no supervisor link
};

Arguments ScanArguments(int argc, const char* const* argv);
