#include "support/plugin_harness.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <sstream>
#include <stdexcept>

namespace testkit {

namespace {

template <typename In, typename Out, std::function<int32_t(In*, Out*)> PluginHooks::*hook>
int32_t Thunk(void* context, In* in, Out* out) {
    return (static_cast<PluginHooks*>(context)->*hook)(in, out);
}

void* Symbol(void* handle, const char* name) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("not a test plugin: ") + name);
    return symbol;
}

void SetHooks(void* handle, const TestPluginHooks* table) {
    reinterpret_cast<TestPluginSetHooks>(Symbol(handle, "TestPlugin_SetHooks"))(table);
}

}  // namespace

Plugin::Plugin(const TempDir& dir, const std::string& name, PluginHooks entryHooks,
               const std::string& subdir, const std::string& fileName)
    : hooks(std::move(entryHooks)) {
    InstallPlugin(dir, name, subdir, fileName);
    const std::string path = dir / (subdir + "/" + (fileName.empty() ? name + ".so" : fileName));
    handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) throw std::runtime_error(dlerror());
    identifier = reinterpret_cast<TestPluginId>(Symbol(handle, "TestPlugin_Id"))();
    TestPluginHooks table{};
    table.context = &hooks;
    if (hooks.open) table.open = Thunk<_OpenParmsIn, _OpenParmsOut, &PluginHooks::open>;
    if (hooks.close) table.close = Thunk<_CloseParmsIn, _CloseParmsOut, &PluginHooks::close>;
    if (hooks.unload) table.unload = Thunk<_UnloadParmsIn, _UnloadParmsOut, &PluginHooks::unload>;
    if (hooks.read) table.read = Thunk<_ReadParmsIn, _ReadParmsOut, &PluginHooks::read>;
    if (hooks.write) table.write = Thunk<_WriteParmsIn, _WriteParmsOut, &PluginHooks::write>;
    if (hooks.ioctl) table.ioctl = Thunk<_IoctlParmsIn, _IoctlParmsOut, &PluginHooks::ioctl>;
    SetHooks(handle, &table);
}

Plugin::~Plugin() {
    SetHooks(handle, nullptr);
    dlclose(handle);
}

DvrEventEntry Plugin::EventEntry() const {
    return reinterpret_cast<TestPluginEventEntry>(Symbol(handle, "TestPlugin_EventEntry"))();
}

void CallGate::Pass(const std::string& key) {
    std::unique_lock<std::mutex> lock(mutex);
    entered[key] = std::this_thread::get_id();
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30),
                     [&] { return openAll || opened.count(key) != 0; });
    events.push_back(key + " returns");
    changed.notify_all();
}

PluginHooks Gated(CallGate& gate, const std::string& name) {
    PluginHooks hooks;
    hooks.read = [&gate, name](_ReadParmsIn*, _ReadParmsOut*) {
        gate.Pass(name + " read");
        return 0;
    };
    hooks.ioctl = [&gate, name](_IoctlParmsIn* in, _IoctlParmsOut*) {
        if (in->code == DVR_IOCTL_WORKER) gate.Pass(name + " worker");
        return 0;
    };
    hooks.close = [&gate, name](_CloseParmsIn*, _CloseParmsOut*) {
        gate.Record(name + " close");
        return 0;
    };
    hooks.unload = [&gate, name](_UnloadParmsIn*, _UnloadParmsOut*) {
        gate.Record(name + " unload");
        return 0;
    };
    return hooks;
}

PluginHooks Recorder::Hooks(uint32_t pending) {
    PluginHooks hooks;
    hooks.write = Write(pending);
    hooks.ioctl = Ioctl(pending);
    hooks.read = Read();
    return hooks;
}

Hook<_WriteParmsIn, _WriteParmsOut> Recorder::Write(uint32_t pending) {
    return [this, pending](_WriteParmsIn* in, _WriteParmsOut* out) {
        writes.Add({*in, *out, Bytes(in->data, in->length)});
        out->pending = pending;
        return 0;
    };
}

Hook<_IoctlParmsIn, _IoctlParmsOut> Recorder::Ioctl(uint32_t pending) {
    return [this, pending](_IoctlParmsIn* in, _IoctlParmsOut* out) {
        if (CoreDocument(in->data, in->length)) return 0;
        ioctls.Add({*in, *out, Bytes(in->data, in->length)});
        out->pending = pending;
        return 0;
    };
}

Hook<_ReadParmsIn, _ReadParmsOut> Recorder::Read() {
    return [this](_ReadParmsIn* in, _ReadParmsOut* out) {
        if (in->tag != 0) requests.Add({*in, *out, Bytes(in->data, in->length)});
        return 0;
    };
}

std::vector<uint32_t> Recorder::WriteCodes() const {
    std::vector<uint32_t> codes;
    for (const WriteCall& call : writes.Items()) codes.push_back(call.in.code);
    return codes;
}

bool Mapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

Lines Callers(const std::string& entry, const std::string& detail) {
    Lines names;
    for (const std::string& line : JournalLines()) {
        std::istringstream words(line);
        std::string name, kind, value;
        words >> name >> kind >> value;
        if (kind == entry && (detail.empty() || value == detail)) names.push_back(name);
    }
    return names;
}

Lines JournalOf(const std::string& plugin) {
    Lines entries;
    const std::string prefix = plugin + " ";
    for (const std::string& line : JournalLines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            entries.push_back(line.substr(prefix.size()));
    return entries;
}

std::string LoadEntry() { return "load " + std::to_string(sizeof(_LoadParmsIn)); }

void KeepInodeForProcess(const std::string& path) {
    static TempDir keep;
    static int count = 0;
    boost::filesystem::create_hard_link(path, keep / std::to_string(count++));
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool Sleeping(pid_t tid) {
    const std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

}  // namespace testkit
