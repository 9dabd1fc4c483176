// Event bus benchmark: the real core, real subscriber plugins, events raised through
// FlatPluginEvent, measured against a minimal bus that does only the unavoidable work.
//
// For every case (subscribers x payload x raiser threads) the same number of events goes
// through three buses in the same process, four when built with libzmq, several times, taking
// turns:
//   baseline  - one malloc and copy per event, a mutex-guarded deque, one condition-variable
//               hand-off to a consumer that calls a function of each subscriber plugin;
//   +records  - the baseline plus a fresh Write record per subscriber call, passed to the
//               plugin's real Write entry: what the plugin interface itself costs;
//   core      - dvrcore with its delivery loop, subscribers loaded from the plugin directory;
//   ZeroMQ    - in-process PUB/SUB, one PUB socket per raiser, calling the baseline's function.
// Reported per case: delivered events per second (wall clock), process CPU time per event
// (every thread: raisers, delivery, the core's event loop), heap allocations per event, and the
// ratios of the core's CPU time per event to the baselines' (medians of the runs).
//
// Two ways to feed them. Stream: the raisers raise as fast as a bound lets them (they wait
// once more than `bound` events are raised but not yet delivered, and go on when half of them
// are), while the delivery thread drains. Batch: bursts of `bound` events, each raised in full
// before its delivery starts. The same bound holds for every bus, so memory stays bounded for
// large payloads.
//
// The executable interposes malloc and the pthread lock entries (counting_allocator.cpp) to show
// where allocations and locks happen; every bus pays the same few instructions for it.

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_bus.h"
#include "bench/bench_tools.h"
#include "bench/counting_allocator.h"
#include "core/allocator.h"
#include "bench/bench_core.h"
#include "core/dvrcore.h"

#ifdef BENCH_HAVE_ZMQ
#include <zmq.h>
#endif

namespace fs = boost::filesystem;

namespace {

constexpr uint32_t kMaxSubscribers = 64;
constexpr uint64_t kMaxOutstanding = 4096;
// Bytes raised but not yet delivered at most; --outstanding-bytes changes it. In batch mode it is
// also the heap's swing from one burst to the next.
uint64_t outstandingBytes = 32u << 20;

// ---- One measured run ------------------------------------------------------------------------

struct RunState {
    RunState(uint32_t subscribers, uint32_t length, uint64_t target, uint64_t bound,
             uint64_t burst)
        : subscribers(subscribers), length(length), target(target), burst(burst),
          throttle(static_cast<int64_t>(bound)) {}

    const uint32_t subscribers;
    const uint32_t length;
    const uint64_t target;
    const uint64_t burst;  // batch mode: events per burst; 0 in stream mode
    Throttle throttle;     // stream mode
    // Written by the delivering thread only.
    uint64_t perSubscriber[kMaxSubscribers] = {};
    uint64_t completed = 0;
    uint64_t wrongData = 0;
    std::atomic<uint64_t> refused{0};
    // Completion, and in batch mode the bursts, under one mutex.
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    uint64_t raisersFinished = 0;   // raiser-bursts fully raised
    uint64_t burstsDelivered = 0;

    void WaitDone() {
        std::unique_lock<std::mutex> lock(mutex);
        condition.wait(lock, [this] { return done; });
    }

    // Batch mode, raiser side: this thread has raised its share of the burst; wait until the
    // whole burst is delivered.
    void FinishBurst(uint64_t burstIndex, uint32_t raisers) {
        std::unique_lock<std::mutex> lock(mutex);
        if (++raisersFinished == (burstIndex + 1) * raisers) condition.notify_all();
        condition.wait(lock, [this, burstIndex] { return burstsDelivered > burstIndex; });
    }

    // Batch mode, delivery side, before the first subscriber sees a burst's first event.
    void WaitBurstRaised(uint64_t burstIndex, uint32_t raisers) {
        std::unique_lock<std::mutex> lock(mutex);
        condition.wait(lock, [this, burstIndex, raisers] {
            return raisersFinished >= (burstIndex + 1) * raisers;
        });
    }

    uint32_t raisers = 1;
};

std::atomic<RunState*> currentRun{nullptr};

}  // namespace

