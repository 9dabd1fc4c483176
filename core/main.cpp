#include <wx/init.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <memory>

#include "core/allocator.h"
#include "core/arguments.h"
#include "core/dvrcore.h"
#include "housekeeping/crash_report.h"

int main(int argc, char** argv) {
    ConfigureAllocator();  // before any thread or plugin allocates
    InstallCrashReport();
    const Arguments arguments = ScanArguments(argc, argv);
    if (arguments.help) {
        std::fprintf(stderr, "core version %s\n", GetVersion());
        std::fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
        return 0;
    }

    // Plugins built with wxWidgets' base library use its strings, streams and threads from
    // their first call on; the library wants its global state set up once per process, and
    // only the executable can do that before any plugin is loaded.
    int noArguments = 0;
    wxInitialize(noArguments, static_cast<wxChar**>(nullptr));
    // Both without exceptions: a working directory that was removed must not abort the process.
    boost::system::error_code error;
    const boost::filesystem::path workingDirectory = boost::filesystem::current_path(error);
    boost::filesystem::path executable;
    if (!error)
        executable = boost::filesystem::canonical("/proc/self/exe", workingDirectory, error);
    if (error) {
        std::fprintf(stderr, "failed to find canonical path\n");
        return 1;
    }

    // The core holds a 64 KiB receive buffer: keep it off the main thread's stack.
    auto core = std::make_unique<dvrcore>(executable.string());
    if (!core->Init(arguments.descriptor)) {
        std::fprintf(stderr, "failed to initialize core\n");
        return 2;
    }
    core->Start();
    wxUninitialize();
    return 0;
}
