// Recorder benchmark: the core carrying a recorder's video, against the minimal bus on the
// same work, in one process.
//
// N camera channels, each a thread of its own, raise video frames (class 0, the video code,
// every 25th a key frame) of seeded sizes: 100 to 200 KiB for a key frame, 5 to 40 KiB between.
// Three subscriber plugins take them as on a device: a recorder keeps every frame pending and
// gives it back from its storage thread after a delay, a live view looks at every frame, a
// motion detector reads one in five. The minimal bus copies each frame, queues it under a mutex,
// hands it to one consumer thread that calls the same three plugins, and frees it when the
// recorder gives it back.
//
// Paced: every channel raises 25 frames per second of wall time; CPU is reported as a share of
// one core. Unpaced: the cameras raise as fast as a bound on undelivered frames lets them.
// Per run: CPU share, page faults per frame (ru_minflt), peak and final resident size (sampled
// from /proc/self/statm), raise-to-Write latency of each frame's first subscriber call.
//
// --soak FRAMES runs the core alone, unpaced, and writes the resident size over time to a file.

#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
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

#include "bench/bench_tools.h"
#include "bench/recorder_bench.h"
#include "core/allocator.h"
#include "bench/bench_core.h"
#include "core/dvrcore.h"
#include "housekeeping/resident_memory.h"

namespace fs = boost::filesystem;

namespace {

constexpr uint32_t kFramesPerSecond = 25;
constexpr uint32_t kKeyFrameInterval = 25;
constexpr uint32_t kMaxFrame = 200u << 10;

uint64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Log-linear histogram of nanoseconds, 32 steps per power of two (about 3 %).
class Histogram {
public:
    void Add(uint64_t ns) {
        ++buckets[Index(ns)];
        ++count;
        maximum = std::max(maximum, ns);
    }
    uint64_t Quantile(double q) const {
        if (count == 0) return 0;
        const uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(count - 1)) + 1;
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += buckets[i];
            if (seen >= rank) return std::min(Upper(i), maximum);
        }
        return maximum;
    }
    uint64_t Max() const { return maximum; }

private:
    static constexpr size_t kBuckets = 64 + 58 * 32;
    static size_t Index(uint64_t v) {
        if (v < 64) return static_cast<size_t>(v);
        const int e = 63 - __builtin_clzll(v);
        return static_cast<size_t>(64 + (e - 6) * 32 + ((v >> (e - 5)) & 31));
    }
    static uint64_t Upper(size_t i) {
        if (i < 64) return i;
        const int e = static_cast<int>((i - 64) / 32) + 6;
        const uint64_t sub = (i - 64) % 32;
        return ((32 + sub + 1) << (e - 5)) - 1;
    }
    uint64_t buckets[kBuckets] = {};
    uint64_t count = 0;
    uint64_t maximum = 0;
};

struct RunState {
    RunState(uint32_t channels, uint64_t target, int64_t bound)
        : channels(channels), target(target), throttle(bound) {}
    const uint32_t channels;
    const uint64_t target;  // frames raised in the run
    Throttle throttle;
    // The delivering thread's (one per bus): every frame's three calls come one after another.
    uint32_t callsOfFrame = 0;
    uint64_t perRole[RECORDER_ROLES] = {};
    uint64_t wrong = 0;
    Histogram latency;
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> refused{0};
    int32_t lastRefusal = 0;
    std::mutex mutex;
    std::condition_variable condition;

    void Settled() {
        if (delivered.load() + refused.load() != target) return;
        std::lock_guard<std::mutex> lock(mutex);
        condition.notify_all();
    }
    bool WaitDone(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return condition.wait_for(lock, limit,
                                  [this] { return delivered.load() + refused.load() == target; });
    }
};