// Every subscriber, of either bus, ends up here once per event.
extern "C" __attribute__((visibility("default"))) void BenchDelivered(uint32_t index,
                                                                      const void* data,
                                                                      uint32_t length) {
    RunState* run = currentRun.load(std::memory_order_acquire);
    if (run == nullptr || index >= kMaxSubscribers) return;
    if (length != run->length || (data == nullptr) != (length == 0)) ++run->wrongData;
    ++run->perSubscriber[index];
    if (index == 0 && run->burst != 0 && run->completed % run->burst == 0)
        run->WaitBurstRaised(run->completed / run->burst, run->raisers);
    if (index + 1 != run->subscribers) return;
    ++run->completed;
    if (run->burst != 0) {
        if (run->completed % run->burst == 0 || run->completed == run->target) {
            std::lock_guard<std::mutex> lock(run->mutex);
            run->burstsDelivered = (run->completed + run->burst - 1) / run->burst;
            if (run->completed == run->target) run->done = true;
            run->condition.notify_all();
        }
        return;
    }
    run->throttle.Release();
    if (run->completed == run->target) {
        std::lock_guard<std::mutex> lock(run->mutex);
        run->done = true;
        run->condition.notify_all();
    }
}

namespace {

_EventParmsIn BenchEvent(const void* data, uint32_t length) {
    _EventParmsIn event = DVR_EVENT_IN_INIT;
    event.length = length;
    event.data = const_cast<void*>(data);
    event.source = BENCH_RAISER_ID;
    event.classFlags = BENCH_CLASS;
    event.code = BENCH_CODE;
    return event;
}

// ---- The baseline: only the unavoidable work ------------------------------------------------
// Per event: one malloc and copy of the data, the record appended to a mutex-guarded deque, one
// condition-variable hand-off to a consumer thread that calls each subscriber once and frees
// the data.
//
// With call records, the consumer also does what the plugin interface asks of any bus: a fresh
// Write record per subscriber call (a plugin may write into its own), passed to the plugin's
// real Write entry. It separates what the interface costs from what the core adds.

struct Subscriber {
    BenchNotifyEntry notify;
    DvrWriteEntry write;
};

class Baseline {
public:
    Baseline(std::vector<Subscriber> subscribers, bool callRecords)
        : subscribers(std::move(subscribers)), callRecords(callRecords),
          consumer([this] { Consume(); }) {}

    ~Baseline() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        condition.notify_one();
        consumer.join();
    }

    void Raise(const _EventParmsIn& in, _EventParmsOut* out) {
        void* copy = nullptr;
        if (in.data != nullptr && in.length != 0) {
            copy = std::malloc(in.length);
            if (copy == nullptr) {
                out->result = -1;
                return;
            }
            std::memcpy(copy, in.data, in.length);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(in);
            queue.back().data = copy;
            if (copy == nullptr) queue.back().length = 0;
        }
        condition.notify_one();
        out->result = 0;
    }

    uint64_t Failures() const { return failures.load(); }

private:
    void Consume() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            condition.wait(lock, [this] { return !queue.empty() || stop; });
            if (queue.empty()) return;
            const _EventParmsIn event = queue.front();
            queue.pop_front();
            lock.unlock();
            if (callRecords) {
                for (const Subscriber& subscriber : subscribers) {
                    _WriteParmsIn in{};
                    in.size = sizeof in;
                    in.version = 1;
                    in.length = event.length;
                    in.data = event.data;
                    std::memcpy(&in.source, &event.source,
                                sizeof in - offsetof(_WriteParmsIn, source));
                    _WriteParmsOut out{};
                    out.size = sizeof out;
                    out.version = 1;
                    if (subscriber.write(&in, &out) != 0 || out.error != 0) failures.fetch_add(1);
                }
            } else {
                for (const Subscriber& subscriber : subscribers)
                    subscriber.notify(event.data, event.length);
            }
            std::free(event.data);
            lock.lock();
        }
    }

    const std::vector<Subscriber> subscribers;
    const bool callRecords;
    std::atomic<uint64_t> failures{0};
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;
    bool stop = false;
    std::thread consumer;
};

// ---- ZeroMQ's in-process PUB/SUB ----------------------------------------------------------------
// What a developer would otherwise pick: one PUB socket per raiser thread (sockets are not shared
// between threads), connected to one SUB socket whose thread calls each subscriber's function.
// zmq_send copies the data into a message, as the other buses copy it into a block; no high-water
// mark, so that no message is dropped (the benchmark's own bound limits what is in flight).

