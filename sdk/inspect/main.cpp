// dvrcore-inspect: what the core would make of a plugin file, without a core or a supervisor.
//   dvrcore-inspect [--json] [--run] [--timeout SECONDS] PLUGIN.so
// Exit status: 0 the core would accept the plugin (and with --run its life went through),
// 1 the core would refuse it (or its run failed), 2 the file cannot be loaded at all, or the
// arguments are wrong.
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/inspect/elf_file.h"
#include "sdk/inspect/probe.h"
#include "sdk/inspect/report.h"
#include "sdk/inspect/verdict.h"

namespace {

constexpr int kUsageStatus = 2;

struct Options {
    bool json = false;
    bool run = false;
    std::chrono::milliseconds limit{10000};
    std::string path;
};

bool ParseTimeout(const char* text, std::chrono::milliseconds* limit) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds > 0) || seconds > 86400) return false;
    *limit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    return limit->count() > 0;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--json") == 0) {
            options->json = true;
        } else if (std::strcmp(argument, "--run") == 0) {
            options->run = true;
        } else if (std::strcmp(argument, "--timeout") == 0 && i + 1 < argc) {
            if (!ParseTimeout(argv[++i], &options->limit)) return false;
        } else if (argument[0] != '-' && options->path.empty()) {
            options->path = argument;
        } else {
            return false;
        }
    }
    return !options->path.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s [--json] [--run] [--timeout SECONDS] PLUGIN.so\n"
                     "  Loads the plugin alone, as the core would, and tells what it declares\n"
                     "  and whether the core would keep it. --run also opens, closes and\n"
                     "  unloads it. --timeout bounds the wait for the plugin (default 10 s).\n",
                     argv[0]);
        return kUsageStatus;
    }
    // The core maps plugins by their full path; a bare name would send dlopen searching.
    const std::string path = boost::filesystem::absolute(options.path).string();
    const std::string fileName = boost::filesystem::path(path).filename().string();
    const Findings findings = ProbePlugin(path, options.run, options.limit);
    const Verdict verdict = Judge(fileName, findings, IsSharedObjectForThisMachine(path),
                                  options.run, options.limit);
    const std::string report = options.json ? JsonReport(fileName, findings, verdict)
                                            : TextReport(fileName, findings, verdict);
    std::fputs(report.c_str(), stdout);
    return verdict.status;
}
