// Shared by the configuration tests: the core reads and writes its files by relative name, so
// each test works in a directory of its own; plugins whose configuration calls are watched;
// and the parts of the core's documents.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/plugin_harness.h"

namespace testkit {

// A temporary core directory with its plugin directories and a working directory "work"
// that is the process's working directory while the object lives.
struct CoreDirectory {
    TempDir dir;
    std::string work = MakeWork(dir);
    WorkingDirectory inWork{work};

    static std::string MakeWork(const TempDir& dir) {
        const std::string work = dir / "work";
        mkdir(work.c_str(), 0755);
        return work;
    }
    std::string File(const std::string& name) const { return work + "/" + name; }
};

// A test plugin whose texts received through IOCTL code 2 (update configuration) are collected
// from the moment the core loads it.
class ConfigurationTap {
public:
    ConfigurationTap(const TempDir& dir, const std::string& name)
        : plugin(dir, name, Hooks(texts)) {}
    std::vector<std::string> Texts() const { return texts.Items(); }
    bool Received(const std::string& text) const { return Has(Texts(), text); }

private:
    static PluginHooks Hooks(Shared<std::string>& texts) {
        PluginHooks hooks;
        hooks.ioctl = [&texts](_IoctlParmsIn* in, _IoctlParmsOut*) {
            if (in->code == DVR_IOCTL_UPDATE_CONFIG && in->data != nullptr)
                texts.Add(Bytes(in->data, in->length));
            return 0;
        };
        return hooks;
    }

    Shared<std::string> texts;
    Plugin plugin;
};

// `levels` elements <a> nested inside each other around `inner`.
inline std::string Nested(int levels, const std::string& inner = "") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}

// A Plugin row of the core's documents, for a load and an open that took 0 ms.
inline std::string Row(int32_t id, const std::string& fileName, int openCode = 0, int level = -1,
                       int fallback = -1) {
    return "<Plugin ID=\"" + std::to_string(id) + "\" Filename=\"" + fileName +
           "\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"" +
           std::to_string(openCode) + "\" LogLevel=\"" + std::to_string(level) +
           "\" LogLevelDefault=\"" + std::to_string(fallback) + "\" />";
}

// The core's own row.
inline std::string CoreRow(int level = -1) { return Row(INT32_MIN, "dvrcore", 0, level); }

// A document as the core saves it, with its own module around `rows` and `modules` after it,
// one element per line; core.xml starts with the Memory element.
inline std::string SavedDocument(const std::string& start, const std::string& modulesTag,
                                 const std::vector<std::string>& rows,
                                 const std::vector<std::string>& modules) {
    std::string document = "<?xml ?>\n<Norv Delta=\"0\">\n" + start + "    " + modulesTag +
                           "\n        <Module ID=\"-2147483648\" Name=\"Core\" "
                           "Version=\"19.12.6.0\">\n";
    for (const std::string& row : rows) document += "            " + row + "\n";
    document += "        </Module>\n";
    for (const std::string& module : modules) document += "        " + module + "\n";
    return document + "    </Modules>\n</Norv>\n";
}
inline std::string CoreXml(int throttling, const std::vector<std::string>& rows) {
    return SavedDocument(
        "    <Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) + "\" />\n",
        "<Modules>", rows, {});
}
inline std::string PluginsXml(const std::vector<std::string>& rows,
                              const std::vector<std::string>& modules = {}) {
    return SavedDocument("", "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">", rows,
                         modules);
}

// A document as a broadcast carries it: the saved form without its line breaks and indents.
inline std::string Compact(const std::string& saved) {
    std::string compact;
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] != '\n') {
            compact += saved[i];
            continue;
        }
        while (i + 1 < saved.size() && saved[i + 1] == ' ') ++i;
    }
    return compact;
}

}  // namespace testkit