#ifdef BENCH_HAVE_ZMQ
class ZmqBus {
public:
    ZmqBus(std::vector<Subscriber> subscribers, uint32_t raisers, uint32_t instance)
        : subscribers(std::move(subscribers)), context(zmq_ctx_new()) {
        const std::string endpoint = "inproc://bench-" + std::to_string(instance);
        const int unlimited = 0;
        const int noLinger = 0;
        subscriber = zmq_socket(context, ZMQ_SUB);
        zmq_setsockopt(subscriber, ZMQ_RCVHWM, &unlimited, sizeof unlimited);
        zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "", 0);
        if (zmq_bind(subscriber, endpoint.c_str()) != 0)
            throw std::runtime_error(std::string("zmq_bind: ") + zmq_strerror(zmq_errno()));
        for (uint32_t i = 0; i < raisers; ++i) {
            void* publisher = zmq_socket(context, ZMQ_PUB);
            zmq_setsockopt(publisher, ZMQ_SNDHWM, &unlimited, sizeof unlimited);
            zmq_setsockopt(publisher, ZMQ_LINGER, &noLinger, sizeof noLinger);
            if (zmq_connect(publisher, endpoint.c_str()) != 0)
                throw std::runtime_error(std::string("zmq_connect: ") + zmq_strerror(zmq_errno()));
            publishers.push_back(publisher);
            Handshake(publisher);
        }
        consumer = std::thread([this] { Consume(); });
    }

    ~ZmqBus() {
        for (void* publisher : publishers) zmq_close(publisher);
        zmq_ctx_shutdown(context);  // the consumer's receive returns ETERM
        consumer.join();
        zmq_ctx_term(context);
    }

    // Raiser thread `raiser` only: its own socket.
    void Raise(uint32_t raiser, const _EventParmsIn& in, _EventParmsOut* out) {
        const size_t length = in.data != nullptr ? in.length : 0;
        out->result = zmq_send(publishers[raiser], in.data, length, 0) == static_cast<int>(length)
                          ? 0
                          : -1;
    }

private:
    // A PUB socket drops what it sends before the subscription has reached it: probe until one
    // arrives, then drain the probes still in flight.
    void Handshake(void* publisher) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        zmq_pollitem_t item{subscriber, 0, ZMQ_POLLIN, 0};
        bool arrived = false;
        while (!arrived) {
            if (std::chrono::steady_clock::now() > limit)
                throw std::runtime_error("zmq subscription did not arrive");
            zmq_send(publisher, "p", 1, 0);
            arrived = zmq_poll(&item, 1, 10) > 0;
        }
        char probe[4];
        while (zmq_poll(&item, 1, 50) > 0) zmq_recv(subscriber, probe, sizeof probe, 0);
    }

    void Consume() {
        zmq_msg_t message;
        zmq_msg_init(&message);
        while (zmq_msg_recv(&message, subscriber, 0) >= 0) {
            const uint32_t length = static_cast<uint32_t>(zmq_msg_size(&message));
            const void* data = length != 0 ? zmq_msg_data(&message) : nullptr;
            for (const Subscriber& s : subscribers) s.notify(data, length);
        }
        zmq_msg_close(&message);
        zmq_close(subscriber);
    }

    const std::vector<Subscriber> subscribers;
    void* context;
    void* subscriber = nullptr;
    std::vector<void*> publishers;
    std::thread consumer;
};
#endif

// ---- The real core ----------------------------------------------------------------------------

// A running core with N subscriber plugins in a directory of its own, and a baseline that calls
// the same plugins.
class Setup {
public:
    Setup(const fs::path& root, const fs::path& subscriberPlugin, uint32_t subscribers,
          uint32_t raisers)
        : directory(root / ("subscribers-" + std::to_string(subscribers))) {
        fs::create_directories(directory / "plugins");
        for (uint32_t i = 0; i < subscribers; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "%s%02u.so", BENCH_SUBSCRIBER_PREFIX, i);
            fs::copy_file(subscriberPlugin, directory / "plugins" / name,
                          fs::copy_option::overwrite_if_exists);
            pluginPaths.push_back((directory / "plugins" / name).string());
        }
        // The core reads and writes its documents in the working directory.
        fs::current_path(directory);
        core = std::make_unique<BenchCore>((directory / "dvrcore").string());
        runner = std::thread([this] { core->Start(); });
        core->WaitStarted();
        if (core->PluginCount() != subscribers)
            throw std::runtime_error("the core loaded " + std::to_string(core->PluginCount()) +
                                     " of " + std::to_string(subscribers) + " subscribers");
        // The baselines call the very plugin copies that the core loaded.
        std::vector<Subscriber> entries;
        for (const std::string& path : pluginPaths) {
            void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
            if (handle == nullptr) throw std::runtime_error("subscriber not loaded: " + path);
            handles.push_back(handle);
            Subscriber subscriber{
                reinterpret_cast<BenchNotifyEntry>(dlsym(handle, BENCH_NOTIFY_SYMBOL)),
                reinterpret_cast<DvrWriteEntry>(dlsym(handle, "Write"))};
            if (subscriber.notify == nullptr || subscriber.write == nullptr)
                throw std::runtime_error("missing entries in " + path);
            entries.push_back(subscriber);
        }
        baseline = std::make_unique<Baseline>(entries, false);
        recordBaseline = std::make_unique<Baseline>(entries, true);
#ifdef BENCH_HAVE_ZMQ
        zmq = std::make_unique<ZmqBus>(entries, raisers, subscribers);
#else
        (void)raisers;
#endif
    }

    ~Setup() {
#ifdef BENCH_HAVE_ZMQ
        zmq.reset();
#endif
        baseline.reset();
        recordBaseline.reset();
        for (void* handle : handles) dlclose(handle);
        core->RequestStop();
        runner.join();
        core.reset();
        fs::current_path(directory.parent_path());
    }

    BenchCore& Core() { return *core; }
    Baseline& Base() { return *baseline; }
    Baseline& RecordBase() { return *recordBaseline; }