std::atomic<RunState*> currentRun{nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) void RecorderBenchSeen(uint32_t role,
                                                                         const void* data,
                                                                         uint32_t length) {
    RunState* run = currentRun.load(std::memory_order_acquire);
    if (run == nullptr || role >= RECORDER_ROLES) return;
    const auto* header = static_cast<const RecorderFrameHeader*>(data);
    if (data == nullptr || length < sizeof *header || header->length != length ||
        header->magic != RECORDER_FRAME_MAGIC || header->channel >= run->channels)
        ++run->wrong;
    ++run->perRole[role];
    if (run->callsOfFrame++ == 0 && data != nullptr) run->latency.Add(NowNs() - header->raisedNs);
    if (run->callsOfFrame < RECORDER_ROLES) return;
    run->callsOfFrame = 0;
    run->delivered.fetch_add(1);
    run->throttle.Release();
    run->Settled();
}

namespace {

// ---- The minimal bus ---------------------------------------------------------------------------

struct Subscribers {
    RecorderKeepEntry keep = nullptr;
    RecorderNotifyEntry liveView = nullptr;
    RecorderNotifyEntry motion = nullptr;
};

void FreeBlock(void* block) { std::free(block); }

class Baseline {
public:
    explicit Baseline(Subscribers subscribers)
        : subscribers(subscribers), consumer([this] { Consume(); }) {}
    ~Baseline() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        condition.notify_one();
        consumer.join();
    }
    int32_t Raise(const void* data, uint32_t length) {
        void* copy = std::malloc(length);
        if (copy == nullptr) return DVR_RESULT_NO_MEMORY;
        std::memcpy(copy, data, length);
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.emplace_back(copy, length);
        }
        condition.notify_one();
        return DVR_RESULT_OK;
    }

private:
    void Consume() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            condition.wait(lock, [this] { return !queue.empty() || stop; });
            if (queue.empty()) return;
            const std::pair<void*, uint32_t> frame = queue.front();
            queue.pop_front();
            lock.unlock();
            subscribers.liveView(frame.first, frame.second);
            subscribers.motion(frame.first, frame.second);
            subscribers.keep(frame.first, frame.second, FreeBlock);  // the recorder frees it
            lock.lock();
        }
    }

    const Subscribers subscribers;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<std::pair<void*, uint32_t>> queue;
    bool stop = false;
    std::thread consumer;
};

// ---- The real core -----------------------------------------------------------------------------

const char* const kRoleFiles[RECORDER_ROLES] = {"rec_recorder.so", "rec_live_view.so",
                                                "rec_motion.so"};

class Setup {
public:
    Setup(const fs::path& root, const fs::path& pluginDirectory)
        : directory(root) {
        fs::create_directories(directory / "plugins");
        for (const char* file : kRoleFiles)
            fs::copy_file(pluginDirectory / file, directory / "plugins" / file,
                          fs::copy_option::overwrite_if_exists);
        fs::current_path(directory);
        core = std::make_unique<BenchCore>((directory / "dvrcore").string());
        runner = std::thread([this] { core->Start(); });
        core->WaitStarted();
        if (core->PluginCount() != RECORDER_ROLES)
            throw std::runtime_error("the core loaded " + std::to_string(core->PluginCount()) +
                                     " of 3 subscribers");
        Subscribers entries;
        for (int role = 0; role < RECORDER_ROLES; ++role) {
            const std::string path = (directory / "plugins" / kRoleFiles[role]).string();
            void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
            if (handle == nullptr) throw std::runtime_error("subscriber not loaded: " + path);
            handles.push_back(handle);
            if (role == RECORDER_ROLE_RECORDER) {
                entries.keep = reinterpret_cast<RecorderKeepEntry>(dlsym(handle, RECORDER_KEEP_SYMBOL));
                kept = reinterpret_cast<RecorderKeptEntry>(dlsym(handle, RECORDER_KEPT_SYMBOL));
                setDelay = reinterpret_cast<RecorderSetDelayEntry>(
                    dlsym(handle, RECORDER_SET_DELAY_SYMBOL));
                if (entries.keep == nullptr || kept == nullptr || setDelay == nullptr)
                    throw std::runtime_error("missing entries in " + path);
            } else {
                auto notify = reinterpret_cast<RecorderNotifyEntry>(
                    dlsym(handle, RECORDER_NOTIFY_SYMBOL));
                if (notify == nullptr) throw std::runtime_error("missing entries in " + path);
                (role == RECORDER_ROLE_LIVE_VIEW ? entries.liveView : entries.motion) = notify;
            }
        }
        baseline = std::make_unique<Baseline>(entries);
    }
    ~Setup() {
        baseline.reset();
        for (void* handle : handles) dlclose(handle);
        core->RequestStop();
        runner.join();
        core.reset();
        fs::current_path(directory.parent_path());
    }
    void SetStorageDelay(uint32_t microseconds) { setDelay(microseconds); }
    BenchCore& Core() { return *core; }
    Baseline& Base() { return *baseline; }
    // Waits, with a bound, until the recorder has given back every frame it kept.
    bool WaitStored() const {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (kept() != 0)
            if (std::chrono::steady_clock::now() > limit)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
    }

private:
    fs::path directory;
    std::vector<void*> handles;
    std::unique_ptr<BenchCore> core;
    std::thread runner;
    std::unique_ptr<Baseline> baseline;
    RecorderKeptEntry kept = nullptr;
    RecorderSetDelayEntry setDelay = nullptr;
};

