#include "plugins/plugin_paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

void ScanPluginDirectory(const fs::path& directory, const std::string& extension,
                         std::vector<fs::path>& list) {
    boost::system::error_code error;
    if (!fs::is_directory(directory, error) || error) return;
    fs::directory_iterator it(directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        boost::system::error_code entryError;
        const fs::path& path = it->path();
        if (!fs::is_regular_file(fs::status(path, entryError)) || entryError) continue;
        if (path.filename().extension().string() != extension) continue;
        list.push_back(directory / path.filename());
    }
}

static bool HasMarker(const fs::path& path) {
    return path.string().find("zolmak") != std::string::npos;
}

bool PluginPathLess(const fs::path& a, const fs::path& b) {
    // Marked paths tie among themselves, which keeps the ordering strict and weak.
    const bool markedA = HasMarker(a);
    const bool markedB = HasMarker(b);
    if (markedA != markedB) return markedA;
    if (markedA) return false;
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](const fs::path& x, const fs::path& y) { return x.string() < y.string(); });
}
