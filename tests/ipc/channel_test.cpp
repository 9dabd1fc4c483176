// The supervisor channel against a real seq-packet socketpair, with the core running in
// this process and test plugins answering supervisor packets.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "support/test_core.h"

namespace {

using testkit::TempDir;
using testkit::TestCore;

// alpha's identifier 0x00100000 has module number 0x010: packets for it carry 0x010 in bits
// 31..20 of their target.
constexpr uint32_t kAlphaTarget = 0x01000000u;
constexpr uint32_t kAlphaId = 0x00100000u;

std::string Packet(uint32_t target, uint32_t type, const std::string& payload,
                   int64_t lengthField = -1) {
    const uint32_t length = lengthField >= 0 ? static_cast<uint32_t>(lengthField)
                                             : static_cast<uint32_t>(16 + payload.size());
    std::string bytes(16, '\0');
    const uint32_t words[4] = {length, target, type, 0xABCD};
    std::memcpy(&bytes[0], words, sizeof words);
    return bytes + payload;
}

// What alpha's IOCTL saw: the payloads of supervisor packets, in order.
struct PacketLog {
    std::mutex mutex;
    std::vector<std::string> packets;
    int32_t answer = 0;

    static int32_t Ioctl(void* context, _IoctlParmsIn* in, _IoctlParmsOut*) {
        auto* self = static_cast<PacketLog*>(context);
        if (in->code != DVR_IOCTL_SUPERVISOR) return 0;
        std::lock_guard<std::mutex> lock(self->mutex);
        const auto* bytes = static_cast<const char*>(in->data);
        // Plugins read the header as words: every packet must arrive aligned, whatever the
        // lengths of the packets before it in the same record.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 8, 0u);
        EXPECT_EQ(in->length, *reinterpret_cast<const uint32_t*>(bytes));
        self->packets.emplace_back(bytes + 16, in->length - 16);
        return self->answer;
    }
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }
};

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        testkit::InstallPlugin(dir, "alpha");
        core = std::make_unique<TestCore>(dir);
        ASSERT_TRUE(core->OpenChannel(fds[0]));
    }
    void TearDown() override {
        core.reset();
        testkit::ClearPluginHooks();
        if (fds[1] >= 0) close(fds[1]);
    }

    // Starts the core; alpha's supervisor packets go to `log`.
    void Run(PacketLog& log) {
        TestPluginHooks hooks{};
        hooks.context = &log;
        hooks.ioctl = &PacketLog::Ioctl;
        testkit::SetPluginHooks("alpha", hooks);
        StartWithIdentity();
    }
    void StartWithIdentity() {
        Send(Packet(0, 7, std::string("corvaned\0" "1.2.3", 14)));
        core->StartInBackground();
    }
    void Send(const std::string& record) {
        ASSERT_EQ(send(fds[1], record.data(), record.size(), 0),
                  static_cast<ssize_t>(record.size()));
    }
    std::string Receive() {
        std::string buffer(70000, '\0');
        const ssize_t n = recv(fds[1], &buffer[0], buffer.size(), 0);
        return n < 0 ? std::string() : buffer.substr(0, static_cast<size_t>(n));
    }

    TempDir dir;
    int fds[2] = {-1, -1};
    std::unique_ptr<TestCore> core;
};

TEST_F(Channel, ReassemblesPacketsAcrossAndWithinRecords) {
    PacketLog log;
    Run(log);
    Send(Packet(kAlphaTarget, 1, "one") + Packet(kAlphaTarget, 2, "two"));
    const std::string split = Packet(kAlphaTarget, 3, "three");
    Send(split.substr(0, 10));
    Send(split.substr(10, 9));
    Send(split.substr(19));
    ASSERT_TRUE(testkit::WaitFor([&] { return log.Seen().size() == 3; }));
    EXPECT_EQ(log.Seen(), (std::vector<std::string>{"one", "two", "three"}));
}