#ifdef BENCH_HAVE_ZMQ
    ZmqBus& Zmq() { return *zmq; }
#endif

private:
    fs::path directory;
    std::vector<std::string> pluginPaths;
    std::vector<void*> handles;
    std::unique_ptr<BenchCore> core;
    std::thread runner;
    std::unique_ptr<Baseline> baseline;
    std::unique_ptr<Baseline> recordBaseline;
#ifdef BENCH_HAVE_ZMQ
    std::unique_ptr<ZmqBus> zmq;
#endif
};

// ---- Measuring --------------------------------------------------------------------------------

enum class Bus { Baseline, RecordBaseline, Core, ZeroMQ };

struct Measurement {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    uint64_t events = 0;
    CallCounts counts;

    double EventsPerSecond() const { return static_cast<double>(events) / wallSeconds; }
    double CpuNsPerEvent() const { return cpuSeconds * 1e9 / static_cast<double>(events); }
    double Per(uint64_t n) const { return static_cast<double>(n) / static_cast<double>(events); }
};

uint64_t BoundFor(uint32_t payload) {
    if (payload == 0) return kMaxOutstanding;
    return std::max<uint64_t>(4, std::min<uint64_t>(kMaxOutstanding, outstandingBytes / payload));
}

// Stream: raisers raise as fast as the bound lets them while the delivery thread drains, so
// whether the delivery thread sleeps between events depends on which side is faster.
// Batch: each burst of `bound` events is raised in full before the first subscriber sees its
// first event, then drained; every thread sleeps and wakes once per burst, the same for both
// buses, and what remains per event is the buses' own work.
enum class Mode { Stream, Batch };

const char* ModeName(Mode mode) { return mode == Mode::Stream ? "stream" : "batch"; }

Measurement Run(Setup& setup, Bus bus, Mode mode, uint32_t subscribers, uint32_t threads,
                uint32_t payload, uint64_t events) {
    const uint64_t bound = BoundFor(payload);
    // Whole bursts, each shared evenly by the raisers.
    const uint64_t burst = mode == Mode::Batch ? bound / threads * threads : 0;
    if (mode == Mode::Batch) events = std::max<uint64_t>(1, events / burst) * burst;
    const uint64_t perThread = events / threads;
    events = perThread * threads;
    RunState state(subscribers, payload, events, bound, burst);
    state.raisers = threads;
    std::vector<std::vector<uint8_t>> buffers(threads);
    for (uint32_t t = 0; t < threads; ++t) buffers[t].assign(payload, static_cast<uint8_t>(t + 1));
    currentRun.store(&state, std::memory_order_release);

    Measurement m;
    m.events = events;
    const CallCounts countsBefore = ProcessCounts();
    const double cpuBefore = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wallBefore = Seconds(CLOCK_MONOTONIC);
    std::vector<std::thread> raisers;
    for (uint32_t t = 0; t < threads; ++t) {
        raisers.emplace_back([&, t] {
            const _EventParmsIn event = BenchEvent(payload != 0 ? buffers[t].data() : nullptr,
                                                   payload);
            const uint64_t share = burst != 0 ? burst / threads : 0;
            for (uint64_t i = 0; i < perThread; ++i) {
                if (burst == 0) state.throttle.Acquire();
                _EventParmsIn in = event;
                _EventParmsOut out{sizeof out, 1, 0};
                if (bus == Bus::Core)
                    FlatPluginEvent(&in, &out);
#ifdef BENCH_HAVE_ZMQ
                else if (bus == Bus::ZeroMQ)
                    setup.Zmq().Raise(t, in, &out);
#endif
                else if (bus == Bus::Baseline)
                    setup.Base().Raise(in, &out);
                else
                    setup.RecordBase().Raise(in, &out);
                if (out.result != 0) state.refused.fetch_add(1);
                if (share != 0 && (i + 1) % share == 0) state.FinishBurst(i / share, threads);
            }
        });
    }
    state.WaitDone();
    m.wallSeconds = Seconds(CLOCK_MONOTONIC) - wallBefore;
    m.cpuSeconds = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    m.counts = ProcessCounts() - countsBefore;
    for (std::thread& raiser : raisers) raiser.join();
    currentRun.store(nullptr, std::memory_order_release);

    if (state.refused.load() != 0 || state.wrongData != 0 || setup.RecordBase().Failures() != 0)
        throw std::runtime_error("events refused or delivered wrongly");
    for (uint32_t i = 0; i < subscribers; ++i)
        if (state.perSubscriber[i] != events)
            throw std::runtime_error("subscriber " + std::to_string(i) + " got " +
                                     std::to_string(state.perSubscriber[i]) + " of " +
                                     std::to_string(events) + " events");
    return m;
}

