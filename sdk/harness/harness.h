// The object behind the C API's DvrHarness: the core, the supervisor's end of its socket, the
// records, and the harness's own main thread, which runs the core's main thread's work.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dvrcore/dvrharness.h"
#include "sdk/harness/harness_core.h"
#include "sdk/harness/records.h"
#include "sdk/harness/supervisor_end.h"

void Complain(const std::string& text);

struct DvrHarness {
    enum class Start { Running, Refused, Wedged };
    enum class State { Running, Stopped, Wedged };

    DvrHarness() = default;
    ~DvrHarness();
    DvrHarness(const DvrHarness&) = delete;
    DvrHarness& operator=(const DvrHarness&) = delete;

    Start Begin(std::vector<std::string> paths);
    int Stop(DvrHarnessReport* report);
    int Settle();
    Records::Deadline Deadline() const { return std::chrono::steady_clock::now() + timeout; }
    bool Running() const { return state == State::Running; }

    std::chrono::milliseconds timeout{kDefaultTimeout};
    std::string directory;
    State state = State::Running;
    Records records;
    std::unique_ptr<SupervisorEnd> supervisorEnd;
    std::unique_ptr<HarnessCore> core;

    static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

private:
    // Waits for the main thread's end; false, and wedged, when it does not come in time.
    bool Join();
    void Finish();
    void Wedge(const std::string& reason);

    bool claimed = false;  // this is the process's one harness
    std::string previousDirectory;
    std::set<pid_t> threadsBefore;
    std::promise<bool> startedPromise;
    std::promise<void> finishedPromise;
    std::future<void> finished;
    std::thread main;
    uint32_t markers = 0;
    DvrHarnessReport stopReport{};
};
