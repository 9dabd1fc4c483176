// The start sequence's wait for the supervisor's identity before the plugins are opened.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "support/test_core.h"

namespace {

using testkit::TempDir;
using testkit::TestCore;

std::string IdentityPacket(const std::string& payload) {
    std::string bytes(16, '\0');
    const uint32_t words[4] = {static_cast<uint32_t>(16 + payload.size()), 0, 7, 0};
    std::memcpy(&bytes[0], words, sizeof words);
    return bytes + payload;
}

// What the first plugin sees of the supervisor when the core opens it.
struct OpenProbe {
    TestCore* core = nullptr;
    std::string fileNameAtOpen = "<not opened>";
    static int32_t Open(void* context, _OpenParmsIn*, _OpenParmsOut*) {
        auto* self = static_cast<OpenProbe*>(context);
        self->fileNameAtOpen = self->core->supervisor.Get().fileName;
        return 0;
    }
};

class StartupWait : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        testkit::InstallPlugin(dir, "threads");
        core = std::make_unique<TestCore>(dir);
        ASSERT_TRUE(core->OpenChannel(fds[0]));
        probe.core = core.get();
    }
    void TearDown() override {
        core.reset();
        testkit::ClearPluginHooks();
        close(fds[1]);
    }
    void Send(const std::string& record) {
        ASSERT_EQ(send(fds[1], record.data(), record.size(), 0),
                  static_cast<ssize_t>(record.size()));
    }

    TempDir dir;
    int fds[2] = {-1, -1};
    std::unique_ptr<TestCore> core;
    OpenProbe probe;
};

TEST_F(StartupWait, IdentityThatArrivedEarlyDoesNotDelayTheStart) {
    TestPluginHooks hooks{};
    hooks.context = &probe;
    hooks.open = &OpenProbe::Open;
    testkit::SetPluginHooks("threads", hooks);
    // Handled by the event loop as soon as it runs, before the main thread can begin waiting.
    Send(IdentityPacket(std::string("corvaned\0" "2.0", 12)));
    const auto started = std::chrono::steady_clock::now();
    core->StartInBackground();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    // A lost wake-up would hold the start for the whole ten seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    EXPECT_EQ(probe.fileNameAtOpen, "corvaned");
}

// The worker raises an unrelated event while the core waits; the wait goes on until the
// identity arrives.
std::atomic<bool> workerRaised{false};

int32_t NoisyWorker(void*, _IoctlParmsIn* in, _IoctlParmsOut*) {
    if (in->code != DVR_IOCTL_WORKER) return 0;
    const char text[] = "worker is up";
    testkit::Raise(testkit::MakeEvent(0x00160000u, DVR_CLASS_1, 1, text, sizeof text));
    workerRaised = true;
    return 0;
}

TEST_F(StartupWait, UnrelatedEventsDoNotEndTheWait) {
    TestPluginHooks hooks{};
    hooks.context = &probe;
    hooks.open = &OpenProbe::Open;
    hooks.ioctl = &NoisyWorker;
    testkit::SetPluginHooks("threads", hooks);

    std::thread starter([this] { core->StartInBackground(); });
    ASSERT_TRUE(testkit::WaitFor([] { return workerRaised.load(); }));
    ASSERT_TRUE(testkit::WaitFor([&] {
        std::lock_guard<std::mutex> lock(core->deliveryMutex);
        return !core->deliveryQueue.empty();
    }));
    Send(IdentityPacket(std::string("corvaned\0" "2.0", 12)));
    starter.join();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    EXPECT_EQ(probe.fileNameAtOpen, "corvaned");
}

}  // namespace
