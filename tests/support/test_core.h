// A core object for in-process tests: its clocks can be set, its log lines are captured, and
// the state that tests check is reached through named probes that keep each owner's locks. And
// the one way for a test to reach a test plugin: its entry points taken over by hooks before
// the core maps it, calls held inside it until the test lets them return, and thread-safe
// records of what the plugin was handed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "core/dvrcore.h"
#include "support/testkit.h"
#include "tests/plugins/test_plugin.h"

namespace testkit {

struct LogLine {
    uint32_t module;
    uint32_t level;
    std::string text;
};

using Holds = std::vector<std::pair<void*, uint32_t>>;

class TestCore : public dvrcore {
public:
    // A core whose executable would live in `dir`, beside its plugin directories.
    explicit TestCore(const TempDir& dir) : dvrcore(dir / "dvrcore") {}
    ~TestCore() override;

    TimePoint now() override;
    std::time_t WallClock() override;
    void WriteLog(uint32_t module, uint32_t level, const char* text) override;
    // Records the minute's wait after a lost supervisor instead of sleeping it.
    void Linger() override { lingered = true; }
    std::atomic<bool> lingered{false};

    // Moves the test clock; once set, now() returns it.
    void SetClock(TimePoint time);
    void SetWallClock(std::time_t seconds);
    // One scheduler tick, at once, on the calling thread.
    void Tick() { Scheduler(boost::system::error_code()); }

    std::vector<LogLine> Lines() const;
    std::vector<std::string> Texts() const;
    bool Logged(const std::string& text) const;
    bool LoggedStartingWith(const std::string& prefix) const;
    bool Written(uint32_t module, uint32_t level, const std::string& text) const;
    // How often `text` was logged at `level`.
    int Count(const std::string& text, uint32_t level) const;
    // The core's own lines as "<level> <text>", all of them or those containing `part`.
    testkit::Lines CoreLines(const std::string& part = "") const;

    // Runs Start() on a thread of its own, in <dir>/work, until Stop().
    void StartInBackground();
    // Requests a stop and waits for Start() to return.
    void Stop();
    bool Running() const { return runner.joinable(); }

    // Probes. The delivery queue, copied under its lock; the data blocks stay the core's.
    std::deque<_EventParmsIn> Queued();
    // The texts of the queued documents of one event class.
    std::vector<std::string> QueuedDocuments(uint32_t classFlags);
    Holds Leaks() const { return holdTable.Leaks(); }
    SupervisorIdentity::Names Supervisor() const { return supervisor.Get(); }
    void SetSupervisor(const std::string& fileName, const std::string& version) {
        supervisor.Store(fileName, &version);
    }
    bool DeliveryEnded() const { return requests.DeliveryEnded(); }
    // The running video streams by source, copied under their lock.
    std::map<uint32_t, uint32_t> Streams();
    // The length of the send queue, asked on the event-loop thread that owns it.
    std::size_t SendQueueSize();
    // Runs the stopped event loop again on this thread for at most `limit`; true when it ran
    // out of work (no timer left armed) before that.
    bool EventLoopRunsDry(std::chrono::seconds limit);

    using dvrcore::channelOpen;
    using dvrcore::defaultLogLevels;
    using dvrcore::failedPlugins;
    using dvrcore::logLevels;
    using dvrcore::memoryLimit;
    using dvrcore::memoryLow;
    using dvrcore::moduleNames;
    using dvrcore::plugins;
    using dvrcore::productFamily;
    using dvrcore::stopRequested;
    using dvrcore::throttling;
    using dvrcore::version;

private:
    mutable std::mutex mutex;
    std::vector<LogLine> lines;
    bool clockSet = false;
    TimePoint clock;
    std::time_t wallClock = 0;
    std::thread runner;
    std::optional<WorkingDirectory> inWork;
};

// An event record as the core expects it, all other bytes zero.
_EventParmsIn Event(uint32_t source, uint32_t classFlags, uint32_t code, const void* data = nullptr,
                    uint32_t length = 0, uint32_t tag = 0);
// A log message; a text without length is taken with its NUL.
_EventParmsIn LogMessage(uint32_t source, int32_t level, const void* text, uint32_t length);
_EventParmsIn LogMessage(uint32_t source, int32_t level, const char* text);
// Raises an event through FlatPluginEvent and returns its result (initially `initial`).
int32_t Raise(_EventParmsIn event, int32_t initial = 0);
// Gives a kept block back on behalf of `holder`, as a plugin does.
int32_t Release(void* block, uint32_t holder);

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
// has tag 0). `before`, when given, sees each Write first.
struct Recorder {
    using WriteNote = std::function<void(_WriteParmsIn*)>;
    Shared<WriteCall> writes;
    Shared<IoctlCall> ioctls;
    Shared<ReadCall> requests;

