// A core object for in-process tests: its clocks can be set, its log lines are captured, and
// the state that tests check is reached through named probes that keep each owner's locks.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"
#include "support/testkit.h"

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
    std::string previousDir;
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

}  // namespace testkit
