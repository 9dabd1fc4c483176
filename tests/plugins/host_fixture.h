// Shared by the loader, unloader, plugin-thread and interface tests: a core beside a temporary
// copy of the device's plugin layout, plugins whose hooks are in place before the core loads
// them, and calls that block inside a plugin until the test lets them return.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/test_core.h"

namespace hostkit {

using testkit::TempDir;
using testkit::TestCore;

// True while the shared object at `path` is mapped in this process.
inline bool Mapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

// Names of the plugins that journaled `entry` (with `detail`, when given), in journal order.
inline std::vector<std::string> Callers(const std::string& entry, const std::string& detail = "") {
    std::vector<std::string> names;
    for (const std::string& line : testkit::JournalLines()) {
        std::istringstream words(line);
        std::string name, kind, value;
        words >> name >> kind >> value;
        if (kind == entry && (detail.empty() || value == detail)) names.push_back(name);
    }
    return names;
}

// The journal lines of one plugin, without its name: "load 24", "open 0", ...
inline std::vector<std::string> JournalOf(const std::string& plugin) {
    std::vector<std::string> entries;
    const std::string prefix = plugin + " ";
    for (const std::string& line : testkit::JournalLines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            entries.push_back(line.substr(prefix.size()));
    return entries;
}

// A library whose inode must not be handed to a later copy while it stays mapped: glibc would
// take the new file for the mapped one. Kept linked until the process ends.
inline void KeepInodeForProcess(const std::string& path) {
    static TempDir keep;
    static int count = 0;
    boost::filesystem::create_hard_link(path, keep / std::to_string(count++));
}

// Plugin calls that block until the test opens their gate, and the order in which things
// happened inside the plugins.
class CallGate {
public:
    // Called by a plugin's hook: waits until `key` is opened, then notes that it returns.
    void Pass(const std::string& key) {
        std::unique_lock<std::mutex> lock(mutex);
        entered[key] = std::this_thread::get_id();
        changed.notify_all();
        changed.wait(lock, [&] { return openAll || opened.count(key) != 0; });
        events.push_back(key + " returns");
        changed.notify_all();
    }
    void Record(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        changed.notify_all();
    }
    void Open(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex);
        opened.insert(key);
        changed.notify_all();
    }
    void OpenAll() {
        std::lock_guard<std::mutex> lock(mutex);
        openAll = true;
        changed.notify_all();
    }
    bool WaitEntered(const std::string& key) {
        return testkit::WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return entered.count(key) != 0;
        });
    }
    // The thread that entered `key`; a default id when none did.
    std::thread::id CallerOf(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entered.find(key);
        return it != entered.end() ? it->second : std::thread::id();
    }
    bool WaitEvent(const std::string& event) {
        return testkit::WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::string& e : events)
                if (e == event) return true;
            return false;
        });
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::thread::id> entered;
    std::set<std::string> opened;
    bool openAll = false;
    std::vector<std::string> events;
};

// Hooks that make a plugin's reader ("<name> read") and worker ("<name> worker") calls pass a
// gate, and note its Close and Unload calls ("<name> close", "<name> unload").
struct GatedPlugin {
    CallGate* gate;
    std::string name;
};

inline int32_t GatedRead(void* context, _ReadParmsIn*, _ReadParmsOut*) {
    auto* plugin = static_cast<GatedPlugin*>(context);
    plugin->gate->Pass(plugin->name + " read");
    return 0;
}

inline int32_t GatedIoctl(void* context, _IoctlParmsIn* in, _IoctlParmsOut*) {
    auto* plugin = static_cast<GatedPlugin*>(context);
    if (in->code == DVR_IOCTL_WORKER) plugin->gate->Pass(plugin->name + " worker");
    return 0;
}

inline int32_t NotedClose(void* context, _CloseParmsIn*, _CloseParmsOut*) {
    auto* plugin = static_cast<GatedPlugin*>(context);
    plugin->gate->Record(plugin->name + " close");
    return 0;
}

inline int32_t NotedUnload(void* context, _UnloadParmsIn*, _UnloadParmsOut*) {
    auto* plugin = static_cast<GatedPlugin*>(context);
    plugin->gate->Record(plugin->name + " unload");
    return 0;
}

