// The supervisor channel against a real seq-packet socketpair, with the core running in
// this process and test plugins answering supervisor packets; and the start sequence's wait
// for the supervisor's identity before the plugins are opened.
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "support/test_core.h"

namespace testkit {
namespace {

// alpha's identifier 0x00100000 has module number 0x010: packets for it carry 0x010 in bits
// 31..20 of their target.
constexpr uint32_t kAlphaTarget = 0x01000000u;
constexpr uint32_t kAlphaId = 0x00100000u;

// What alpha's IOCTL saw: the payloads of supervisor packets, in order.
struct PacketLog {
    Shared<std::string> packets;
    int32_t answer = 0;

    int32_t Ioctl(_IoctlParmsIn* in, _IoctlParmsOut*) {
        if (in->code != DVR_IOCTL_SUPERVISOR) return 0;
        const auto* bytes = static_cast<const char*>(in->data);
        // Plugins read the header as words: every packet must arrive aligned, whatever the
        // lengths of the packets before it in the same record.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 8, 0u);
        EXPECT_EQ(in->length, *reinterpret_cast<const uint32_t*>(bytes));
        packets.Add(std::string(bytes + 16, in->length - 16));
        return answer;
    }
    std::vector<std::string> Seen() const { return packets.Items(); }
};

// A supervisor packet whose plugin keeps the event-loop thread busy until released.
struct BusyPacket {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};

    int32_t Ioctl(_IoctlParmsIn* in, _IoctlParmsOut*) {
        if (in->code != DVR_IOCTL_SUPERVISOR) return 0;
        entered = true;
        return WaitFor([this] { return release.load(); }) ? 0 : 1;
    }
};

class Channel : public ::testing::Test {
protected:
    // Starts the core after the supervisor's identity; alpha's IOCTL calls go to `ioctl`.
    template <typename Receiver>
    void Run(Receiver& receiver) {
        PluginHooks hooks;
        hooks.ioctl = [&receiver](_IoctlParmsIn* in, _IoctlParmsOut* out) {
            return receiver.Ioctl(in, out);
        };
        alpha = std::make_unique<Plugin>(dir, "alpha", hooks);
        core = std::make_unique<TestCore>(dir);
        ASSERT_TRUE(core->OpenChannel(link.HandOver()));
        Send(IdentityPacket("1.2.3"));
        core->StartInBackground();
    }
    void Send(const std::string& record) { ASSERT_TRUE(link.Send(record)); }
    // Hands `text` to the supervisor as alpha does.
    static int32_t SendMessage(const std::string& text) {
        void* block = std::malloc(text.size());
        std::memcpy(block, text.data(), text.size());
        return Raise(Event(kAlphaId, DVR_CMD_SEND, 0, block, static_cast<uint32_t>(text.size())));
    }

