// What the watchdog, the crash report and the statistics know of each plugin and of the core's
// own threads. The records live in a fixed table that is never freed or moved, so that any
// thread, and a signal handler, may read them without a lock; the event path only stores.
#pragma once

#include <atomic>
#include <cstdint>

// The entry points the core calls, named as the core's messages name them.
enum class PluginEntry : uint8_t { None, Load, Open, Write, UpdateConfig, IpcIoctl, Close, Unload,
                                   Worker, Read };
const char* EntryName(PluginEntry entry);

// What a thread is to the core; a thread the core did not start is a plugin's own.
enum class ThreadKind : uint8_t { PluginOwn, Main, EventLoop, Worker, Reader, Request, Core };
const char* ThreadKindName(ThreadKind kind);

struct PluginRecord {
    char name[64] = {};  // file name, cut to fit
    // The library's load address and the span of its mapped segments; 0 once unloaded.
    std::atomic<uintptr_t> base{0};
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    // Counted by the threads that call into or hear from the plugin; read by the statistics.
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<uint64_t> ioctls{0};
    std::atomic<uint64_t> ioctlFailures{0};
    std::atomic<uint64_t> busySamples{0};  // watchdog ticks that found it in Write
    std::atomic<uint64_t> raised{0};
    std::atomic<uint64_t> refused{0};
};

constexpr int kMaxPluginRecords = 512;
// The watchdog looks this often; a plugin's busy time is its samples times this.
constexpr int kWatchPeriodMs = 50;

// A new record for a loaded library (any address inside it finds its mapping); -1 when the
// table is full. Main thread only.
int AddPluginRecord(const char* fileName, const void* addressInLibrary);
PluginRecord* PluginRecordAt(int index);  // null for -1 or past the end
void ForgetMapping(int index);            // the library is about to be closed
int PluginRecordByAddress(uintptr_t address);

// The core always watches and counts. The benchmarks also build it without (DVRCORE_NO_FIELD_MARKS)
// to show what the marks and counters cost on the event path.
#ifdef DVRCORE_NO_FIELD_MARKS
inline constexpr bool kFieldMarks = false;
#else
inline constexpr bool kFieldMarks = true;
#endif

// Single-writer counting: the thread that counts is the only one that writes the counter.
inline void CountOwn(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
    if constexpr (kFieldMarks)
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

// Counting from any thread.
inline void CountShared(std::atomic<uint64_t>& counter) {
    if constexpr (kFieldMarks) counter.fetch_add(1, std::memory_order_relaxed);
}

// IOCTL calls come from two threads (configuration on the main thread, packets on the
// event-loop thread).
inline void CountIoctl(PluginRecord* record, bool failed) {
    if (record == nullptr) return;
    CountShared(record->ioctls);
    if (failed) CountShared(record->ioctlFailures);
}

// One core thread's call into a plugin, watched by the watchdog from its own thread.
struct CallSlot {
    std::atomic<uint32_t> sequence{0};  // odd while a call is under way
    std::atomic<int32_t> plugin{-1};
    std::atomic<uint8_t> entry{0};
};

// Marks the slot for the duration of one call: plain stores, no clock, no lock.
class WatchedCall {
public:
    WatchedCall(CallSlot& slot, int plugin, PluginEntry entry) : slot(slot) {
        if constexpr (kFieldMarks) {
            const uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
            slot.plugin.store(plugin, std::memory_order_relaxed);
            slot.entry.store(static_cast<uint8_t>(entry), std::memory_order_relaxed);
            slot.sequence.store(sequence + 1, std::memory_order_release);
        }
    }
    ~WatchedCall() {
        if constexpr (kFieldMarks)
            slot.sequence.store(slot.sequence.load(std::memory_order_relaxed) + 1,
                                std::memory_order_release);
    }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;

private:
    CallSlot& slot;
};

// The calling thread as the crash report names it.
struct ThreadRole {
    ThreadKind kind = ThreadKind::PluginOwn;
    int plugin = -1;                     // worker, reader and request threads: whose
    CallSlot* slot = nullptr;            // main and event-loop threads: their watched calls
};
extern thread_local ThreadRole threadRole;
