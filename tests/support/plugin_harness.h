// The one way for a test to reach a test plugin: its entry points taken over by hooks before
// the core maps it, calls held inside it until the test lets them return, and thread-safe
// records of what the plugin was handed.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_core.h"
#include "tests/plugins/test_plugin.h"

namespace testkit {

template <typename In, typename Out>
using Hook = std::function<int32_t(In*, Out*)>;

// The entry points a test takes over; one left empty keeps the test plugin's own answer.
struct PluginHooks {
    Hook<_OpenParmsIn, _OpenParmsOut> open;
    Hook<_CloseParmsIn, _CloseParmsOut> close;
    Hook<_UnloadParmsIn, _UnloadParmsOut> unload;
    Hook<_ReadParmsIn, _ReadParmsOut> read;
    Hook<_WriteParmsIn, _WriteParmsOut> write;
    Hook<_IoctlParmsIn, _IoctlParmsOut> ioctl;
};

// A test plugin installed as <dir>/<subdir>/<fileName> and mapped before the core maps it: the
// core's dlopen of the same file finds this mapping, so the hooks are in place before any of
// the plugin's threads can run, and its code stays mapped after the core has unloaded it.
// Destroy it only after the core has unloaded the plugin: its threads read the hooks unguarded.
class Plugin {
public:
    Plugin(const TempDir& dir, const std::string& name, PluginHooks hooks = {},
           const std::string& subdir = "plugins", const std::string& fileName = "");
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    uint32_t id() const { return identifier; }
    // The event entry the core handed to the plugin's Load.
    DvrEventEntry EventEntry() const;

private:
    PluginHooks hooks;
    void* handle;
    uint32_t identifier;
};

// Plugin calls held until the test opens their key, and the order in which things happened
// inside the plugins. A held call waits at most 30 s, so that a failing test ends.
class CallGate {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::thread::id> entered;
    std::set<std::string> opened;
    bool openAll = false;
    Lines events;

    // Every change wakes the held calls; a wake-up for a read is harmless.
    template <typename Action>
    auto Locked(Action action) {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
        return action();
    }

public:
    // Called by a plugin's hook: waits until `key` is opened, then notes "<key> returns".
    void Pass(const std::string& key);
    void Record(const std::string& event) {
        Locked([&] { events.push_back(event); });
    }
    void Open(const std::string& key) {
        Locked([&] { opened.insert(key); });
    }
    void OpenAll() {
        Locked([&] { openAll = true; });
    }
    bool WaitEntered(const std::string& key) {
        return WaitFor([&] { return Locked([&] { return entered.count(key) != 0; }); });
    }
    // The thread that entered `key`; a default id when none did.
    std::thread::id CallerOf(const std::string& key) {
        return Locked([&] { return entered.count(key) != 0 ? entered[key] : std::thread::id(); });
    }
    bool Happened(const std::string& event) {
        return Locked([&] { return Has(events, event); });
    }
    bool WaitEvent(const std::string& event) {
        return WaitFor([&] { return Happened(event); });
    }
    Lines Events() {
        return Locked([&] { return events; });
    }
};

// Opens every key when the test leaves its scope, also on a failed assertion, so that the core
// can stop: declare it after the core.
struct OpenAtExit {
    CallGate& gate;
    ~OpenAtExit() { gate.OpenAll(); }
};

// Hooks that hold every Read ("<name> read") and the worker's IOCTL ("<name> worker") at the
// gate, and note Close and Unload ("<name> close", "<name> unload").
PluginHooks Gated(CallGate& gate, const std::string& name);

// A list appended to from plugin threads and read by the test.
template <typename T>
class Shared {
public:
    void Add(T item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(item));
    }
    std::vector<T> Items() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    std::size_t Size() const { return Items().size(); }

private:
    mutable std::mutex mutex;
    std::vector<T> items;
};

inline std::string Bytes(const void* data, uint32_t length) {
    return data != nullptr ? std::string(static_cast<const char*>(data), length) : std::string();
}

// What a plugin was handed in one Write, IOCTL or Read call: both records as they came in, and
// the data as it was during the call.
template <typename In, typename Out>
struct Call {
    In in;
    Out out;
    std::string bytes;
};
using WriteCall = Call<_WriteParmsIn, _WriteParmsOut>;
using IoctlCall = Call<_IoctlParmsIn, _IoctlParmsOut>;
using ReadCall = Call<_ReadParmsIn, _ReadParmsOut>;

// The core's own XML documents (core.xml, plugins.xml) reach every plugin through IOCTL 2 at
// start; tests that count configuration calls leave them out.
inline bool CoreDocument(const void* data, uint32_t length) {
    return Bytes(data, length).rfind("<?xml", 0) == 0;
}

// What a plugin is handed, recorded by hooks: Write and IOCTL answer `pending`, IOCTL leaves out
// the core's own documents, and Read takes only direct requests (the reader thread's own call
// has tag 0).
struct Recorder {
    Shared<WriteCall> writes;
    Shared<IoctlCall> ioctls;
    Shared<ReadCall> requests;

    PluginHooks Hooks(uint32_t pending = 0);
    Hook<_WriteParmsIn, _WriteParmsOut> Write(uint32_t pending = 0);
    Hook<_IoctlParmsIn, _IoctlParmsOut> Ioctl(uint32_t pending = 0);
    Hook<_ReadParmsIn, _ReadParmsOut> Read();
    std::vector<uint32_t> WriteCodes() const;
};

// True while the shared object at `path` is mapped in this process.
bool Mapped(const std::string& path);
// Names of the plugins that journaled `entry` (with `detail`, when given), in journal order.
Lines Callers(const std::string& entry, const std::string& detail = "");
// The journal lines of one plugin, without its name: "load 24", "open 0", ...
Lines JournalOf(const std::string& plugin);
// "load <size of the Load record>", as a test plugin journals its Load.
std::string LoadEntry();
// A library whose inode must not be handed to a later copy while it stays mapped: glibc would
// take the new file for the mapped one. Kept linked until the process ends.
void KeepInodeForProcess(const std::string& path);

pid_t ThreadId();
// True when the thread of this process is asleep (blocked in the kernel, e.g. on a futex).
bool Sleeping(pid_t tid);

}  // namespace testkit
