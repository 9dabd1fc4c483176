// A core object for in-process tests: its clock can be set, its log lines are captured, and
// the state that tests check is visible.
#pragma once

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"
#include "support/testkit.h"
#include "tests/plugins/test_plugin.h"

namespace testkit {

struct LogLine {
    uint32_t module;
    uint32_t level;
    std::string text;
};

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

    // Runs Start() on a thread of its own, in <dir>/work, until Stop().
    void StartInBackground();
    // Requests a stop and waits for Start() to return.
    void Stop();
    // Waits until the delivery loop has nothing queued.
    bool WaitIdle();

    using dvrcore::defaultLogLevels;
    using dvrcore::requests;
    using dvrcore::deliveryMutex;
    using dvrcore::deliveryQueue;
    using dvrcore::failedPlugins;
    using dvrcore::holdTable;
    using dvrcore::linger;
    using dvrcore::logLevels;
    using dvrcore::memoryLow;
    using dvrcore::moduleNames;
    using dvrcore::plugins;
    using dvrcore::productFamily;
    using dvrcore::stopRequested;
    using dvrcore::streams;
    using dvrcore::supervisor;
    using dvrcore::memoryLimit;
    using dvrcore::throttling;
    using dvrcore::version;
    using dvrcore::receivedBytes;
    using dvrcore::sendQueue;
    using dvrcore::channelOpen;
    using dvrcore::eventLoop;
    using dvrcore::lowMemoryTime;

private:
    mutable std::mutex mutex;
    std::vector<LogLine> lines;
    bool clockSet = false;
    TimePoint clock;
    std::time_t wallClock = 0;
    std::thread runner;
    std::string previousDir;
};

// A test plugin .so copied from the build into <dir>/<subdir>/<fileName>.
void InstallPlugin(const TempDir& dir, const std::string& plugin,
                   const std::string& subdir = "plugins", const std::string& fileName = "");

// The control functions of a plugin the core has loaded (looked up by its installed path).
class PluginControl {
public:
    PluginControl(const TempDir& dir, const std::string& fileName,
                  const std::string& subdir = "plugins");
    ~PluginControl();
    void SetHooks(const TestPluginHooks& hooks);
    DvrEventEntry EventEntry() const;
    bool loaded() const { return handle != nullptr; }

private:
    void* handle;
};

// Hooks that a test plugin named `plugin` takes over when the core calls its Load; they stay
// registered until ClearPluginHooks.
void SetPluginHooks(const std::string& plugin, const TestPluginHooks& hooks);
void ClearPluginHooks();

// An event record as the core expects it, all other bytes zero.
_EventParmsIn MakeEvent(uint32_t source, uint32_t classFlags, uint32_t code,
                        const void* data = nullptr, uint32_t length = 0);
// Raises an event through FlatPluginEvent and returns its result (initially `initial`).
int32_t Raise(_EventParmsIn event, int32_t initial = 0);

// The journal that test plugins append to; set for the whole test process.
std::vector<std::string> JournalLines();
void ClearJournal();

}  // namespace testkit