#ifdef BENCH_HAVE_ZMQ
constexpr int kBuses = 4;
const Bus kAllBuses[kBuses] = {Bus::Baseline, Bus::RecordBaseline, Bus::Core, Bus::ZeroMQ};
#else
constexpr int kBuses = 3;
const Bus kAllBuses[kBuses] = {Bus::Baseline, Bus::RecordBaseline, Bus::Core};
#endif

// Median and spread of one bus's runs in one case.
struct Summary {
    Measurement median;  // the run with the median CPU time per event
    double spread = 0;   // (max - min) / 2 of CPU time per event, relative to the median

    double Cpu() const { return median.CpuNsPerEvent(); }
};

struct CaseResult {
    Mode mode;
    uint32_t subscribers, threads, payload;
    Summary bus[kBuses];  // indexed like kAllBuses

    const Summary& Of(Bus b) const { return bus[static_cast<int>(b)]; }
    double Ratio() const { return Of(Bus::Core).Cpu() / Of(Bus::Baseline).Cpu(); }
    double RecordRatio() const { return Of(Bus::Core).Cpu() / Of(Bus::RecordBaseline).Cpu(); }
};

std::string PayloadName(uint32_t payload) {
    if (payload == 0) return "0 B";
    if (payload % (1u << 20) == 0) return std::to_string(payload >> 20) + " MiB";
    if (payload % 1024 == 0) return std::to_string(payload >> 10) + " KiB";
    return std::to_string(payload) + " B";
}

std::string Rate(double perSecond) {
    char text[32];
    if (perSecond >= 1e6)
        std::snprintf(text, sizeof text, "%.2f M", perSecond / 1e6);
    else if (perSecond >= 1e3)
        std::snprintf(text, sizeof text, "%.1f k", perSecond / 1e3);
    else
        std::snprintf(text, sizeof text, "%.0f", perSecond);
    return text;
}

