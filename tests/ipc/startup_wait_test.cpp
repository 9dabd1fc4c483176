// The start sequence's wait for the supervisor's identity before the plugins are opened.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "support/plugin_harness.h"

namespace testkit {
namespace {

const std::string kIdentity = SupervisorPacket(0, 7,
                                               std::string("corvaned\0"
                                                           "2.0",
                                                           12));

class StartupWait : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        ASSERT_TRUE(core->OpenChannel(fds[0]));
    }
    void TearDown() override {
        core.reset();
        threads.reset();
        close(fds[1]);
    }
    // Takes over the "threads" plugin (a worker and a reader): its Open notes what it sees of
    // the supervisor, and the worker's IOCTL goes to `worker`.
    void TakeThreads(std::function<int32_t(_IoctlParmsIn*, _IoctlParmsOut*)> worker = {}) {
        PluginHooks hooks;
        hooks.open = [this](_OpenParmsIn*, _OpenParmsOut*) {
            fileNameAtOpen = core->Supervisor().fileName;
            return 0;
        };
        hooks.ioctl = std::move(worker);
        threads = std::make_unique<Plugin>(dir, "threads", hooks);
    }
    void Send(const std::string& record) {
        ASSERT_EQ(send(fds[1], record.data(), record.size(), 0),
                  static_cast<ssize_t>(record.size()));
    }

    TempDir dir;
    int fds[2] = {-1, -1};
    std::string fileNameAtOpen = "<not opened>";
    std::atomic<bool> workerRaised{false};
    std::unique_ptr<Plugin> threads;
    std::unique_ptr<TestCore> core = std::make_unique<TestCore>(dir);
};

TEST_F(StartupWait, IdentityThatArrivedEarlyDoesNotDelayTheStart) {
    TakeThreads();
    // Handled by the event loop as soon as it runs, before the main thread can begin waiting.
    Send(kIdentity);
    const auto started = std::chrono::steady_clock::now();
    core->StartInBackground();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    // A lost wake-up would hold the start for the whole ten seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(fileNameAtOpen, "corvaned");
}

// The worker raises an unrelated event while the core waits; the wait goes on until the
// identity arrives.
TEST_F(StartupWait, UnrelatedEventsDoNotEndTheWait) {
    TakeThreads([this](_IoctlParmsIn* in, _IoctlParmsOut*) {
        if (in->code != DVR_IOCTL_WORKER) return 0;
        const char text[] = "worker is up";
        Raise(Event(0x00160000u, DVR_CLASS_1, 1, text, sizeof text));
        workerRaised = true;
        return 0;
    });
    std::thread starter([this] { core->StartInBackground(); });
    ASSERT_TRUE(WaitFor([this] { return workerRaised.load(); }));
    ASSERT_TRUE(WaitFor([this] { return !core->Queued().empty(); }));
    Send(kIdentity);
    starter.join();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    EXPECT_EQ(fileNameAtOpen, "corvaned");
}

}  // namespace
}  // namespace testkit
