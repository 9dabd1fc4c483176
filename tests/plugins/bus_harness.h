// Shared pieces of the event bus tests: test plugins whose entry points are routed to the test
// before the core maps them, and thread-safe records of what the plugins were given.
#pragma once

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_core.h"

namespace bus {

struct Hooks {
    std::function<int32_t(_ReadParmsIn*, _ReadParmsOut*)> read;
    std::function<int32_t(_WriteParmsIn*, _WriteParmsOut*)> write;
    std::function<int32_t(_IoctlParmsIn*, _IoctlParmsOut*)> ioctl;
    std::function<int32_t(_CloseParmsIn*, _CloseParmsOut*)> close;
    std::function<int32_t(_UnloadParmsIn*, _UnloadParmsOut*)> unload;
};

namespace detail {
template <typename In, typename Out>
int32_t Call(const std::function<int32_t(In*, Out*)>& hook, In* in, Out* out) {
    return hook ? hook(in, out) : 0;
}
inline int32_t Read(void* c, _ReadParmsIn* i, _ReadParmsOut* o) {
    return Call(static_cast<Hooks*>(c)->read, i, o);
}
inline int32_t Write(void* c, _WriteParmsIn* i, _WriteParmsOut* o) {
    return Call(static_cast<Hooks*>(c)->write, i, o);
}
inline int32_t Ioctl(void* c, _IoctlParmsIn* i, _IoctlParmsOut* o) {
    return Call(static_cast<Hooks*>(c)->ioctl, i, o);
}
inline int32_t Close(void* c, _CloseParmsIn* i, _CloseParmsOut* o) {
    return Call(static_cast<Hooks*>(c)->close, i, o);
}
inline int32_t Unload(void* c, _UnloadParmsIn* i, _UnloadParmsOut* o) {
    return Call(static_cast<Hooks*>(c)->unload, i, o);
}
}  // namespace detail

// A test plugin installed under <dir>/plugins and mapped before the core maps it: the core's
// dlopen of the same file finds this instance, so the hooks are in place before any of the
// plugin's threads can run, and the code stays mapped after the core has unloaded it.
class Plugin {
public:
    Plugin(const testkit::TempDir& dir, const std::string& name, Hooks entryHooks = {})
        : hooks(std::move(entryHooks)) {
        testkit::InstallPlugin(dir, name);
        handle = dlopen((dir / ("plugins/" + name + ".so")).c_str(), RTLD_NOW);
        if (handle == nullptr) throw std::runtime_error(dlerror());
        auto set = reinterpret_cast<TestPluginSetHooks>(dlsym(handle, "TestPlugin_SetHooks"));
        auto get = reinterpret_cast<TestPluginId>(dlsym(handle, "TestPlugin_Id"));
        identifier = get();
        const TestPluginHooks table{&hooks,        nullptr,       detail::Close, detail::Unload,
                                    detail::Read,  detail::Write, detail::Ioctl};
        set(&table);
    }
    ~Plugin() { dlclose(handle); }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    uint32_t id() const { return identifier; }

private:
    Hooks hooks;
    void* handle;
    uint32_t identifier;
};

// What a plugin was handed in one Write, IOCTL or Read call.
struct Received {
    uint32_t source = 0;
    uint32_t tag = 0;
    uint32_t classFlags = 0;
    uint32_t code = 0;
    uint32_t length = 0;
    void* data = nullptr;
    std::string bytes;  // the data as it was during the call
};

inline std::string Bytes(const void* data, uint32_t length) {
    return data != nullptr ? std::string(static_cast<const char*>(data), length) : std::string();
}

// The core's own XML documents (core.xml, plugins.xml) reach every plugin through IOCTL 2 at
// start; tests that count configuration calls leave them out.
inline bool CoreDocument(const void* data, uint32_t length) {
    return Bytes(data, length).rfind("<?xml", 0) == 0;
}

inline Received FromWrite(const _WriteParmsIn& in) {
    return {in.source, in.tag, in.classFlags, in.code, in.length, in.data,
            Bytes(in.data, in.length)};
}

inline Received FromIoctl(const _IoctlParmsIn& in) {
    Received r;
    r.code = in.code;
    r.length = in.length;
    r.data = in.data;
    r.bytes = Bytes(in.data, in.length);
    return r;
}

inline Received FromRead(const _ReadParmsIn& in) {
    Received r;
    r.tag = in.tag;
    r.length = in.length;
    r.data = in.data;
    r.bytes = Bytes(in.data, in.length);
    return r;
}

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
    std::size_t Size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }

private:
    mutable std::mutex mutex;
    std::vector<T> items;
};

// A latch that a plugin call waits on until the test opens it. The wait is bounded so that a
// failing test ends instead of hanging; the test opens it on every path.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [this] { return open; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
};

// Opens the gate when the test leaves its scope, also on a failed assertion, so that the core
// can stop.
class OpenAtExit {
public:
    explicit OpenAtExit(Gate& gate) : gate(gate) {}
    ~OpenAtExit() { gate.Open(); }
    OpenAtExit(const OpenAtExit&) = delete;
    OpenAtExit& operator=(const OpenAtExit&) = delete;

private:
    Gate& gate;
};

inline _EventParmsIn Event(uint32_t source, uint32_t classFlags, uint32_t code,
                           const void* data = nullptr, uint32_t length = 0, uint32_t tag = 0) {
    _EventParmsIn event = testkit::MakeEvent(source, classFlags, code, data, length);
    event.tag = tag;
    return event;
}

// Gives a kept block back on behalf of `holder`, as a plugin does.
inline int32_t Release(void* block, uint32_t holder) {
    return testkit::Raise(Event(holder, DVR_CMD_RELEASE, 0, block));
}

inline pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// True when the thread of this process is asleep (blocked in the kernel, e.g. on a futex).
inline bool Sleeping(pid_t tid) {
    const std::string stat = testkit::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

}  // namespace bus
