// The core's object as the harness runs it: the plugin files it is given instead of its plugin
// directories, no signals and no memory watch (the test sets the memory state), its log lines
// kept instead of written to a console, and a clock the harness moves past the minute of
// throttling hold-off.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "core/dvrcore.h"
#include "sdk/harness/records.h"

class HarnessCore : public dvrcore {
public:
    HarnessCore(const std::string& directory, Records& records);

    TimePoint now() override;
    void WriteLog(uint32_t module, uint32_t level, const char* text) override;

    // The core's main thread as dvrcore::Start runs it, for these files and the core's end of
    // the supervisor socket. `started` tells whether every plugin was accepted and opened; the
    // stop sequence follows at once when one was refused, after a stop request otherwise.
    void Run(const std::vector<std::string>& paths, int supervisorSocket,
             std::promise<bool>& started);

    // The harness's own references to the accepted plugin files, taken as each was loaded.
    std::vector<void*> Libraries() const { return libraries; }

    // A marker that reaches no plugin: once the delivery loop has taken it off the queue,
    // everything queued before it has been delivered.
    bool QueueMarker(uint32_t code);
    bool MarkerQueued(uint32_t code);
    // On the event-loop thread, where the core's memory watch runs.
    void SetMemory(bool low);

    int32_t LogLevel(uint32_t id) const { return logLevels.Get(DVR_MODULE_NUMBER(id)); }
    std::vector<std::pair<void*, uint32_t>> Kept() const { return holdTable.Leaks(); }

private:
    bool LoadAll(const std::vector<std::string>& paths);
    void OpenAll();

    Records& records;
    std::atomic<int64_t> clockOffsetNs{0};
    std::vector<void*> libraries;
};