    PluginHooks Hooks(uint32_t pending = 0, WriteNote before = {});
    Hook<_WriteParmsIn, _WriteParmsOut> Write(uint32_t pending = 0, WriteNote before = {});
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

// A core that is not started, beside a temporary directory.
struct CoreTest : ::testing::Test {
    TempDir dir;
    TestCore core{dir};
};

// A core beside a temporary copy of the device's plugin layout, run from its "work" directory so
// that the documents it writes stay there, with plugins taken over before the core loads them.
class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearJournal();
        core = MakeCore();
    }

    // Also after a failed assertion: a core that still runs stops, and so unloads its plugins,
    // before the hooks, recorders and state that their threads call into go.
    void TearDown() override {
        gate.OpenAll();
        JoinBackground();
        if (core != nullptr && core->Running()) core->Stop();
        if (core != nullptr && !core->plugins.empty()) core->UnloadPlugins();
        core.reset();
        taken.clear();
        owned.clear();
    }

    virtual std::unique_ptr<TestCore> MakeCore() { return std::make_unique<TestCore>(dir); }

    void Install(const std::string& plugin, const std::string& subdir = "plugins",
                 const std::string& fileName = "") {
        InstallPlugin(dir, plugin, subdir, fileName);
    }
    std::string PathOf(const std::string& fileName, const std::string& subdir = "plugins") const {
        return dir / (subdir + "/" + fileName);
    }
    // Installs the plugin with its entry points taken over before the core can load it.
    Plugin& Take(const std::string& plugin, PluginHooks hooks) {
        taken.push_back(std::make_unique<Plugin>(dir, plugin, std::move(hooks)));
        return *taken.back();
    }
    // The same with its reader and worker calls held at the gate under `name`.
    void TakeGated(const std::string& plugin, const std::string& name) {
        Take(plugin, Gated(gate, name));
    }
    // State that hooks reach, kept until TearDown has unloaded the plugins: a local of the test
    // would go first when an assertion ends the test.
    template <typename T, typename... Args>
    T& Own(Args&&... args) {
        auto object = std::make_shared<T>(std::forward<Args>(args)...);
        owned.push_back(object);
        return *object;
    }
    // A plugin taken over by a recorder whose Write and IOCTL answer `pending`.
    struct Recorded : Recorder {
        uint32_t id = 0;
    };
    Recorded& Record(const std::string& plugin, uint32_t pending = 0,
                     Recorder::WriteNote before = {}) {
        Recorded& recorder = Own<Recorded>();
        recorder.id = Take(plugin, recorder.Hooks(pending, std::move(before))).id();
        return recorder;
    }
    void LoadAndOpen() {
        core->LoadPlugins();
        core->OpenPlugins();
    }
    void CloseAndUnload() {
        core->ClosePlugins();
        core->UnloadPlugins();
    }
    // Runs `work` on a thread that TearDown joins after opening every gate.
    void InBackground(std::function<void()> work) { threads.emplace_back(std::move(work)); }
    void JoinBackground() {
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }

    Lines TableNames() const {
        Lines names;
        for (const PLUGININFO& plugin : core->plugins) names.push_back(plugin.fileName);
        return names;
    }
    const PLUGININFO* Find(const std::string& fileName) const {
        for (const PLUGININFO& plugin : core->plugins)
            if (plugin.fileName == fileName) return &plugin;
        return nullptr;
    }

    // Destroyed from the bottom up, so the core goes before what its plugins call into.
    CoreDirectory files;
    const TempDir& dir = files.dir;
    CallGate gate;  // outlives every plugin call
    std::vector<std::shared_ptr<void>> owned;
    std::vector<std::unique_ptr<Plugin>> taken;
    std::vector<std::thread> threads;
    std::unique_ptr<TestCore> core;
};

}  // namespace testkit
