#include <cstdlib>

#include "core/dvrcore.h"
#include "log/core_log.h"

std::atomic<dvrcore*> theCore{nullptr};

dvrcore::dvrcore(std::string executablePath)
    : schedulerTimer(eventLoop, std::chrono::milliseconds(100)),
      ipcSocket(eventLoop),
      executablePath(std::move(executablePath)) {
    theCore = this;
}

dvrcore::~dvrcore() {
    // A core that never ran its stop sequence saves and reports here, while it can still log.
    configurationSaver.Finish();
    ReportLeaks();
    StopWatchdog();
    // Once nothing of the core logs any more: a plugin thread still running is refused from
    // here on. Only this core's own pointer, as a later core may have taken the place.
    dvrcore* self = this;
    theCore.compare_exchange_strong(self, nullptr);
    if (eventLoopThread.joinable()) {
        eventLoop.stop();
        eventLoopThread.join();
    }
    FreeSendQueue();
    for (_EventParmsIn& event : deliveryQueue) std::free(event.data);
}

dvrcore::TimePoint dvrcore::now() { return std::chrono::steady_clock::now(); }

void dvrcore::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(deliveryMutex);
        stopRequested = true;
    }
    deliveryCondition.notify_one();
    supervisor.Interrupt();
}