// A supervisor packet whose plugin keeps the event-loop thread busy until released.
struct BusyPacket {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};

    static int32_t Ioctl(void* context, _IoctlParmsIn* in, _IoctlParmsOut*) {
        auto* self = static_cast<BusyPacket*>(context);
        if (in->code != DVR_IOCTL_SUPERVISOR) return 0;
        self->entered = true;
        return testkit::WaitFor([self] { return self->release.load(); }) ? 0 : 1;
    }
};

TEST_F(Channel, ADeltaWaitingBehindABusyPacketIsAppliedBeforeTheCoreStops) {
    BusyPacket busy;
    TestPluginHooks hooks{};
    hooks.context = &busy;
    hooks.ioctl = &BusyPacket::Ioctl;
    testkit::SetPluginHooks("alpha", hooks);
    StartWithIdentity();
    Send(Packet(kAlphaTarget, 1, "busy"));
    ASSERT_TRUE(testkit::WaitFor([&] { return busy.entered.load(); }));
    // The delivery loop hands the delta's parse to the event-loop thread, behind the packet.
    const std::string delta = "<Norv Delta=\"1\"><Modules><Module><Plugin ID=\"-2147483648\" "
                              "LogLevel=\"7\" /></Module></Modules></Norv>";
    ASSERT_EQ(testkit::Raise(testkit::MakeEvent(kAlphaId, DVR_CLASS_CONFIG, DVR_CODE_DOCUMENT,
                                                delta.data(),
                                                static_cast<uint32_t>(delta.size()))),
              DVR_RESULT_OK);
    std::thread stopper([&] { core->Stop(); });
    ASSERT_TRUE(testkit::WaitFor([&] { return core->requests.DeliveryEnded(); }));
    busy.release = true;
    stopper.join();
    EXPECT_EQ(core->logLevels.Get(0), 7);
    const std::string saved = testkit::ReadFile(dir / "work/core.xml");
    EXPECT_NE(saved.find("LogLevel=\"7\""), std::string::npos) << saved;
}

TEST_F(Channel, BadLengthsDropWhatIsBufferedAndTheChannelGoesOn) {
    PacketLog log;
    Run(log);
    // 65537 is too long; 0 and 8 would never advance past the header.
    for (uint32_t bad : {65537u, 0u, 8u}) {
        Send(Packet(kAlphaTarget, 1, "lost", bad) + Packet(kAlphaTarget, 1, "lost too"));
        Send(Packet(kAlphaTarget, 1, "after " + std::to_string(bad)));
    }
    ASSERT_TRUE(testkit::WaitFor([&] { return log.Seen().size() == 3; }))
        << ::testing::PrintToString(log.Seen()) << ::testing::PrintToString(core->Texts());
    EXPECT_EQ(log.Seen(),
              (std::vector<std::string>{"after 65537", "after 0", "after 8"}));
    int bad = 0;
    for (const auto& line : core->Lines())
        bad += line.text == "bad ipc packet length" && line.level == 50;
    EXPECT_EQ(bad, 3);
}

TEST_F(Channel, EmptyIdentityIsAPluginPacketAndUnknownTargetsAreConsumed) {
    PacketLog log;
    log.answer = 9;
    Run(log);
    Send(Packet(0x7FF00000u, 1, "nobody"));
    Send(Packet(kAlphaTarget, 7, ""));
    ASSERT_TRUE(testkit::WaitFor([&] { return log.Seen().size() == 1; }));
    EXPECT_EQ(log.Seen()[0], "");
    ASSERT_TRUE(testkit::WaitFor(
        [&] { return core->Logged("plugin alpha.so ipc ioctl returned 9 error 0"); }));
}

