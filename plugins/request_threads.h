// Direct requests: the threads that serve them and what they share with the event dispatch.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "plugins/dvrplugin.h"

// A request thread's record: the data block of its latest tagged event, while it is held.
struct WaiterRecord {
    std::mutex mutex;
    std::condition_variable condition;
    void* awaited = nullptr;
};

class RequestRegistry {
public:
    // Guards closedTags and waiters; a waiter's own mutex nests inside it, never the reverse.
    std::mutex mutex;
    std::set<uint32_t> closedTags;
    std::map<pthread_t, std::unique_ptr<WaiterRecord>> waiters;
    // Waiters whose awaited block is set; lets the frequent wake-up skip the registry.
    std::atomic<int> awaiting{0};

    // Counts the request threads running in a plugin's code so that its library is not
    // released under them. Enter fails once the plugin is retired.
    bool Enter(uint32_t plugin);
    void Leave(uint32_t plugin);
    // Refuses new request threads for the plugin and waits for the running ones to end.
    void Retire(uint32_t plugin);

private:
    struct Running {
        int threads = 0;
        bool retired = false;
    };
    std::mutex runningMutex;
    std::condition_variable runningChanged;
    std::map<uint32_t, Running> running;
};

struct RequestThreadState {
    DvrReadEntry read;
    uint32_t plugin;
    uint32_t length;
    void* copy;  // malloc block owned by the thread, or null
    uint32_t tag;
    RequestRegistry* registry;
};

// Starts a detached thread that calls Read once with the request; Enter was called for it.
void StartRequestThread(const RequestThreadState& state);