    TempDir dir;
    Link link;      // closed after the core: a lost supervisor would make it linger
    PacketLog log;  // outlives the core, which may call alpha until it is gone
    BusyPacket busy;
    std::unique_ptr<Plugin> alpha;
    std::unique_ptr<TestCore> core;
};

TEST_F(Channel, ReassemblesPacketsAcrossAndWithinRecords) {
    Run(log);
    Send(SupervisorPacket(kAlphaTarget, 1, "one") + SupervisorPacket(kAlphaTarget, 2, "two"));
    const std::string split = SupervisorPacket(kAlphaTarget, 3, "three");
    Send(split.substr(0, 10));
    Send(split.substr(10, 9));
    Send(split.substr(19));
    ASSERT_TRUE(WaitFor([&] { return log.Seen().size() == 3; }));
    EXPECT_EQ(log.Seen(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(Channel, ADeltaWaitingBehindABusyPacketIsAppliedBeforeTheCoreStops) {
    Run(busy);
    Send(SupervisorPacket(kAlphaTarget, 1, "busy"));
    ASSERT_TRUE(WaitFor([&] { return busy.entered.load(); }));
    // The delivery loop hands the delta's parse to the event-loop thread, behind the packet.
    const std::string delta = LevelDocument(7);
    ASSERT_EQ(Raise(Event(kAlphaId, DVR_CLASS_CONFIG, DVR_CODE_DOCUMENT, delta.data(),
                          static_cast<uint32_t>(delta.size()))),
              DVR_RESULT_OK);
    std::thread stopper([&] { core->Stop(); });
    ASSERT_TRUE(WaitFor([&] { return core->DeliveryEnded(); }));
    busy.release = true;
    stopper.join();
    EXPECT_EQ(core->logLevels.Get(0), 7);
    const std::string saved = ReadFile(dir / "work/core.xml");
    EXPECT_NE(saved.find("LogLevel=\"7\""), std::string::npos) << saved;
}

TEST_F(Channel, BadLengthsDropWhatIsBufferedAndTheChannelGoesOn) {
    Run(log);
    // 65537 is too long; 0 and 8 would never advance past the header.
    for (uint32_t bad : {65537u, 0u, 8u}) {
        Send(SupervisorPacket(kAlphaTarget, 1, "lost", bad) +
             SupervisorPacket(kAlphaTarget, 1, "lost too"));
        Send(SupervisorPacket(kAlphaTarget, 1, "after " + std::to_string(bad)));
    }
    ASSERT_TRUE(WaitFor([&] { return log.Seen().size() == 3; }))
        << ::testing::PrintToString(log.Seen()) << ::testing::PrintToString(core->Texts());
    EXPECT_EQ(log.Seen(), (std::vector<std::string>{"after 65537", "after 0", "after 8"}));
    EXPECT_EQ(core->Count("bad ipc packet length", 50), 3);
}

TEST_F(Channel, EmptyIdentityIsAPluginPacketAndUnknownTargetsAreConsumed) {
    log.answer = 9;
    Run(log);
    Send(SupervisorPacket(0x7FF00000u, 1, "nobody"));
    Send(SupervisorPacket(kAlphaTarget, 7, ""));
    ASSERT_TRUE(WaitFor([&] { return log.Seen().size() == 1; }));
    EXPECT_EQ(log.Seen()[0], "");
    ASSERT_TRUE(
        WaitFor([&] { return core->Logged("plugin alpha.so ipc ioctl returned 9 error 0"); }));
}

TEST_F(Channel, IdentitySplitsAtNulBytes) {
    Run(log);
    EXPECT_EQ(core->Supervisor().fileName, "corvaned");
    EXPECT_EQ(core->Supervisor().version, "1.2.3");
    // No NUL: the name changes, the version stays. Then a, NUL, b, NUL.
    Send(SupervisorPacket(0, 7, "abc"));
    Send(SupervisorPacket(0, 7, std::string("a\0b\0", 4)));
    Send(SupervisorPacket(kAlphaTarget, 1, "marker"));
    ASSERT_TRUE(WaitFor([&] { return log.Seen().size() == 1; }));
    EXPECT_EQ(core->Supervisor().fileName, "a");
    EXPECT_EQ(core->Supervisor().version, "b");
}

TEST_F(Channel, StopPacketEndsTheRun) {
    Run(log);
    Send(SupervisorPacket(0, 8, ""));
    ASSERT_TRUE(WaitFor([&] { return core->Logged("stopping core version 19.12.6.0..."); }));
    core->Stop();
    EXPECT_FALSE(core->lingered);
}

TEST_F(Channel, OutgoingMessagesGoOutInOrderEachAsItsOwnRecord) {
    Run(log);
    const std::string big(70000, 'x');
    for (const std::string& text : {std::string("first"), std::string("second"), big})
        EXPECT_EQ(SendMessage(text), DVR_RESULT_OK);
    EXPECT_EQ(link.Receive(), "first");
    EXPECT_EQ(link.Receive(), "second");
    EXPECT_EQ(link.Receive(), big.substr(0, 65536));
    EXPECT_EQ(link.Receive(), big.substr(65536));
}

TEST_F(Channel, MessagesThatCannotBeWrittenAreDroppedNotHeld) {
    Run(log);
    // The supervisor stops reading: every write fails, while its packets could still come in.
    ASSERT_EQ(shutdown(link.supervisor, SHUT_RD), 0);
    for (const char* text : {"one", "two", "three"}) EXPECT_EQ(SendMessage(text), DVR_RESULT_OK);
    EXPECT_TRUE(WaitFor([&] { return core->SendQueueSize() == 0; }));
    EXPECT_FALSE(core->stopRequested) << "a refused write is not a lost supervisor";
}

TEST_F(Channel, DisconnectionLogsLingersAndStops) {
    Run(log);
    link.CloseSupervisor();
    // The event-loop thread closes the channel just after it requests the stop.
    ASSERT_TRUE(WaitFor([&] { return core->stopRequested && !core->channelOpen; }));
    const auto texts = core->Texts();
    const auto first = std::find(texts.begin(), texts.end(), "corvaned ipc pipe disconnected");
    ASSERT_NE(first, texts.end());
    ASSERT_NE(first + 1, texts.end());
    EXPECT_EQ(first[1], "sleeping for one minute to allow active watchdogs to expire...");
    EXPECT_FALSE(core->channelOpen);
    // A message handed in after the link is gone is refused and freed.
    EXPECT_EQ(SendMessage("late"), DVR_RESULT_REFUSED);
    core->Stop();
    EXPECT_TRUE(core->lingered);
}

// ---- The wait for the identity -------------------------------------------------------------

class StartupWait : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(core->OpenChannel(link.HandOver())); }
    // Takes over the "threads" plugin (a worker and a reader): its Open notes what it sees of
    // the supervisor, and the worker's IOCTL goes to `worker`.
    void TakeThreads(std::function<int32_t(_IoctlParmsIn*, _IoctlParmsOut*)> worker = {}) {
        PluginHooks hooks;
        hooks.open = [this](_OpenParmsIn*, _OpenParmsOut*) {
            fileNameAtOpen = core->Supervisor().fileName;
            openedAt = std::chrono::steady_clock::now();
            return 0;
        };
        hooks.ioctl = std::move(worker);
        threads = std::make_unique<Plugin>(dir, "threads", hooks);
    }
    void Send(const std::string& record) { ASSERT_TRUE(link.Send(record)); }

    TempDir dir;
    Link link;
    std::string fileNameAtOpen = "<not opened>";
    std::chrono::steady_clock::time_point openedAt;  // right after the wait, before any save
    std::atomic<bool> workerRaised{false};
    std::unique_ptr<Plugin> threads;
    std::unique_ptr<TestCore> core = std::make_unique<TestCore>(dir);
};

TEST_F(StartupWait, IdentityThatArrivedEarlyDoesNotDelayTheStart) {
    TakeThreads();
    // Handled by the event loop as soon as it runs, before the main thread can begin waiting.
    Send(IdentityPacket("2.0"));
    const auto started = std::chrono::steady_clock::now();
    core->StartInBackground();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    // A lost wake-up would hold the start for the whole ten seconds.
    EXPECT_LT(openedAt - started, std::chrono::seconds(8));
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
    Send(IdentityPacket("2.0"));
    starter.join();
    ASSERT_TRUE(core->LoggedStartingWith("successfully started core version"));
    EXPECT_EQ(fileNameAtOpen, "corvaned");
}

// The real executable under a supervisor that goes away: the core lingers a full minute before
// it closes its plugins, so that the supervisor's watchdogs expire first.

TEST(Linger, LostSupervisorDelaysClosingByOneMinute) {
    if (std::getenv("DVRCORE_SLOW_TESTS") == nullptr)
        GTEST_SKIP() << "takes a minute; runs when DVRCORE_SLOW_TESTS is set (once per CI run)";
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "alpha");
    ClearJournal();
    Link link;
    Child child = Spawn(core, {std::to_string(link.core)}, dir / "work", {link.core});
    link.CloseCore();
    ASSERT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    const auto lost = std::chrono::steady_clock::now();
    link.CloseSupervisor();

    const int status = child.Wait(std::chrono::seconds(120));
    const auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(WIFEXITED(status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(ended - lost, std::chrono::seconds(60));
    const std::string& out = child.output;
    const auto disconnected = out.find("corvaned ipc pipe disconnected");
    const auto sleeping =
        out.find("sleeping for one minute to allow active watchdogs to expire...");
    const auto stopping = out.find("stopping core version");
    ASSERT_NE(disconnected, std::string::npos) << out;
    EXPECT_LT(disconnected, sleeping);
    EXPECT_LT(sleeping, stopping);
    EXPECT_TRUE(Journaled("alpha close 0"));
}

}  // namespace
}  // namespace testkit
