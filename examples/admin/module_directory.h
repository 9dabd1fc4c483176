// module_directory.h - what the admin plugin learns from the core's documents.
//
// The core sends core.xml (at start and after every level change) and plugins.xml (once, at
// start) to every plugin through IOCTL code 2. Both list each module's identifier, file name and
// log level; the admin plugin uses them to find modules by name.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct ModuleEntry {
    uint32_t id = 0;
    std::string name;  // file name without extension, lower case: "camera"
    int level = -1;    // log level, -1 when unset
};

class ModuleDirectory {
public:
    // Takes a configuration document's text; documents that are not the core's full
    // documents (delta documents, say) change nothing. Main thread (IOCTL code 2).
    void Update(const char* text, uint32_t length);
    // By name ("camera") or identifier ("0x00500000", "5242880"). Any thread.
    bool Find(const std::string& key, ModuleEntry* entry) const;
    // One line: "camera 10, recorder 20, ...", or empty before the first document.
    std::string Summary() const;

private:
    mutable std::mutex mutex_;  // Update runs on the main thread, look-ups on the event loop
    std::map<uint32_t, ModuleEntry> modules_;
};
