// The stall watchdog: a thread of its own that looks at the calls the main and event-loop
// threads make into plugins, so that a stuck plugin is named even when the event loop is the
// thread that is stuck. The calls only mark their slot; the watchdog keeps the time.
#include <algorithm>
#include <chrono>

#include "core/dvrcore.h"
#include "log/core_log.h"

namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(kWatchPeriodMs);
constexpr auto kCriticalReport = std::chrono::seconds(10);
constexpr auto kRepeatReport = std::chrono::seconds(60);

}  // namespace

void dvrcore::StartWatchdog() {
    watchdogStopping = false;
    watchdogThread = std::thread([this] {
        threadRole.kind = ThreadKind::Core;
        RunWatchdog();
    });
}

void dvrcore::StopWatchdog() {
    if (!watchdogThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(watchdogMutex);
        watchdogStopping = true;
    }
    watchdogWake.notify_all();
    watchdogThread.join();
}

void dvrcore::RunWatchdog() {
    std::array<Watch, 2> watches{Watch{&mainSlot}, Watch{&eventLoopSlot}};
    std::unique_lock<std::mutex> lock(watchdogMutex);
    while (!watchdogWake.wait_for(lock, kWatchPeriod, [this] { return watchdogStopping; })) {
        const auto reading = std::chrono::steady_clock::now();
        for (Watch& watch : watches) Observe(watch, reading);
    }
}

void dvrcore::Observe(Watch& watch, std::chrono::steady_clock::time_point reading) {
    const uint32_t sequence = watch.slot->sequence.load(std::memory_order_acquire);
    const int plugin = watch.slot->plugin.load(std::memory_order_relaxed);
    const auto entry = static_cast<PluginEntry>(watch.slot->entry.load(std::memory_order_relaxed));
    // Another call may have begun between the reads: judge it at the next look.
    if (watch.slot->sequence.load(std::memory_order_acquire) != sequence) return;
    const bool inCall = (sequence & 1u) != 0;
    if (sequence != watch.sequence) {
        if (watch.reported) ReportReturn(watch, reading);
        watch = Watch{watch.slot, sequence, reading, plugin, entry};
    }
    if (!inCall) return;
    PluginRecord* record = PluginRecordAt(plugin);
    if (entry == PluginEntry::Write && record != nullptr) CountOwn(record->busySamples);
    const auto stalled = reading - watch.began;
    if (stalled < watch.nextReport) return;
    const int level = stalled >= kCriticalReport ? 100 : 50;
    CoreLog(level, "plugin %s %s has not returned for %d s", record ? record->name : "?",
            EntryName(entry),
            static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(stalled).count()));
    if (!watch.reported) stalls.fetch_add(1, std::memory_order_relaxed);
    watch.reported = true;
    // 2 s, 10 s, then every minute while it lasts.
    watch.nextReport = stalled < kCriticalReport
                           ? std::chrono::steady_clock::duration(kCriticalReport)
                           : std::max<std::chrono::steady_clock::duration>(watch.nextReport,
                                                                           kCriticalReport) +
                                 kRepeatReport;
}

void dvrcore::ReportReturn(const Watch& watch, std::chrono::steady_clock::time_point reading) {
    const PluginRecord* record = PluginRecordAt(watch.plugin);
    CoreLog(50, "plugin %s %s returned after %d ms", record ? record->name : "?",
            EntryName(watch.entry),
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(reading - watch.began)
                    .count()));
}