// ---- Cameras -----------------------------------------------------------------------------------

// Seeded per channel, so that every bus and every run sees the same frame sizes.
class FrameSizes {
public:
    explicit FrameSizes(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull | 1) {}
    uint32_t Next(bool key) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const uint32_t low = key ? 100u << 10 : 5u << 10;
        const uint32_t high = key ? 200u << 10 : 40u << 10;
        return low + static_cast<uint32_t>(state % (high - low + 1));
    }

private:
    uint64_t state;
};

enum class Bus { Core, Baseline };
enum class Pace { Paced, Unpaced };

struct Sample {
    double seconds;
    uint64_t frames;
    uint64_t resident;
};

struct Result {
    Bus bus = Bus::Core;
    Pace pace = Pace::Paced;
    uint32_t channels = 0;
    uint64_t frames = 0;
    double wall = 0, cpu = 0;
    long faults = 0;
    uint64_t residentBefore = 0, peak = 0, final = 0;
    uint64_t p50 = 0, p99 = 0, max = 0;
    uint64_t refused = 0;
    bool throttled = false;
    std::vector<Sample> samples;
};

struct Options {
    uint32_t seconds = 10;          // paced
    uint64_t frames = 400000;       // unpaced
    // A recorder's write to disk completes after about 100 ms; unpaced, the cameras raise ten
    // times faster or more and a shorter delay keeps the frames in flight to a similar amount.
    uint32_t storageDelayUs = 100000;          // paced
    uint32_t unpacedStorageDelayUs = 2000;     // unpaced
    uint32_t bound = 256;           // unpaced: frames raised and not yet delivered
    uint32_t sampleMs = 20;
};

Result Run(Setup& setup, Bus bus, Pace pace, uint32_t channels, const Options& options);

Options WarmUp(Options options) {
    options.frames = 5000;
    return options;
}

