#include "plugins/request_threads.h"

#include <cstdlib>
#include <thread>

bool RequestRegistry::Enter(uint32_t plugin) {
    std::lock_guard<std::mutex> lock(runningMutex);
    Running& state = running[plugin];
    if (state.retired) return false;
    ++state.threads;
    return true;
}

void RequestRegistry::Leave(uint32_t plugin) {
    std::lock_guard<std::mutex> lock(runningMutex);
    --running[plugin].threads;
    runningChanged.notify_all();
}

void RequestRegistry::Retire(uint32_t plugin) {
    std::unique_lock<std::mutex> lock(runningMutex);
    Running& state = running[plugin];
    state.retired = true;
    runningChanged.wait(lock, [&state] { return state.threads == 0; });
}

static void ServeRequest(RequestThreadState state) {
    RequestRegistry& registry = *state.registry;
    const pthread_t self = pthread_self();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto& record = registry.waiters[self];
        if (!record) record = std::make_unique<WaiterRecord>();
    }
    _ReadParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.one = 1;
    in.length = state.length;
    in.data = state.copy;
    in.tag = state.tag;
    _ReadParmsOut out{};
    out.size = sizeof out;
    out.version = 1;
    state.read(&in, &out);
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.waiters.find(self);
        if (it != registry.waiters.end()) {
            // A record destroyed while its block is still held no longer counts as awaiting.
            if (it->second->awaited != nullptr) registry.awaiting.fetch_sub(1);
            registry.waiters.erase(it);
        }
    }
    std::free(state.copy);
    registry.Leave(state.plugin);
}

void StartRequestThread(const RequestThreadState& state) {
    std::thread(ServeRequest, state).detach();
}
