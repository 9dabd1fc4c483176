#include "plugins/request_threads.h"

#include "housekeeping/plugin_records.h"

#include <cstdlib>
#include <thread>

void RequestRegistry::OpenTag(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex);
    closedTags.erase(tag);
}

void RequestRegistry::CloseTag(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex);
    closedTags.insert(tag);
}

// Tagged events come only from request threads whose tag is open; each such thread has at
// most one data block in flight and waits here until its previous one is released.
bool RequestRegistry::WaitForTurn(uint32_t tag, void* block) {
    Waiter* waiter = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closedTags.count(tag) != 0) return false;
        auto it = waiters.find(pthread_self());
        if (it == waiters.end()) return false;
        waiter = it->second.get();
    }
    if (block == nullptr) return true;
    std::unique_lock<std::mutex> lock(waiter->mutex);
    // Once the delivery loop has ended nothing will release the previous block: give up then,
    // or the unloader would wait for this thread for good.
    waiter->condition.wait(lock,
                           [this, waiter] { return waiter->awaited == nullptr || deliveryEnded; });
    if (waiter->awaited != nullptr) return false;
    waiter->awaited = block;
    awaiting.fetch_add(1);
    return true;
}

void RequestRegistry::WakeWaiters(void* block) {
    if (awaiting.load() == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : waiters) {
        Waiter& waiter = *entry.second;
        std::lock_guard<std::mutex> waiterLock(waiter.mutex);
        if (waiter.awaited != block) continue;
        waiter.awaited = nullptr;
        awaiting.fetch_sub(1);
        waiter.condition.notify_one();
    }
}

void RequestRegistry::EndDelivery() {
    deliveryEnded = true;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : waiters) {
        std::lock_guard<std::mutex> waiterLock(entry.second->mutex);
        entry.second->condition.notify_all();
    }
}

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

void RequestRegistry::Register(pthread_t thread) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& record = waiters[thread];
    if (!record) record = std::make_unique<Waiter>();
}

void RequestRegistry::Unregister(pthread_t thread) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = waiters.find(thread);
    if (it == waiters.end()) return;
    // A record destroyed while its block is still held no longer counts as awaiting.
    if (it->second->awaited != nullptr) awaiting.fetch_sub(1);
    waiters.erase(it);
}

void RequestRegistry::Serve(RequestThreadState state) {
    const pthread_t self = pthread_self();
    threadRole = {ThreadKind::Request, state.record, nullptr};
    Register(self);
    _ReadParmsIn in = DVR_READ_IN_INIT;
    in.one = 1;
    in.length = state.length;
    in.data = state.copy;
    in.tag = state.tag;
    _ReadParmsOut out = DVR_READ_OUT_INIT;
    state.read(&in, &out);
    Unregister(self);
    std::free(state.copy);
    Leave(state.plugin);
}

void RequestRegistry::Start(const RequestThreadState& state) {
    std::thread(&RequestRegistry::Serve, this, state).detach();
}
