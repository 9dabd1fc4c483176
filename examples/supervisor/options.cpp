#include "options.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::string DefaultCore() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./dvrcore";
    std::string self(path, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "dvrcore";
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options options;
    options.core = DefaultCore();
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "-h" || option == "--help") {
            options.help = true;
        } else if (option == "--demo") {
            options.demo = true;
        } else if (option == "--top") {
            options.top = true;
        } else if (option == "--core" && hasValue) {
            options.core = argv[++i];
        } else if (option == "--launcher" && hasValue) {
            options.launcher = Words(argv[++i]);
        } else if (option == "--seconds" && hasValue) {
            options.seconds = std::atoi(argv[++i]);
            if (options.seconds <= 0) options.error = "--seconds needs a positive number";
        } else {
            options.error = "unknown option " + option;
        }
    }
    return options;
}

void PrintUsage(const char* program) {
    std::printf(
        "Usage: %s [--core PATH] [--seconds N] [--demo] [--top] [--launcher WORDS]\n"
        "Starts the core with a supervisor socket and relays between it and you.\n"
        "  --core PATH      the core executable (default: dvrcore beside this program)\n"
        "  --seconds N      stop the core after N seconds\n"
        "  --demo           ask the admin plugin for its status, change the camera's log level\n"
        "  --top            show the core's statistics live from the start (command 'top')\n"
        "  --launcher WORDS start the core through this command (an emulator, say)\n"
        "Type 'help' while it runs for the commands; Ctrl-C stops the core.\n",
        program);
}