// Maps an installed test plugin before the core does and sets its hooks, so that they are in
// place for calls that start inside LoadPlugins (the worker's IOCTL). The core's dlopen of the
// same path returns this mapping.
class ArmedPlugin {
public:
    ArmedPlugin(const std::string& path, const TestPluginHooks& hooks)
        : handle(dlopen(path.c_str(), RTLD_NOW)) {
        if (handle == nullptr) throw std::runtime_error(dlerror());
        Set(&hooks);
    }
    // Only once the core has unloaded the plugin: its threads read the hooks unguarded.
    ~ArmedPlugin() {
        Set(nullptr);
        dlclose(handle);
    }
    ArmedPlugin(const ArmedPlugin&) = delete;
    ArmedPlugin& operator=(const ArmedPlugin&) = delete;
    DvrEventEntry EventEntry() const {
        auto get = reinterpret_cast<TestPluginEventEntry>(dlsym(handle, "TestPlugin_EventEntry"));
        return get != nullptr ? get() : nullptr;
    }

private:
    void Set(const TestPluginHooks* hooks) {
        auto set = reinterpret_cast<TestPluginSetHooks>(dlsym(handle, "TestPlugin_SetHooks"));
        if (set == nullptr) throw std::runtime_error("not a test plugin");
        set(hooks);
    }
    void* handle;
};

// A core whose executable would live in a fresh temporary directory, run from its "work"
// directory so that the documents it writes stay there.
class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        testkit::ClearJournal();
        char* current = getcwd(nullptr, 0);
        previousDir = current != nullptr ? current : "/";
        std::free(current);
        boost::filesystem::create_directories(dir / "work");
        ASSERT_EQ(chdir((dir / "work").c_str()), 0);
        core = MakeCore();
    }

    void TearDown() override {
        gate.OpenAll();
        JoinBackground();
        if (core != nullptr && !core->plugins.empty()) core->UnloadPlugins();
        core.reset();
        armed.clear();
        EXPECT_EQ(chdir(previousDir.c_str()), 0);
    }

    virtual std::unique_ptr<TestCore> MakeCore() { return std::make_unique<TestCore>(dir); }

    void Install(const std::string& plugin, const std::string& subdir = "plugins",
                 const std::string& fileName = "") {
        testkit::InstallPlugin(dir, plugin, subdir, fileName);
    }
    std::string PathOf(const std::string& fileName, const std::string& subdir = "plugins") const {
        return dir / (subdir + "/" + fileName);
    }
    // Installs the plugin and sets its hooks before the core can load it.
    void Arm(const std::string& plugin, const TestPluginHooks& hooks) {
        Install(plugin);
        armed.push_back(std::make_unique<ArmedPlugin>(PathOf(plugin + ".so"), hooks));
    }
    // Installs the plugin with gated reader and worker calls, named `name` in the gate.
    void ArmGated(const std::string& plugin, const std::string& name) {
        gated.push_back({&gate, name});
        TestPluginHooks hooks{};
        hooks.context = &gated.back();
        hooks.read = GatedRead;
        hooks.ioctl = GatedIoctl;
        hooks.close = NotedClose;
        hooks.unload = NotedUnload;
        Arm(plugin, hooks);
    }
    // Runs `work` on a thread that TearDown joins after opening every gate.
    void InBackground(std::function<void()> work) { threads.emplace_back(std::move(work)); }
    void JoinBackground() {
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }

    std::vector<std::string> TableNames() const {
        std::vector<std::string> names;
        for (const PLUGININFO& plugin : core->plugins) names.push_back(plugin.fileName);
        return names;
    }
    const PLUGININFO* Find(const std::string& fileName) const {
        for (const PLUGININFO& plugin : core->plugins)
            if (plugin.fileName == fileName) return &plugin;
        return nullptr;
    }
    // The core's own lines, "<level> <text>".
    std::vector<std::string> CoreLines() const {
        std::vector<std::string> lines;
        for (const testkit::LogLine& line : core->Lines())
            if (line.module == DVR_CORE_ID)
                lines.push_back(std::to_string(line.level) + " " + line.text);
        return lines;
    }
    // Core lines that contain `part`, "<level> <text>".
    std::vector<std::string> CoreLinesWith(const std::string& part) const {
        std::vector<std::string> lines;
        for (const std::string& line : CoreLines())
            if (line.find(part) != std::string::npos) lines.push_back(line);
        return lines;
    }

    TempDir dir;
    CallGate gate;
    std::deque<GatedPlugin> gated;  // hook contexts: they outlive every plugin call
    std::unique_ptr<TestCore> core;
    std::vector<std::unique_ptr<ArmedPlugin>> armed;
    std::vector<std::thread> threads;
    std::string previousDir;
};

}  // namespace hostkit