TEST_F(Channel, IdentitySplitsAtNulBytes) {
    PacketLog log;
    Run(log);
    {
        std::lock_guard<std::mutex> lock(core->deliveryMutex);
        EXPECT_EQ(core->supervisor.Get().fileName, "corvaned");
        EXPECT_EQ(core->supervisor.Get().version, "1.2.3");
    }
    // No NUL: the name changes, the version stays. Then a, NUL, b, NUL.
    Send(Packet(0, 7, "abc"));
    Send(Packet(0, 7, std::string("a\0b\0", 4)));
    Send(Packet(kAlphaTarget, 1, "marker"));
    ASSERT_TRUE(testkit::WaitFor([&] { return log.Seen().size() == 1; }));
    std::lock_guard<std::mutex> lock(core->deliveryMutex);
    EXPECT_EQ(core->supervisor.Get().fileName, "a");
    EXPECT_EQ(core->supervisor.Get().version, "b");
}

TEST_F(Channel, StopPacketEndsTheRun) {
    PacketLog log;
    Run(log);
    Send(Packet(0, 8, ""));
    ASSERT_TRUE(testkit::WaitFor([&] { return core->Logged("stopping core version 19.12.6.0..."); }));
    core->Stop();
    EXPECT_FALSE(core->lingered);
}

TEST_F(Channel, OutgoingMessagesGoOutInOrderEachAsItsOwnRecord) {
    PacketLog log;
    Run(log);
    const std::string big(70000, 'x');
    for (const std::string& text : {std::string("first"), std::string("second"), big}) {
        void* block = std::malloc(text.size());
        std::memcpy(block, text.data(), text.size());
        EXPECT_EQ(testkit::Raise(testkit::MakeEvent(kAlphaId, DVR_CMD_SEND, 0, block,
                                                    static_cast<uint32_t>(text.size()))),
                  0);
    }
    EXPECT_EQ(Receive(), "first");
    EXPECT_EQ(Receive(), "second");
    EXPECT_EQ(Receive(), big.substr(0, 65536));
    EXPECT_EQ(Receive(), big.substr(65536));
}

TEST_F(Channel, MessagesThatCannotBeWrittenAreDroppedNotHeld) {
    PacketLog log;
    Run(log);
    // The supervisor stops reading: every write fails, while its packets could still come in.
    ASSERT_EQ(shutdown(fds[1], SHUT_RD), 0);
    for (const char* text : {"one", "two", "three"}) {
        void* block = std::malloc(std::strlen(text));
        std::memcpy(block, text, std::strlen(text));
        EXPECT_EQ(testkit::Raise(testkit::MakeEvent(kAlphaId, DVR_CMD_SEND, 0, block,
                                                    static_cast<uint32_t>(std::strlen(text)))),
                  0);
    }
    // The queue belongs to the event-loop thread: ask there.
    const auto queued = [this] {
        std::promise<std::size_t> size;
        boost::asio::post(core->eventLoop, [&] { size.set_value(core->sendQueue.size()); });
        return size.get_future().get();
    };
    EXPECT_TRUE(testkit::WaitFor([&] { return queued() == 0; }));
    EXPECT_FALSE(core->stopRequested) << "a refused write is not a lost supervisor";
}

TEST_F(Channel, DisconnectionLogsLingersAndStops) {
    PacketLog log;
    Run(log);
    close(fds[1]);
    fds[1] = -1;
    // The event-loop thread closes the channel just after it requests the stop.
    ASSERT_TRUE(testkit::WaitFor([&] { return core->stopRequested && !core->channelOpen; }));
    const auto texts = core->Texts();
    const auto first = std::find(texts.begin(), texts.end(), "corvaned ipc pipe disconnected");
    ASSERT_NE(first, texts.end());
    ASSERT_NE(first + 1, texts.end());
    EXPECT_EQ(first[1], "sleeping for one minute to allow active watchdogs to expire...");
    EXPECT_FALSE(core->channelOpen);
    // A message handed in after the link is gone is refused and freed.
    void* block = std::malloc(4);
    EXPECT_EQ(testkit::Raise(testkit::MakeEvent(kAlphaId, DVR_CMD_SEND, 0, block, 4)), 1);
    core->Stop();
    EXPECT_TRUE(core->lingered);
}

}  // namespace
