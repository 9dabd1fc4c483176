#include "support/test_core.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>
#include <cstring>
#include <future>
#include <sstream>
#include <stdexcept>

namespace testkit {

TestCore::~TestCore() {
    if (runner.joinable()) Stop();
}

dvrcore::TimePoint TestCore::now() {
    std::lock_guard<std::mutex> lock(mutex);
    return clockSet ? clock : dvrcore::now();
}

std::time_t TestCore::WallClock() {
    std::lock_guard<std::mutex> lock(mutex);
    return wallClock != 0 ? wallClock : dvrcore::WallClock();
}

void TestCore::WriteLog(uint32_t module, uint32_t level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back({module, level, text != nullptr ? text : ""});
}

void TestCore::SetClock(TimePoint time) {
    std::lock_guard<std::mutex> lock(mutex);
    clockSet = true;
    clock = time;
}

void TestCore::SetWallClock(std::time_t seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    wallClock = seconds;
}

std::vector<LogLine> TestCore::Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

std::vector<std::string> TestCore::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines()) texts.push_back(line.text);
    return texts;
}

bool TestCore::Logged(const std::string& text) const { return Has(Texts(), text); }

bool TestCore::LoggedStartingWith(const std::string& prefix) const {
    for (const LogLine& line : Lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

bool TestCore::Written(uint32_t module, uint32_t level, const std::string& text) const {
    for (const LogLine& line : Lines())
        if (line.module == module && line.level == level && line.text == text) return true;
    return false;
}

int TestCore::Count(const std::string& text, uint32_t level) const {
    int count = 0;
    for (const LogLine& line : Lines()) count += line.text == text && line.level == level;
    return count;
}

testkit::Lines TestCore::CoreLines(const std::string& part) const {
    testkit::Lines core;
    for (const LogLine& line : Lines())
        if (line.module == DVR_CORE_ID && line.text.find(part) != std::string::npos)
            core.push_back(std::to_string(line.level) + " " + line.text);
    return core;
}

void TestCore::StartInBackground() {
    // The core reads and writes its documents in the working directory: keep them in the
    // test's own directory.
    const std::string work = executablePath.substr(0, executablePath.rfind('/')) + "/work";
    boost::filesystem::create_directories(work);
    if (!inWork) inWork.emplace(work);
    runner = std::thread([this] { Start(); });
    if (!WaitFor([this] { return LoggedStartingWith("successfully started core version "); }))
        ADD_FAILURE() << "the core did not start";
}

void TestCore::Stop() {
    RequestStop();
    runner.join();
    inWork.reset();
}

std::deque<_EventParmsIn> TestCore::Queued() {
    std::lock_guard<std::mutex> lock(deliveryMutex);
    return deliveryQueue;
}

std::vector<std::string> TestCore::QueuedDocuments(uint32_t classFlags) {
    std::vector<std::string> documents;
    for (const _EventParmsIn& event : Queued())
        if (event.classFlags == classFlags && event.code == DVR_CODE_DOCUMENT)
            documents.emplace_back(static_cast<const char*>(event.data), event.length);
    return documents;
}

std::map<uint32_t, uint32_t> TestCore::Streams() {
    std::lock_guard<std::mutex> lock(streamMutex);
    return streams;
}

std::size_t TestCore::SendQueueSize() {
    std::promise<std::size_t> size;
    boost::asio::post(eventLoop, [&] { size.set_value(sendQueue.size()); });
    return size.get_future().get();
}

bool TestCore::EventLoopRunsDry(std::chrono::seconds limit) {
    eventLoop.restart();
    eventLoop.run_for(limit);
    return eventLoop.stopped();
}

_EventParmsIn Event(uint32_t source, uint32_t classFlags, uint32_t code, const void* data,
                    uint32_t length, uint32_t tag) {
    _EventParmsIn event = DVR_EVENT_IN_INIT;
    event.length = length;
    event.data = const_cast<void*>(data);
    event.source = source;
    event.classFlags = classFlags;
    event.code = code;
    event.tag = tag;
    return event;
}

_EventParmsIn LogMessage(uint32_t source, int32_t level, const void* text, uint32_t length) {
    _EventParmsIn event = Event(source, DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE, text, length);
    event.level = level;
    return event;
}

_EventParmsIn LogMessage(uint32_t source, int32_t level, const char* text) {
    const auto length = static_cast<uint32_t>(text != nullptr ? std::strlen(text) + 1 : 0);
    return LogMessage(source, level, text, length);
}

int32_t Raise(_EventParmsIn event, int32_t initial) {
    _EventParmsOut out{sizeof out, 1, initial};
    FlatPluginEvent(&event, &out);
    return out.result;
}

int32_t Release(void* block, uint32_t holder) {
    return Raise(Event(holder, DVR_CMD_RELEASE, 0, block));
}

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
    handle = dlopen(InstallPlugin(dir, name, subdir, fileName).c_str(), RTLD_NOW);
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

PluginHooks Recorder::Hooks(uint32_t pending, WriteNote before) {
    PluginHooks hooks;
    hooks.write = Write(pending, std::move(before));
    hooks.ioctl = Ioctl(pending);
    hooks.read = Read();
    return hooks;
}

Hook<_WriteParmsIn, _WriteParmsOut> Recorder::Write(uint32_t pending, WriteNote before) {
    return [this, pending, before](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (before) before(in);
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
