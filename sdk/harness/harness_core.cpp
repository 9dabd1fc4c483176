#include "sdk/harness/harness_core.h"

#include <dlfcn.h>

#include <algorithm>
#include <memory>

namespace {

// The core's own bounds: the start-up wait for the supervisor, and the minute memory must stay
// below the limit before throttling ends.
constexpr auto kSupervisorWait = std::chrono::seconds(10);
constexpr auto kThrottleHoldOff = std::chrono::seconds(60);

}  // namespace

HarnessCore::HarnessCore(const std::string& directory, Records& records)
    : dvrcore(directory + "/dvrcore"), records(records) {}

dvrcore::TimePoint HarnessCore::now() {
    return dvrcore::now() + std::chrono::nanoseconds(clockOffsetNs.load());
}

void HarnessCore::WriteLog(uint32_t module, uint32_t level, const char* text) {
    if (text != nullptr) records.AddLog(module, static_cast<int32_t>(level), text);
}

void HarnessCore::Run(const std::vector<std::string>& paths, int supervisorSocket,
                      std::promise<bool>& started) {
    version = GetVersion();
    ReadConfiguration();
    OpenChannel(supervisorSocket);
    StartReceive();
    const bool accepted = LoadAll(paths);
    StartEventLoop();
    if (accepted) OpenAll();
    started.set_value(accepted);
    if (accepted) RunDeliveryLoop();
    requests.EndDelivery();
    StopSequence();
}

bool HarnessCore::LoadAll(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        const std::size_t before = plugins.size();
        LoadPlugin(path);
        if (plugins.size() == before) return false;
        // Keeps the code mapped after the core's unload, for a plugin thread that outlives it.
        libraries.push_back(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD));
    }
    return true;
}

void HarnessCore::OpenAll() {
    supervisor.WaitIdentified(kSupervisorWait);
    OpenPlugins();
    StartReaderThreads();
    WriteConfiguration();
    // The memory watch's first tick tells the plugins the memory state.
    if (throttling) BroadcastStatus();
}

bool HarnessCore::QueueMarker(uint32_t code) {
    _EventParmsIn marker = DVR_EVENT_IN_INIT;
    marker.source = DVR_HARNESS_ID;
    marker.code = code;  // no class bit: no plugin's mask can take it
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    return QueueEvent(marker, &out);
}

bool HarnessCore::MarkerQueued(uint32_t code) {
    std::lock_guard<std::mutex> lock(deliveryMutex);
    return std::any_of(deliveryQueue.begin(), deliveryQueue.end(), [code](const _EventParmsIn& e) {
        return e.classFlags == 0 && e.source == DVR_HARNESS_ID && e.code == code;
    });
}

void HarnessCore::SetMemory(bool low) {
    if (!low) clockOffsetNs += std::chrono::nanoseconds(kThrottleHoldOff).count();
    SetMemoryLow(low);
}
