// The harness's life: start, stop and what is left to report and to clean up.
#include "sdk/harness/harness.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "sdk/harness/raise_tap.h"
#include "sdk/harness/thread_census.h"

namespace fs = boost::filesystem;

namespace {

// The core is one per process, and so is the harness.
std::atomic<bool> harnessExists{false};

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kThreadGrace = std::chrono::seconds(1);

std::string MakeDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/dvrharness-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make " + pattern);
    return pattern;
}

void ChangeDirectory(const std::string& directory) {
    if (chdir(directory.c_str()) != 0) throw std::runtime_error("cannot change to " + directory);
}

// Back to where the test was; on the way out, so without throwing.
void ReturnTo(const std::string& directory) {
    if (chdir(directory.c_str()) != 0) std::perror(("dvrharness: " + directory).c_str());
}

}  // namespace

void Complain(const std::string& text) { std::fprintf(stderr, "dvrharness: %s\n", text.c_str()); }

// Never runs for a wedged harness, whose threads may still use it.
DvrHarness::~DvrHarness() {
    if (!claimed) return;
    TapRaisedEvents(nullptr);
    // A start that failed half-way has not gone back yet.
    if (state == State::Running && !previousDirectory.empty()) ReturnTo(previousDirectory);
    boost::system::error_code ignored;
    if (!directory.empty()) fs::remove_all(directory, ignored);
    harnessExists = false;
}

DvrHarness::Start DvrHarness::Begin(std::vector<std::string> paths) {
    bool expected = false;
    claimed = harnessExists.compare_exchange_strong(expected, true);
    if (!claimed) throw std::runtime_error("another harness exists in this process");
    // The plugins' paths stay valid in the harness's directory.
    for (std::string& path : paths) path = fs::absolute(path).string();
    directory = MakeDirectory();
    supervisorEnd = std::make_unique<SupervisorEnd>(records);
    // Counted after the harness's first thread: a runtime may start one of its own with it
    // (ThreadSanitizer does), and no plugin has run yet.
    threadsBefore = ThreadIds();
    core = std::make_unique<HarnessCore>(directory, records);
    previousDirectory = fs::current_path().string();
    ChangeDirectory(directory);
    TapRaisedEvents(&records);
    std::future<bool> started = startedPromise.get_future();
    finished = finishedPromise.get_future();
    main = std::thread([this, paths] {
        core->Run(paths, supervisorEnd->CoreSocket(), startedPromise);
        finishedPromise.set_value();
    });
    if (started.wait_for(kStartLimit) != std::future_status::ready) {
        Wedge("the plugins did not start within 10 s: Load or Open did not return");
        return Start::Wedged;
    }
    if (!started.get()) {
        for (const std::string& line : records.CoreLines(DVR_LEVEL_WARNING)) Complain(line);
        if (!Join()) return Start::Wedged;
        Finish();
        return Start::Refused;
    }
    Settle();
    return Start::Running;
}

int DvrHarness::Stop(DvrHarnessReport* report) {
    if (state == State::Wedged) return DVR_HARNESS_TIMEOUT;
    if (state == State::Stopped) return DVR_HARNESS_STOPPED;
    core->RequestStop();
    if (!Join()) return DVR_HARNESS_TIMEOUT;
    Finish();
    if (report != nullptr) *report = stopReport;
    return DVR_HARNESS_OK;
}

bool DvrHarness::Join() {
    if (finished.wait_for(timeout) != std::future_status::ready) {
        Wedge("the plugins did not stop: Write, IOCTL, Close or Unload did not return, or a "
              "worker or reader thread did not end");
        return false;
    }
    main.join();
    return true;
}

void DvrHarness::Wedge(const std::string& reason) {
    Complain(reason + "; the harness is left as it is");
    state = State::Wedged;
}

// The main thread has ended: every plugin is unloaded, the core only remembers.
void DvrHarness::Finish() {
    TapRaisedEvents(nullptr);
    const std::vector<std::pair<void*, uint32_t>> kept = core->Kept();
    const std::vector<void*> libraries = core->Libraries();
    stopReport.blocksKept = static_cast<uint32_t>(kept.size());
    stopReport.unknownReleases = records.RefusedReleases();
    core.reset();  // closes its end of the socket
    supervisorEnd->Finish(timeout);
    stopReport.threadsRunning = ThreadsSince(threadsBefore, kThreadGrace);
    if (stopReport.threadsRunning == 0) {
        std::set<void*> blocks;
        for (const auto& hold : kept) blocks.insert(hold.first);
        // No plugin code is left to read them.
        for (void* block : blocks) std::free(block);
        for (void* library : libraries)
            if (library != nullptr) dlclose(library);
    } else {
        Complain(std::to_string(stopReport.threadsRunning) +
                 " thread(s) still run after Unload: their plugins stay mapped");
    }
    records.Complete();
    state = State::Stopped;
    ReturnTo(previousDirectory);
}

int DvrHarness::Settle() {
    if (state != State::Running) return DVR_HARNESS_STOPPED;
    const Records::Deadline deadline = Deadline();
    const uint32_t code = ++markers;
    if (!core->QueueMarker(code)) return DVR_HARNESS_STOPPED;
    while (core->MarkerQueued(code)) {
        if (std::chrono::steady_clock::now() >= deadline) return DVR_HARNESS_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return core->RunOnEventLoop([] {}, left) ? DVR_HARNESS_OK : DVR_HARNESS_TIMEOUT;
}
