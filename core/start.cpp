#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <future>
#include <memory>

#include "core/capabilities.h"
#include "core/dvrcore.h"
#include "housekeeping/crash_report.h"
#include "log/core_log.h"

namespace {

constexpr auto kSupervisorWait = std::chrono::seconds(10);
constexpr auto kPostedWorkWait = std::chrono::seconds(10);

void AddSignal(boost::asio::signal_set& signals, int number) {
    boost::system::error_code error;
    signals.add(number, error);
    if (error) throw boost::system::system_error(error, "add");
}

}  // namespace

void dvrcore::Start() {
    version = GetVersion();
    plugins.clear();
    ReadConfiguration();
    configurationSaver.Start();
    startTime = std::chrono::steady_clock::now();
    threadRole = {ThreadKind::Main, -1, &mainSlot};
    PrepareCrashStack();
    StartWatchdog();

    boost::asio::signal_set signals(eventLoop);
    AddSignal(signals, SIGINT);
    AddSignal(signals, SIGTERM);
    AddSignal(signals, SIGQUIT);
    signals.async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

    LoadPlugins();
    // Read before the event-loop thread starts: from then on that thread may close the socket.
    const bool supervised = ipcSocket.is_open();
    if (supervised) StartReceive();

    StartEventLoop();

    if (supervised) {
        // An identity that came before the wait began still counts; a stop ends it early.
        supervisor.WaitIdentified(kSupervisorWait);
    }

    OpenPlugins();
    if (getuid() != 0) SetCapabilities(kMainThreadCapabilities);
    StartReaderThreads();
    StartScheduler();
    WriteConfiguration();
    // Plugins get core.xml before the core's first lines, as they always have.
    configurationSaver.WaitIdle();
    CoreLog(25, "successfully started core version %s", version.c_str());

    RunDeliveryLoop();
    requests.EndDelivery();

    CoreLog(25, "stopping core version %s...", version.c_str());
    CancelScheduler();
    if (linger) Linger();
    StopSequence();
}

void dvrcore::StartEventLoop() {
    eventLoopWork = std::make_unique<EventLoopWork>(eventLoop.get_executor());
    eventLoopThread = std::thread([this] {
        threadRole = {ThreadKind::EventLoop, -1, &eventLoopSlot};
        PrepareCrashStack();
        eventLoop.run();
    });
}

void dvrcore::StopSequence() {
    FinishPostedWork();
    // A level changed just before the stop is on storage before the process ends.
    configurationSaver.Finish();
    ClosePlugins();
    // Messages that plugins handed over while closing are written before the loop stops.
    FinishPostedWork();
    eventLoopWork.reset();
    eventLoop.stop();
    eventLoopThread.join();
    FreeSendQueue();
    UnloadPlugins();
    // Every plugin is gone: what is still held now was never given back.
    ReportLeaks();
    StopWatchdog();
}

bool dvrcore::RunOnEventLoop(std::function<void()> work, std::chrono::milliseconds limit) {
    // Shared with the handler, which may run after this wait has given up.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    boost::asio::post(eventLoop, [work = std::move(work), done] {
        work();
        done->set_value();
    });
    return ran.wait_for(limit) == std::future_status::ready;
}

// Stopping the event loop drops what is still posted to it: a configuration delta from the last
// delivered events would never be applied or saved. Waiting for a marker posted last lets all
// of it run first, while the plugin table is still in load order. A handler that blocks until
// plugins are closed would hold the stop for good: the wait is bounded.
void dvrcore::FinishPostedWork() {
    if (!RunOnEventLoop([] {}, kPostedWorkWait))
        CoreLog(50, "stopping without the event loop's posted work after %d seconds",
                static_cast<int>(kPostedWorkWait.count()));
}

void dvrcore::Linger() {
    // Sleeps again for what remains whenever a signal interrupts the sleep.
    timespec remaining{60, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
