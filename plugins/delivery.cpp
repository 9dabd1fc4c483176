#include <boost/asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/dvrcore.h"
#include "plugins/call_records.h"
#include "log/core_log.h"
#include "plugins/subscription.h"

namespace {

// Out of line and cold: keeps the per-subscriber call small enough to be inlined.
__attribute__((cold, noinline)) void ReportFailedWrite(const PLUGININFO& plugin, int32_t result,
                                                       int32_t error) {
    CoreLog(0, "plugin %s write returned %d error %d", plugin.fileName.c_str(), result, error);
}

// One subscriber's Write: a fresh call record each time (a plugin may scribble on its own),
// the hold bookkeeping around the call, and the report of a failure. Local, so that the
// delivery loop gets it inlined.
__attribute__((always_inline)) inline void CallWrite(HoldTable& holdTable, CallSlot& slot,
                                                     const PLUGININFO& plugin,
                                                     const _EventParmsIn& event,
                                                     HoldTable::Record* hold) {
    _WriteParmsIn in = DVR_WRITE_IN_INIT;
    in.length = event.length;
    in.data = event.data;
    std::memcpy(&in.source, &event.source, sizeof in - offsetof(_WriteParmsIn, source));
    _WriteParmsOut out = DVR_WRITE_OUT_INIT;
    const uint32_t holdCall = holdTable.BeginCall(hold);
    int32_t result;
    {
        const WatchedCall call(slot, plugin.record, PluginEntry::Write);
        result = plugin.Write(&in, &out);
    }
    holdTable.EndCall(hold, plugin.id(), holdCall, out.pending != 0);
    const bool failed = result != 0 || out.error != 0;
    if (plugin.stats != nullptr) {
        CountOwn(plugin.stats->writes);
        if (failed) CountOwn(plugin.stats->failures);
    }
    if (failed) ReportFailedWrite(plugin, result, out.error);
}

}  // namespace

void dvrcore::RunDeliveryLoop() {
    std::unique_lock<std::mutex> lock(deliveryMutex);
    for (;;) {
        deliveryCondition.wait(lock, [this] { return !deliveryQueue.empty() || stopRequested; });
        if (deliveryQueue.empty()) return;
        const _EventParmsIn event = deliveryQueue.front();
        deliveryQueue.pop_front();
        lock.unlock();
        DeliverEvent(event);
        // Counted here, on one thread, rather than by every raiser on the event path.
        CountOwn(delivered);
        CountOwn(bytesCopied, event.length);
        lock.lock();
    }
}

void dvrcore::DeliverEvent(const _EventParmsIn& event) {
    const uint32_t code = AdjustedCode(event.code);
    HoldTable::Record* hold = holdTable.TakeCoreHold(event.data, event.length);
    const bool configuration = (event.classFlags & DVR_CLASS_CONFIG) != 0;
    if (configuration && event.data != nullptr && event.length != 0) {
        // The core parses a copy of its own; without the memory for it, it skips its parse and
        // the plugins still get the event.
        try {
            std::string text(static_cast<const char*>(event.data), event.length);
            boost::asio::post(eventLoop, [this, text = std::move(text)] { ParseConfig(text); });
        } catch (const std::bad_alloc&) {
        }
    }
    const SubscriptionClasses classes(event.classFlags);
    // Inlined twice, for events with a block and without, so that no call asks which it is.
    const auto deliver = [&](HoldTable::Record* held) __attribute__((always_inline)) {
        // Loaded on the main thread, which alone changes the table: no lock needed here.
        for (const PLUGININFO& plugin : plugins) {
            if (configuration && plugin.id() != event.source) {
                UpdatePluginConfiguration(plugin, event, held);
            } else if (plugin.loadInfo.wantsWrite != 0 && plugin.Write != nullptr &&
                       classes.Subscribed(plugin.loadInfo, code)) {
                CallWrite(holdTable, mainSlot, plugin, event, held);
            }
        }
    };
    if (hold != nullptr)
        deliver(hold);
    else
        deliver(nullptr);
    if (holdTable.ReleaseCoreHold(event.data, hold)) {
        // Waking first is equivalent (the block cannot be reused before it is freed) and
        // keeps the address from being used after the free.
        requests.WakeWaiters(event.data);
        std::free(event.data);
    }
}

void dvrcore::UpdatePluginConfiguration(const PLUGININFO& plugin, const _EventParmsIn& event,
                                        HoldTable::Record* hold) {
    if (plugin.IOCTL == nullptr) return;
    _IoctlParmsIn in = DVR_IOCTL_IN_INIT;
    in.code = DVR_IOCTL_UPDATE_CONFIG;
    in.kind = 16;
    in.one = 1;
    in.length = event.length;
    in.data = event.data;
    _IoctlParmsOut out = IoctlOutRecord(DVR_IOCTL_UPDATE_CONFIG);
    const uint32_t holdCall = holdTable.BeginCall(hold);
    int32_t result;
    {
        const WatchedCall call(mainSlot, plugin.record, PluginEntry::UpdateConfig);
        result = plugin.IOCTL(&in, &out);
    }
    holdTable.EndCall(hold, plugin.id(), holdCall, out.pending != 0);
    const bool failed = result != 0 || out.error != 0;
    CountIoctl(plugin.stats, failed);
    if (failed)
        CoreLog(0, "plugin %s update config returned %d error %d", plugin.fileName.c_str(),
                result, out.error);
}