std::string Ns(double ns) {
    char text[32];
    if (ns >= 10000)
        std::snprintf(text, sizeof text, "%.1f µs", ns / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    return text;
}

uint64_t EventsFor(uint32_t payload, double scale) {
    // Enough events for runs of a tenth of a second or more on a small machine.
    uint64_t events = payload <= 1024 ? 300000 : payload <= 65536 ? 20000 : 1000;
    return std::max<uint64_t>(16, static_cast<uint64_t>(static_cast<double>(events) * scale));
}

Summary Summarise(std::vector<Measurement> runs) {
    auto byCpu = [](const Measurement& a, const Measurement& b) {
        return a.CpuNsPerEvent() < b.CpuNsPerEvent();
    };
    std::sort(runs.begin(), runs.end(), byCpu);
    Summary summary;
    summary.median = runs[runs.size() / 2];
    summary.spread = (runs.back().CpuNsPerEvent() - runs.front().CpuNsPerEvent()) / 2 /
                     summary.median.CpuNsPerEvent();
    return summary;
}

CaseResult MeasureCase(Setup& setup, Mode mode, uint32_t subscribers, uint32_t threads,
                       uint32_t payload, int reps, double scale) {
    const uint64_t events = EventsFor(payload, scale);
    // Warm every bus (allocator arenas, queue blocks, caches) before measuring.
    for (Bus bus : kAllBuses) Run(setup, bus, mode, subscribers, threads, payload, events / 10 + 1);
    std::vector<Measurement> runs[kBuses];
    // The buses take turns, each repetition starting with another one, so that slow drifts of
    // the machine spread over all of them.
    for (int r = 0; r < reps; ++r)
        for (int i = 0; i < kBuses; ++i) {
            const int b = (r + i) % kBuses;
            runs[b].push_back(Run(setup, kAllBuses[b], mode, subscribers, threads, payload, events));
        }
    CaseResult result{mode, subscribers, threads, payload, {}};
    for (int b = 0; b < kBuses; ++b) result.bus[b] = Summarise(runs[b]);
    std::fprintf(stderr, "%-6s %2u subscribers, %u raisers, %-7s: core %s, baseline %s (%s with "
                 "records): %.2f (%.2f)\n",
                 ModeName(mode), subscribers, threads, PayloadName(payload).c_str(),
                 Ns(result.Of(Bus::Core).Cpu()).c_str(), Ns(result.Of(Bus::Baseline).Cpu()).c_str(),
                 Ns(result.Of(Bus::RecordBaseline).Cpu()).c_str(), result.Ratio(),
                 result.RecordRatio());
    return result;
}

// ---- The log gate -------------------------------------------------------------------------------

void ShowLogGate(BenchCore& core) {
    constexpr uint64_t kCalls = 1000000;
    constexpr int32_t kUntouched = 777;
    core.SetLogLevel(BENCH_RAISER_ID, 50);
    static const char text[] = "a message below the module's level, stopped by the gate";

    _EventParmsIn message{};
    message.size = sizeof message;
    message.version = 1;
    message.length = sizeof text;
    message.data = const_cast<char*>(text);
    message.source = BENCH_RAISER_ID;
    message.classFlags = DVR_CLASS_LOG;
    message.code = DVR_CODE_LOG_MESSAGE;
    message.level = 10;

    _EventParmsIn query = message;
    query.length = 0;
    query.data = nullptr;
    query.code = DVR_CODE_LEVEL_QUERY;

    std::printf("\n## Log gate (raising thread's own counts; level of module 0x%02X set to 50)\n\n",
                DVR_MODULE_NUMBER(BENCH_RAISER_ID));
    std::printf("| event | calls | result as expected | mallocs | frees | locks | CPU per call |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    auto measure = [&](const char* name, const _EventParmsIn& event, int32_t expected) {
        uint64_t good = 0;
        const CallCounts before = ThreadCounts();
        const double cpuBefore = Seconds(CLOCK_THREAD_CPUTIME_ID);
        for (uint64_t i = 0; i < kCalls; ++i) {
            _EventParmsIn in = event;
            _EventParmsOut out{sizeof out, 1, kUntouched};
            FlatPluginEvent(&in, &out);
            good += out.result == expected ? 1 : 0;
        }
        const double cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
        const CallCounts used = ThreadCounts() - before;
        std::printf("| %s | %llu | %llu | %llu | %llu | %llu | %.1f ns |\n", name,
                    static_cast<unsigned long long>(kCalls), static_cast<unsigned long long>(good),
                    static_cast<unsigned long long>(used.mallocs),
                    static_cast<unsigned long long>(used.frees),
                    static_cast<unsigned long long>(used.locks), cpu * 1e9 / kCalls);
        if (good != kCalls || used.mallocs != 0 || used.frees != 0 || used.locks != 0)
            std::printf("\nFAILED: %s allocated, locked or answered wrongly\n", name);
    };
    measure("log message at level 10, stopped", message, kUntouched);
    measure("level query", query, 50);
    core.SetLogLevel(BENCH_RAISER_ID, -1);
}

// The same counters see the allocations and the lock of an event that is queued.
void ShowQueuedEventCounts() {
    constexpr uint64_t kEvents = 1000;
    constexpr uint32_t kPayload = 1024;
    std::vector<uint8_t> buffer(kPayload, 1);
    RunState state(1, kPayload, kEvents, BoundFor(kPayload), 0);
    currentRun.store(&state, std::memory_order_release);
    const CallCounts before = ThreadCounts();
    for (uint64_t i = 0; i < kEvents; ++i) {
        state.throttle.Acquire();
        _EventParmsIn in = BenchEvent(buffer.data(), kPayload);
        _EventParmsOut out{sizeof out, 1, 0};
        FlatPluginEvent(&in, &out);
    }
    const CallCounts used = ThreadCounts() - before;
    state.WaitDone();
    currentRun.store(nullptr, std::memory_order_release);
    std::printf("| queued 1 KiB event (for comparison) | %llu | %llu | %llu | %llu | %llu | |\n",
                static_cast<unsigned long long>(kEvents),
                static_cast<unsigned long long>(state.completed),
                static_cast<unsigned long long>(used.mallocs),
                static_cast<unsigned long long>(used.frees),
                static_cast<unsigned long long>(used.locks));
}

// ---- Command line and report --------------------------------------------------------------------

std::string CpuModel() {
    std::ifstream file("/proc/cpuinfo");
    for (std::string line; std::getline(file, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

void Usage(const char* program) {
    std::fprintf(stderr,
                 "Usage: %s [--reps N] [--scale F] [--subscribers 1,4,16] [--threads 1,4]\n"
                 "          [--payloads 0,1K,64K,1M] [--modes batch,stream] [--gate yes|no]\n"
                 "          [--allocator core|default] [--malloc-trim BYTES] [--malloc-mmap BYTES]\n"
                 "          [--outstanding-bytes BYTES]\n"
                 "          [--subscriber-plugin PATH]\n",
                 program);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    double scale = 1.0;
    std::vector<uint32_t> subscriberCounts = {1, 4, 16};
    std::vector<uint32_t> threadCounts = {1, 4};
    std::vector<uint32_t> payloads = {0, 1024, 65536, 1u << 20};
    std::vector<Mode> modes = {Mode::Batch, Mode::Stream};
    bool showGate = true;
    bool coreAllocator = true;  // the core's own settings, as its main applies them
    long trimThreshold = -1;  // glibc defaults unless given
    long mmapThreshold = -1;
    fs::path plugin = BENCH_SUBSCRIBER_PLUGIN;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            Usage(argv[0]);
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--reps")
            reps = std::max(1, std::atoi(value));
        else if (arg == "--scale")
            scale = std::atof(value);
        else if (arg == "--subscribers")
            subscriberCounts = ParseList(value);
        else if (arg == "--threads")
            threadCounts = ParseList(value);
        else if (arg == "--payloads")
            payloads = ParseList(value);
        else if (arg == "--malloc-trim")
            trimThreshold = std::atol(value);
        else if (arg == "--malloc-mmap")
            mmapThreshold = std::atol(value);
        else if (arg == "--outstanding-bytes")
            outstandingBytes = std::max<uint64_t>(1, std::strtoull(value, nullptr, 10));
        else if (arg == "--allocator")
            coreAllocator = std::string(value) != "default";
        else if (arg == "--gate")
            showGate = std::string(value) != "no";
        else if (arg == "--modes") {
            modes.clear();
            const std::string list = value;
            if (list.find("batch") != std::string::npos) modes.push_back(Mode::Batch);
            if (list.find("stream") != std::string::npos) modes.push_back(Mode::Stream);
        } else if (arg == "--subscriber-plugin")
            plugin = value;
        else {
            Usage(argv[0]);
            return 2;
        }
    }
    for (uint32_t n : subscriberCounts)
        if (n == 0 || n > kMaxSubscribers) {
            std::fprintf(stderr, "subscribers must be 1..%u\n", kMaxSubscribers);
            return 2;
        }
    for (uint32_t n : threadCounts)
        if (n == 0) {
            std::fprintf(stderr, "threads must be at least 1\n");
            return 2;
        }

    // Allocator settings for the whole process, so for every bus alike: the core's own, then
    // any given here on top.
    if (coreAllocator && !ConfigureAllocator()) return 1;
    if (trimThreshold >= 0 && mallopt(M_TRIM_THRESHOLD, static_cast<int>(trimThreshold)) == 0)
        std::fprintf(stderr, "mallopt(M_TRIM_THRESHOLD) failed\n");
    if (mmapThreshold >= 0 && mallopt(M_MMAP_THRESHOLD, static_cast<int>(mmapThreshold)) == 0)
        std::fprintf(stderr, "mallopt(M_MMAP_THRESHOLD) failed\n");

    utsname host{};
    uname(&host);
    std::printf("# Event bus benchmark\n\n");
    std::printf("- machine: %s %s, %s, %ld CPUs online\n", host.sysname, host.machine,
                CpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("- kernel %s, glibc %s, compiler %s, build type %s\n", host.release,
                gnu_get_libc_version(), __VERSION__, BENCH_BUILD_TYPE);
    std::printf("- load average at start: %s\n", LoadAverage().c_str());
    std::printf("- the core's watch marks and counters: %s\n",
                kFieldMarks ? "on, as the core runs" : "compiled out (DVRCORE_NO_FIELD_MARKS)");
    if (coreAllocator)
        std::printf("- allocator: the core's settings (mmap threshold %u KiB, trim threshold %u KiB, "
                    "%u arenas)\n",
                    kFrameAllocator.mmapThreshold >> 10, kFrameAllocator.trimThreshold >> 10,
                    kFrameAllocator.arenas);
    else
        std::printf("- allocator: glibc defaults (dynamic mmap and trim thresholds)\n");
    if (trimThreshold >= 0 || mmapThreshold >= 0)
        std::printf("- then M_TRIM_THRESHOLD %ld, M_MMAP_THRESHOLD %ld (-1: unchanged)\n",
                    trimThreshold, mmapThreshold);
#ifdef BENCH_HAVE_ZMQ
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    std::printf("- ZeroMQ %d.%d.%d: in-process PUB/SUB as a fourth bus\n", major, minor, patch);
#else
    std::printf("- ZeroMQ: not built (libzmq not found when the benchmark was configured)\n");
#endif
    std::printf("- %d runs per bus and case, alternating; medians of CPU time per event; "
                "scale %.2f\n",
                reps, scale);
    std::printf("- bound: at most min(%llu, %llu MiB / payload) events raised but not yet "
                "delivered, for both buses\n",
                static_cast<unsigned long long>(kMaxOutstanding),
                static_cast<unsigned long long>(outstandingBytes >> 20));
    std::fflush(stdout);

    const fs::path startDirectory = fs::current_path();
    char pattern[] = "/tmp/dvrcore-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;

    std::vector<CaseResult> results;
    bool gateShown = false;
    int status = 0;
    try {
        for (uint32_t subscribers : subscriberCounts) {
            Setup setup(root, plugin, subscribers,
                        *std::max_element(threadCounts.begin(), threadCounts.end()));
            for (Mode mode : modes)
                for (uint32_t payload : payloads)
                    for (uint32_t threads : threadCounts)
                        results.push_back(
                            MeasureCase(setup, mode, subscribers, threads, payload, reps, scale));
            if (showGate && !gateShown) {
                ShowLogGate(setup.Core());
                ShowQueuedEventCounts();
                gateShown = true;
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        status = 1;
    }
    fs::current_path(startDirectory);
    boost::system::error_code ignored;
    fs::remove_all(root, ignored);

    for (Mode mode : modes) {
        std::printf("\n## Results, %s mode\n\n", ModeName(mode));
        std::printf(
            "CPU = process CPU time per delivered event, all threads, median of the runs (half "
            "the min-max spread in brackets).\nrate = delivered events per second of wall time, "
            "median run. allocs = heap allocations per event, whole process.\n"
            "baseline = the minimal bus; +records = the minimal bus plus a fresh Write record "
            "per subscriber call, through the plugin's Write entry.\n\n");
        std::printf("| subs | raisers | payload | baseline rate | baseline CPU | +records CPU | "
                    "core rate | core CPU | core / baseline | **core / +records** | allocs "
                    "baseline | allocs core |%s\n",
                    kBuses > 3 ? " ZeroMQ rate | ZeroMQ CPU | core / ZeroMQ |" : "");
        std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|%s\n",
                    kBuses > 3 ? "---:|---:|---:|" : "");
        double worst = 0;
        for (const CaseResult& r : results) {
            if (r.mode != mode) continue;
            worst = std::max(worst, r.RecordRatio());
            const Summary& base = r.Of(Bus::Baseline);
            const Summary& records = r.Of(Bus::RecordBaseline);
            const Summary& core = r.Of(Bus::Core);
            std::printf("| %u | %u | %s | %s/s | %s (±%.0f%%) | %s (±%.0f%%) | %s/s | %s (±%.0f%%) "
                        "| %.2f | **%.2f** | %.2f | %.2f |",
                        r.subscribers, r.threads, PayloadName(r.payload).c_str(),
                        Rate(base.median.EventsPerSecond()).c_str(), Ns(base.Cpu()).c_str(),
                        base.spread * 100, Ns(records.Cpu()).c_str(), records.spread * 100,
                        Rate(core.median.EventsPerSecond()).c_str(), Ns(core.Cpu()).c_str(),
                        core.spread * 100, r.Ratio(), r.RecordRatio(),
                        base.median.Per(base.median.counts.mallocs),
                        core.median.Per(core.median.counts.mallocs));
#ifdef BENCH_HAVE_ZMQ
            const Summary& zmq = r.Of(Bus::ZeroMQ);
            std::printf(" %s/s | %s (±%.0f%%) | %.2f |", Rate(zmq.median.EventsPerSecond()).c_str(),
                        Ns(zmq.Cpu()).c_str(), zmq.spread * 100, core.Cpu() / zmq.Cpu());
#endif
            std::printf("\n");
        }
        // The target is against what the interface asks of any bus: the records included.
        std::printf("\nWorst core / +records CPU ratio, %s mode: %.2f (target in batch mode: at "
                    "most 1.25)\n",
                    ModeName(mode), worst);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\n- load average at end: %s\n", LoadAverage().c_str());
    std::printf("- peak resident size of the process: %ld MiB\n", usage.ru_maxrss / 1024);
    return status;
}
