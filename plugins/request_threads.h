// Direct requests: the threads that serve them, their tags, and the one data block each may
// have in flight at a time.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "dvrcore/dvrplugin.h"

struct RequestThreadState;

class RequestRegistry {
public:
    // A request's tag is open from its start until a close-tag command.
    void OpenTag(uint32_t tag);
    void CloseTag(uint32_t tag);

    // A tagged event raised on a request thread whose tag is open may go on; with data it
    // first waits until the thread's previous block is released, then counts `block` as the
    // thread's block in flight. False refuses the event: tag closed, not a request thread, or
    // delivery ended while waiting.
    bool WaitForTurn(uint32_t tag, void* block);
    // A block was released (or will never be delivered): its thread may raise the next one.
    void WakeWaiters(void* block);
    // After the delivery loop nothing releases blocks: waiting threads give up.
    void EndDelivery();
    bool DeliveryEnded() const { return deliveryEnded; }

    // Counts the request threads running in a plugin's code so that its library is not
    // released under them. Enter fails once the plugin is retired.
    bool Enter(uint32_t plugin);
    // Refuses new request threads for the plugin and waits for the running ones to end.
    void Retire(uint32_t plugin);

    // Starts a detached thread that calls Read once with the request; Enter was called for it.
    void Start(const RequestThreadState& state);

private:
    // A request thread's record: the data block of its latest tagged event, while it is held.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable condition;
        void* awaited = nullptr;
    };
    struct Running {
        int threads = 0;
        bool retired = false;
    };

    void Serve(RequestThreadState state);
    void Register(pthread_t thread);
    void Unregister(pthread_t thread);
    void Leave(uint32_t plugin);

    // Guards closedTags and waiters; a waiter's own mutex nests inside it, never the reverse.
    std::mutex mutex;
    std::set<uint32_t> closedTags;
    std::map<pthread_t, std::unique_ptr<Waiter>> waiters;
    // Waiters whose awaited block is set; lets the frequent wake-up skip the registry.
    std::atomic<int> awaiting{0};
    std::atomic<bool> deliveryEnded{false};

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
    int record;  // the plugin's diagnostic record
};
