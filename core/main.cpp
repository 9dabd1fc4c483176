#include <wx/init.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <memory>

#include "core/arguments.h"
#include "core/dvrcore.h"

int main(int argc, char** argv) {
    const Arguments arguments = ScanArguments(argc, argv);
    if (arguments.help) {
        std::fprintf(stderr, "core version %s\n", GetVersion());
        std::fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
        return 0;
    }

    int noArguments = 0;
    wxInitialize(noArguments, static_cast<wxChar**>(nullptr));
    boost::system::error_code error;
    const boost::filesystem::path executable =
        boost::filesystem::canonical("/proc/self/exe", boost::filesystem::current_path(), error);
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
