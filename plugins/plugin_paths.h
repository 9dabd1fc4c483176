// Finding plugin files and the order in which they load.
#pragma once

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

// Appends the regular files (links followed) of one directory whose extension is exactly
// `extension`. A missing directory, or a failure of the walk, ends the scan silently.
void ScanPluginDirectory(const boost::filesystem::path& directory, const std::string& extension,
                         std::vector<boost::filesystem::path>& list);

// Paths containing "zolmak" first; then element by element, each as a byte string.
bool PluginPathLess(const boost::filesystem::path& a, const boost::filesystem::path& b);