Result Run(Setup& setup, Bus bus, Pace pace, uint32_t channels, const Options& options) {
    setup.SetStorageDelay(pace == Pace::Paced ? options.storageDelayUs
                                              : options.unpacedStorageDelayUs);
    const uint64_t perChannel = pace == Pace::Paced
                                    ? static_cast<uint64_t>(options.seconds) * kFramesPerSecond
                                    : std::max<uint64_t>(kKeyFrameInterval, options.frames / channels);
    RunState state(channels, perChannel * channels, options.bound);
    currentRun.store(&state, std::memory_order_release);
    Result result;
    result.bus = bus;
    result.pace = pace;
    result.channels = channels;
    result.residentBefore = ReadResidentBytes();

    // Room for every sample up front: a vector that grew during the run would put its new
    // buffer above the frames in the heap and keep the freed frames below it resident.
    result.samples.reserve(static_cast<size_t>(
        (pace == Pace::Paced ? options.seconds + 5.0
                             : static_cast<double>(perChannel * channels) / 20000 + 60) *
        1000 / options.sampleMs));
    std::atomic<bool> sampling{true};
    const uint64_t startNs = NowNs();
    std::thread sampler([&] {
        while (sampling.load()) {
            const uint64_t bytes = ReadResidentBytes();
            result.peak = std::max(result.peak, bytes);
            result.samples.push_back({static_cast<double>(NowNs() - startNs) * 1e-9,
                                      state.delivered.load(), bytes});
            std::this_thread::sleep_for(std::chrono::milliseconds(options.sampleMs));
        }
    });

    // The cameras' own frame buffers are written before the measurement starts: their page
    // faults are the benchmark's, not the bus's.
    std::vector<std::vector<uint8_t>> buffers(channels, std::vector<uint8_t>(kMaxFrame));
    for (uint32_t c = 0; c < channels; ++c)
        for (size_t i = 0; i < kMaxFrame; ++i) buffers[c][i] = static_cast<uint8_t>(i * 7 + c);
    const long faultsBefore = MinorFaults();
    const double cpuBefore = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t periodNs = 1000000000u / kFramesPerSecond;
    std::vector<std::thread> cameras;
    for (uint32_t c = 0; c < channels; ++c) {
        cameras.emplace_back([&, c] {
            std::vector<uint8_t>& frame = buffers[c];
            FrameSizes sizes(c + 1);
            // Cameras are not in step: each starts at its own phase of the frame period.
            const uint64_t phase = periodNs * c / channels;
            for (uint64_t k = 0; k < perChannel; ++k) {
                if (pace == Pace::Paced) {
                    const uint64_t due = startNs + phase + k * periodNs;
                    const timespec at{static_cast<time_t>(due / 1000000000u),
                                      static_cast<long>(due % 1000000000u)};
                    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
                    }
                } else {
                    state.throttle.Acquire();
                }
                const bool key = k % kKeyFrameInterval == 0;
                const uint32_t length = sizes.Next(key);
                RecorderFrameHeader header{c, static_cast<uint32_t>(k), NowNs(), length,
                                           RECORDER_FRAME_MAGIC};
                std::memcpy(frame.data(), &header, sizeof header);
                int32_t outcome;
                if (bus == Bus::Core) {
                    _EventParmsIn in = DVR_EVENT_IN_INIT;
                    in.length = length;
                    in.data = frame.data();
                    in.source = RECORDER_CAMERA_ID(c);
                    in.classFlags = DVR_CLASS_0;
                    in.code = DVR_CODE_VIDEO_FRAME;
                    in.keyFrame = key ? 1 : 0;
                    _EventParmsOut out = DVR_EVENT_OUT_INIT;
                    FlatPluginEvent(&in, &out);
                    outcome = out.result;
                } else {
                    outcome = setup.Base().Raise(frame.data(), length);
                }
                if (outcome != DVR_RESULT_OK) {
                    state.lastRefusal = outcome;
                    state.refused.fetch_add(1);
                    if (pace == Pace::Unpaced) state.throttle.Release();
                    state.Settled();
                }
            }
        });
    }
    for (std::thread& camera : cameras) camera.join();
    const bool done = state.WaitDone(std::chrono::seconds(120));
    result.wall = static_cast<double>(NowNs() - startNs) * 1e-9;
    result.cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    result.faults = MinorFaults() - faultsBefore;
    const bool stored = setup.WaitStored();
    sampling.store(false);
    sampler.join();
    currentRun.store(nullptr, std::memory_order_release);
    result.final = ReadResidentBytes();
    result.peak = std::max(result.peak, result.final);
    result.frames = state.delivered.load();
    result.refused = state.refused.load();
    result.p50 = state.latency.Quantile(0.5);
    result.p99 = state.latency.Quantile(0.99);
    result.max = state.latency.Max();
    result.throttled = setup.Core().Throttled();
    if (!done || !stored) throw std::runtime_error("frames were not delivered or not given back");
    for (uint64_t count : state.perRole)
        if (count != result.frames) throw std::runtime_error("a subscriber missed frames");
    if (state.wrong != 0) throw std::runtime_error("frames arrived damaged");
    return result;
}

std::string MiB(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

std::string Us(uint64_t ns) {
    char text[32];
    if (ns >= 10000000)
        std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ns) / 1e6);
    else
        std::snprintf(text, sizeof text, "%.0f µs", static_cast<double>(ns) / 1e3);
    return text;
}

void PrintRow(const Result& r) {
    const double fps = static_cast<double>(r.frames) / r.wall;
    std::printf("| %s | %s | %u | %llu | %.1f s | %.0f/s | %.1f %% | %.2f µs | %.3f | %s | %s | %s | "
                "%s / %s / %s | %llu%s |\n",
                r.pace == Pace::Paced ? "paced" : "unpaced",
                r.bus == Bus::Core ? "core" : "baseline", r.channels,
                static_cast<unsigned long long>(r.frames), r.wall, fps, 100 * r.cpu / r.wall,
                r.cpu * 1e6 / static_cast<double>(r.frames),
                static_cast<double>(r.faults) / static_cast<double>(r.frames),
                MiB(r.residentBefore).c_str(), MiB(r.peak).c_str(), MiB(r.final).c_str(),
                Us(r.p50).c_str(), Us(r.p99).c_str(), Us(r.max).c_str(),
                static_cast<unsigned long long>(r.refused), r.throttled ? " (throttled)" : "");
    std::fflush(stdout);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        if (comma > at) words.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return words;
}

void Usage(const char* program) {
    std::fprintf(stderr,
                 "Usage: %s [--channels 16,32,64] [--modes paced,unpaced] [--buses core,baseline]\n"
                 "          [--seconds S] [--frames N] [--reps N] [--storage-delay-us US]\n"
                 "          [--unpaced-storage-delay-us US]\n"
                 "          [--bound FRAMES] [--allocator tuned|default]\n"
                 "          [--soak FRAMES --soak-channels N --soak-log FILE]\n",
                 program);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<uint32_t> channelCounts = {16, 32, 64};
    std::vector<Pace> paces = {Pace::Paced, Pace::Unpaced};
    std::vector<Bus> buses = {Bus::Core, Bus::Baseline};
    int reps = 1;
    bool tuned = true;
    uint64_t soakFrames = 0;
    uint32_t soakChannels = 16;
    std::string soakLog = "soak.csv";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            Usage(argv[0]);
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--channels")
            channelCounts = ParseList(value);
        else if (arg == "--modes") {
            paces.clear();
            for (const std::string& word : Words(value))
                paces.push_back(word == "unpaced" ? Pace::Unpaced : Pace::Paced);
        } else if (arg == "--buses") {
            buses.clear();
            for (const std::string& word : Words(value))
                buses.push_back(word == "baseline" ? Bus::Baseline : Bus::Core);
        } else if (arg == "--seconds")
            options.seconds = static_cast<uint32_t>(std::stoul(value));
        else if (arg == "--frames")
            options.frames = std::stoull(value);
        else if (arg == "--reps")
            reps = std::max(1, std::stoi(value));
        else if (arg == "--storage-delay-us")
            options.storageDelayUs = static_cast<uint32_t>(std::stoul(value));
        else if (arg == "--unpaced-storage-delay-us")
            options.unpacedStorageDelayUs = static_cast<uint32_t>(std::stoul(value));
        else if (arg == "--bound")
            options.bound = std::max<uint32_t>(2, static_cast<uint32_t>(std::stoul(value)));
        else if (arg == "--allocator")
            tuned = value != "default";
        else if (arg == "--soak")
            soakFrames = std::stoull(value);
        else if (arg == "--soak-channels")
            soakChannels = static_cast<uint32_t>(std::stoul(value));
        else if (arg == "--soak-log")
            soakLog = value;
        else {
            Usage(argv[0]);
            return 2;
        }
    }
    for (uint32_t n : channelCounts)
        if (n == 0 || n > RECORDER_MAX_CHANNELS) {
            std::fprintf(stderr, "channels must be 1..%u\n", RECORDER_MAX_CHANNELS);
            return 2;
        }
    // The core's own setting, as its main applies it, or glibc's defaults for comparison.
    if (tuned && !ConfigureAllocator()) return 1;

    utsname host{};
    uname(&host);
    std::printf("# Recorder benchmark\n\n- %s %s, %ld CPUs online, kernel %s, glibc %s, build %s\n",
                host.sysname, host.machine, sysconf(_SC_NPROCESSORS_ONLN), host.release,
                gnu_get_libc_version(), BENCH_BUILD_TYPE);
    std::printf("- load average at start: %s\n", LoadAverage().c_str());
    if (tuned)
        std::printf("- allocator: the core's settings (mmap threshold %u KiB, trim threshold %u KiB, "
                    "%u arenas; freed memory kept at most %llu KiB)\n",
                    kFrameAllocator.mmapThreshold >> 10, kFrameAllocator.trimThreshold >> 10,
                    kFrameAllocator.arenas,
                    static_cast<unsigned long long>(kFrameAllocator.FreedBytesBound() >> 10));
    else
        std::printf("- allocator: glibc defaults\n");
    std::printf("- storage delay %u µs paced, %u µs unpaced; unpaced bound %u frames; paced runs "
                "%u s\n\n",
                options.storageDelayUs, options.unpacedStorageDelayUs, options.bound,
                options.seconds);
    std::fflush(stdout);

    const fs::path startDirectory = fs::current_path();
    char pattern[] = "/tmp/dvrcore-recorder-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    int status = 0;
    try {
        Setup setup(pattern, fs::path(RECORDER_PLUGIN_DIR));
        std::printf("| mode | bus | channels | frames | wall | frames/s | CPU (share of one core) | "
                    "CPU per frame | faults per frame | resident before | peak | final | latency "
                    "p50 / p99 / max | refused |\n");
        std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        if (soakFrames != 0) {
            Options soak = options;
            soak.frames = soakFrames;
            soak.sampleMs = 100;
            const Result r = Run(setup, Bus::Core, Pace::Unpaced, soakChannels, soak);
            PrintRow(r);
            std::ofstream log(soakLog);
            log << "seconds,frames,resident_bytes\n";
            std::vector<uint64_t> values;
            for (const Sample& s : r.samples) {
                log << s.seconds << ',' << s.frames << ',' << s.resident << '\n';
                values.push_back(s.resident);
            }
            if (!values.empty()) {
                std::vector<uint64_t> sorted = values;
                std::sort(sorted.begin(), sorted.end());
                std::printf("\nsoak: %zu samples of the resident size: first %s, median %s, last %s, "
                            "max %s\n",
                            values.size(), MiB(values.front()).c_str(),
                            MiB(sorted[sorted.size() / 2]).c_str(), MiB(values.back()).c_str(),
                            MiB(sorted.back()).c_str());
                // Creep shows as a later tenth sitting higher than an earlier one.
                auto tenthMedian = [&values](size_t tenth) {
                    const size_t from = values.size() * tenth / 10;
                    const size_t to = std::max(from + 1, values.size() * (tenth + 1) / 10);
                    std::vector<uint64_t> part(values.begin() + static_cast<long>(from),
                                               values.begin() + static_cast<long>(to));
                    std::sort(part.begin(), part.end());
                    return part[part.size() / 2];
                };
                std::printf("soak: median resident size of each tenth of the run:");
                for (size_t tenth = 0; tenth < 10; ++tenth)
                    std::printf(" %s", MiB(tenthMedian(tenth)).c_str());
                std::printf("\n");
            }
        } else {
            // Warm both buses (threads, arenas, the storage queue) before measuring.
            for (Bus bus : buses) Run(setup, bus, Pace::Unpaced, channelCounts.front(), WarmUp(options));
            for (Pace pace : paces)
                for (uint32_t channels : channelCounts)
                    for (int r = 0; r < reps; ++r)
                        for (size_t b = 0; b < buses.size(); ++b)
                            PrintRow(Run(setup, buses[(b + r) % buses.size()], pace, channels, options));
        }
        std::printf("\n- throttling limit %s; throttled at the end: %s\n",
                    MiB(setup.Core().Limit()).c_str(), setup.Core().Throttled() ? "yes" : "no");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        status = 1;
    }
    fs::current_path(startDirectory);
    boost::system::error_code ignored;
    fs::remove_all(pattern, ignored);
    std::printf("- load average at end: %s\n", LoadAverage().c_str());
    return status;
}
