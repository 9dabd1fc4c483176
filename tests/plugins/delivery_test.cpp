// The delivery loop with real plugins: who receives a queued event and how, configuration
// events, blocks kept past a call and given back from other threads, draining at stop, and
// the report of blocks never given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "plugins/bus_harness.h"

namespace {

using bus::Event;
using bus::Plugin;
using bus::Shared;
using testkit::Raise;
using testkit::TempDir;
using testkit::TestCore;
using testkit::WaitFor;

constexpr uint32_t kRaiser = 0x00990000;  // a module that is not loaded

struct WriteCall {
    _WriteParmsIn in;
    _WriteParmsOut out;
    std::string bytes;
};

struct IoctlCall {
    _IoctlParmsIn in;
    _IoctlParmsOut out;
    std::string bytes;
};

bus::Hooks RecordWrites(Shared<WriteCall>& calls, uint32_t pending = 0) {
    bus::Hooks hooks;
    hooks.write = [&calls, pending](_WriteParmsIn* in, _WriteParmsOut* out) {
        calls.Add({*in, *out, bus::Bytes(in->data, in->length)});
        out->pending = pending;
        return 0;
    };
    return hooks;
}

bus::Hooks RecordIoctls(Shared<IoctlCall>& calls, uint32_t pending = 0) {
    bus::Hooks hooks;
    hooks.ioctl = [&calls, pending](_IoctlParmsIn* in, _IoctlParmsOut* out) {
        if (bus::CoreDocument(in->data, in->length)) return 0;
        calls.Add({*in, *out, bus::Bytes(in->data, in->length)});
        out->pending = pending;
        return 0;
    };
    return hooks;
}

std::vector<uint32_t> Codes(const Shared<WriteCall>& calls) {
    std::vector<uint32_t> codes;
    for (const WriteCall& call : calls.Items()) codes.push_back(call.in.code);
    return codes;
}

using Holds = std::vector<std::pair<void*, uint32_t>>;

TEST(Delivery, SubscribersShareOneBlockInTableOrderAndSeeTheEventVerbatim) {
    TempDir dir;
    Shared<WriteCall> a, b, plain, noWrite;
    Shared<std::string> order;
    auto inOrder = [&order](Shared<WriteCall>& calls, const char* name) {
        bus::Hooks hooks;
        hooks.write = [&order, &calls, name](_WriteParmsIn* in, _WriteParmsOut* out) {
            order.Add(name);
            return RecordWrites(calls).write(in, out);
        };
        return hooks;
    };
    Plugin pa(dir, "bus_a", inOrder(a, "a"));
    Plugin pb(dir, "bus_b", inOrder(b, "b"));
    Plugin pplain(dir, "bus_plain", RecordWrites(plain));
    Plugin pnoWrite(dir, "bus_no_write", RecordWrites(noWrite));
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(core.plugins.size(), 4u);

    // Raised by bus_a itself: a subscriber receives its own events too.
    _EventParmsIn event = Event(pa.id(), DVR_CLASS_1, 7, "payload", 7);
    std::memset(event.reserved32, 0x11, sizeof event.reserved32);
    std::memset(event.reserved44, 0x22, sizeof event.reserved44);
    std::memset(event.reserved51, 0x33, sizeof event.reserved51);
    event.level = 12;
    event.keyFrame = 3;
    ASSERT_EQ(Raise(event), DVR_RESULT_OK);
    core.Stop();

    ASSERT_EQ(a.Size(), 1u);
    ASSERT_EQ(b.Size(), 1u);
    EXPECT_EQ(plain.Size(), 0u);    // subscribed to code 0 only
    EXPECT_EQ(noWrite.Size(), 0u);  // subscribed, but takes no Write
    const WriteCall first = a.Items()[0];
    const WriteCall second = b.Items()[0];
    EXPECT_EQ(first.in.data, second.in.data);
    EXPECT_EQ(first.bytes, "payload");
    EXPECT_EQ(second.bytes, "payload");
    EXPECT_EQ(first.in.size, sizeof(_WriteParmsIn));
    EXPECT_EQ(first.in.version, 1u);
    EXPECT_EQ(first.in.reserved8, 0u);
    EXPECT_EQ(first.in.zero, 0u);
    EXPECT_EQ(first.in.length, 7u);
    EXPECT_EQ(std::memcmp(&first.in.source, &event.source,
                          sizeof event - offsetof(_EventParmsIn, source)),
              0);
    const _WriteParmsOut preset{sizeof(_WriteParmsOut), 1, {0, 0}, 0, 0};
    EXPECT_EQ(std::memcmp(&first.out, &preset, sizeof preset), 0);
    EXPECT_EQ(order.Items(), (std::vector<std::string>{"a", "b"}));  // plugin-table order
}

TEST(Delivery, QueuedEventsMatchWithTheAdjustedCode) {
    TempDir dir;
    Shared<WriteCall> bits25, bits24;
    Plugin p25(dir, "bus_bits25", RecordWrites(bits25));
    Plugin p24(dir, "bus_bits24", RecordWrites(bits24));
    TestCore core(dir);
    core.throttling = false;  // no memory reading may refuse the video frame below
    core.StartInBackground();

    for (uint32_t code : {0x01000005u, 0x81000005u, 0x80000005u, 0x5u, 0x4u, 0x8u})
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_7, code)), DVR_RESULT_OK);
    _EventParmsIn frame = Event(kRaiser, DVR_CLASS_0, 0x01000005);
    frame.keyFrame = 1;
    ASSERT_EQ(Raise(frame), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8, 0x10)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8 | DVR_CMD_RELEASE, 0x11)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8 | DVR_CLASS_7, 0x12)), DVR_RESULT_OK);
    core.Stop();

    EXPECT_EQ(Codes(bits25), (std::vector<uint32_t>{0x01000005, 0x81000005, 0x80000005, 5, 4,
                                                     0x01000005, 0x10, 0x11, 0x12}));
    EXPECT_EQ(Codes(bits24), (std::vector<uint32_t>{0x80000005, 5, 4}));
}

TEST(Delivery, ConfigurationReachesEveryOtherPluginThroughIoctlTwo) {
    TempDir dir;
    Shared<WriteCall> aWrites, bWrites, plainWrites, noIoctlWrites;
    Shared<IoctlCall> aIoctls, bIoctls, plainIoctls, noWriteIoctls;
    bus::Hooks aHooks = RecordWrites(aWrites);
    aHooks.ioctl = RecordIoctls(aIoctls).ioctl;
    bus::Hooks bHooks = RecordWrites(bWrites);
    bHooks.ioctl = RecordIoctls(bIoctls).ioctl;
    bus::Hooks plainHooks = RecordWrites(plainWrites);
    plainHooks.ioctl = RecordIoctls(plainIoctls, 1).ioctl;  // keeps the text
    Plugin pa(dir, "bus_a", aHooks);
    Plugin pb(dir, "bus_b", bHooks);
    Plugin pplain(dir, "bus_plain", plainHooks);
    Plugin pnoIoctl(dir, "bus_no_ioctl", RecordWrites(noIoctlWrites));
    Plugin pnoWrite(dir, "bus_no_write", RecordIoctls(noWriteIoctls));
    TestCore core(dir);
    core.StartInBackground();

    const std::string text = "<Config Level=\"3\"/>";
    const auto size = static_cast<uint32_t>(text.size());
    ASSERT_EQ(Raise(Event(pa.id(), DVR_CLASS_CONFIG | DVR_CLASS_1, 1, text.data(), size)), 0);
    ASSERT_EQ(Raise(Event(pb.id(), DVR_CLASS_CONFIG, 2)), DVR_RESULT_OK);
    core.Stop();

    // The source takes its own event only as a subscriber; the others, subscribed or not,
    // through IOCTL 2, never through Write.
    ASSERT_EQ(aWrites.Size(), 1u);
    EXPECT_EQ(aWrites.Items()[0].bytes, text);
    EXPECT_EQ(bWrites.Size(), 0u);
    EXPECT_EQ(plainWrites.Size(), 0u);
    EXPECT_EQ(noIoctlWrites.Size(), 0u);
    ASSERT_EQ(aIoctls.Size(), 1u);
    ASSERT_EQ(bIoctls.Size(), 1u);
    ASSERT_EQ(plainIoctls.Size(), 2u);
    ASSERT_EQ(noWriteIoctls.Size(), 2u);

    void* block = aWrites.Items()[0].in.data;
    for (const IoctlCall& call : {bIoctls.Items()[0], plainIoctls.Items()[0],
                                  noWriteIoctls.Items()[0]}) {
        const _IoctlParmsIn in{sizeof in, 1, DVR_IOCTL_UPDATE_CONFIG, 16, 1, size, block};
        EXPECT_EQ(std::memcmp(&call.in, &in, sizeof in), 0);
        EXPECT_EQ(call.bytes, text);
    }
    for (const IoctlCall& call : {aIoctls.Items()[0], plainIoctls.Items()[1],
                                  noWriteIoctls.Items()[1]}) {
        const _IoctlParmsIn in{sizeof in, 1, DVR_IOCTL_UPDATE_CONFIG, 16, 1, 0, nullptr};
        EXPECT_EQ(std::memcmp(&call.in, &in, sizeof in), 0);
        const _IoctlParmsOut out{sizeof out, 1, DVR_IOCTL_UPDATE_CONFIG, 0, 0, 8, 1};
        EXPECT_EQ(std::memcmp(&call.out, &out, sizeof out), 0);
    }
    // bus_plain kept the text past its call; it stays until given back.
    EXPECT_EQ(core.holdTable.Leaks(), (Holds{{block, pplain.id()}}));
    EXPECT_EQ(bus::Release(block, pplain.id()), DVR_RESULT_OK);
    EXPECT_TRUE(core.holdTable.Leaks().empty());
}

TEST(Delivery, FailingCallsAreLoggedAndTheNextPluginStillReceives) {
    TempDir dir;
    Shared<WriteCall> cWrites;
    Shared<IoctlCall> plainIoctls;
    bus::Hooks aHooks;
    aHooks.write = [](_WriteParmsIn*, _WriteParmsOut*) { return 2; };
    bus::Hooks bHooks;
    bHooks.write = [](_WriteParmsIn*, _WriteParmsOut* out) {
        out->error = 5;
        return 0;
    };
    bHooks.ioctl = [](_IoctlParmsIn* in, _IoctlParmsOut* out) {
        if (bus::CoreDocument(in->data, in->length)) return 0;
        out->error = 4;
        return 3;
    };
    Plugin pa(dir, "bus_a", aHooks);
    Plugin pb(dir, "bus_b", bHooks);
    Plugin pc(dir, "bus_c", RecordWrites(cWrites));
    Plugin pplain(dir, "bus_plain", RecordIoctls(plainIoctls));
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 9)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(pa.id(), DVR_CLASS_CONFIG, 0, "<x/>", 4)), DVR_RESULT_OK);
    core.Stop();

    EXPECT_EQ(cWrites.Size(), 1u);
    EXPECT_EQ(plainIoctls.Size(), 1u);
    std::vector<std::string> reports;
    for (const testkit::LogLine& line : core.Lines())
        if (line.text.rfind("plugin ", 0) == 0 && line.module == DVR_CORE_ID && line.level == 0)
            reports.push_back(line.text);
    EXPECT_EQ(reports, (std::vector<std::string>{"plugin bus_a.so write returned 2 error 0",
                                                 "plugin bus_b.so write returned 0 error 5",
                                                 "plugin bus_b.so update config returned 3 error 4"}));
}

// Subscribers that keep the block, and one that reads it after the others had their turn.
class KeptBlocks : public ::testing::Test {
protected:
    // Marks the end of a delivery: the loop delivers in order, so once bus_c has the marker
    // every earlier event is delivered and the core's own hold on it is gone.
    void DeliverAndWait(const _EventParmsIn& event) {
        ASSERT_EQ(Raise(event), DVR_RESULT_OK);
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, kMarker)), DVR_RESULT_OK);
        ASSERT_TRUE(WaitFor([this] {
            const auto calls = c.Items();
            return !calls.empty() && calls.back().in.code == kMarker;
        }));
    }

    static constexpr uint32_t kMarker = 0xFFFF;
    TempDir dir;
    Shared<WriteCall> c;
};

TEST_F(KeptBlocks, LastReleaseFromAnotherThreadFreesTheBlockOnce) {
    Shared<WriteCall> a, b;
    Plugin pa(dir, "bus_a", RecordWrites(a, 1));
    Plugin pb(dir, "bus_b", RecordWrites(b, 1));
    Plugin pc(dir, "bus_c", RecordWrites(c));
    TestCore core(dir);
    core.StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "kept", 5));
    ASSERT_EQ(a.Size(), 2u);
    ASSERT_EQ(b.Size(), 2u);
    char* block = static_cast<char*>(a.Items()[0].in.data);
    EXPECT_EQ(core.holdTable.Leaks(), (Holds{{block, pa.id()}, {block, pb.id()}}));

    auto releaseFromThread = [](void* data, uint32_t holder) {
        int32_t result = 99;
        std::thread([&] { result = bus::Release(data, holder); }).join();
        return result;
    };
    EXPECT_EQ(releaseFromThread(block, pa.id()), DVR_RESULT_OK);
    // bus_b still holds it: nothing is freed and the block is intact.
    EXPECT_EQ(core.holdTable.Leaks(), (Holds{{block, pb.id()}}));
    EXPECT_STREQ(block, "kept");
    EXPECT_EQ(releaseFromThread(block, pc.id()), DVR_RESULT_OK);  // not a holder: no change
    EXPECT_EQ(core.holdTable.Leaks(), (Holds{{block, pb.id()}}));
    EXPECT_EQ(releaseFromThread(block, pb.id()), DVR_RESULT_OK);
    EXPECT_TRUE(core.holdTable.Leaks().empty());
    // Freed: the address is unknown now, and a second release frees nothing.
    EXPECT_EQ(releaseFromThread(block, pb.id()), DVR_RESULT_REFUSED);
    core.Stop();
}

TEST_F(KeptBlocks, ReleasesDuringTheCallEndTheHoldButNotTheCoresOwn) {
    Shared<int32_t> answers;
    std::string seenAfterCoreRelease;
    bus::Hooks aHooks;  // gives the block back from its own call, then claims to keep it
    aHooks.write = [&answers](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            answers.Add(bus::Release(in->data, 0x00300000));
            out->pending = 1;
        }
        return 0;
    };
    bus::Hooks bHooks;  // the same from another thread while its call still runs
    bHooks.write = [&answers](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            std::thread([&] { answers.Add(bus::Release(in->data, 0x00310000)); }).join();
            out->pending = 1;
        }
        return 0;
    };
    bus::Hooks cHooks;  // tries to drop the core's hold, then reads the block
    cHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            answers.Add(bus::Release(in->data, DVR_CORE_ID));
            seenAfterCoreRelease = bus::Bytes(in->data, in->length);
        }
        return RecordWrites(c).write(in, out);
    };
    Plugin pa(dir, "bus_a", aHooks);
    Plugin pb(dir, "bus_b", bHooks);
    Plugin pc(dir, "bus_c", cHooks);
    TestCore core(dir);
    core.StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "in call", 8));
    void* block = c.Items()[0].in.data;

    EXPECT_EQ(answers.Items(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(seenAfterCoreRelease, std::string("in call", 8));
    EXPECT_TRUE(core.holdTable.Leaks().empty());
    EXPECT_EQ(bus::Release(block, pa.id()), DVR_RESULT_REFUSED);
    core.Stop();
}

TEST(Delivery, StopDeliversEverythingQueuedInOrderBeforeStartReturns) {
    TempDir dir;
    bus::Gate gate;
    Shared<WriteCall> a;
    Shared<bool> entered;
    bus::Hooks hooks;
    hooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 0) {
            entered.Add(true);
            gate.Wait();
        }
        return RecordWrites(a).write(in, out);
    };
    Plugin pa(dir, "bus_a", hooks);
    TestCore core(dir);
    const bus::OpenAtExit release(gate);
    core.StartInBackground();

    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 0)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return entered.Size() == 1; }));
    // The loop is held inside the first Write; everything below waits in the queue.
    constexpr uint32_t kQueued = 50;
    for (uint32_t code = 1; code <= kQueued; ++code) {
        const std::string text = std::to_string(code);
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, code, text.data(), text.size())), 0);
    }
    core.RequestStop();
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, kQueued + 1)), DVR_RESULT_REFUSED);
    gate.Open();
    core.Stop();

    std::vector<uint32_t> expected;
    for (uint32_t code = 0; code <= kQueued; ++code) expected.push_back(code);
    EXPECT_EQ(Codes(a), expected);
    const auto calls = a.Items();
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].bytes, std::to_string(calls[i].in.code));
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 99)), DVR_RESULT_REFUSED);
}

std::vector<std::string> LeakReport(const TestCore& core) {
    std::vector<std::string> report;
    for (const testkit::LogLine& line : core.Lines())
        if (line.module == DVR_CORE_ID && line.level == 0 &&
            line.text.find(" leaked by plugin ") != std::string::npos)
            report.push_back(line.text);
    return report;
}

std::string LeakLine(void* block, uint32_t holder) {
    char line[96];
    std::snprintf(line, sizeof line, "address %p leaked by plugin %08lX", block,
                  static_cast<unsigned long>(holder));
    return line;
}

TEST(LeakReport, ListsEveryHoldStillTakenInAddressAndHoldOrderOnce) {
    TempDir dir;
    Shared<WriteCall> a, b;
    Plugin pa(dir, "bus_a", RecordWrites(a, 1));
    Plugin pb(dir, "bus_b", RecordWrites(b, 1));
    auto core = std::make_unique<TestCore>(dir);
    core->StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 2, "two", 3)), DVR_RESULT_OK);
    core->Stop();
    ASSERT_EQ(a.Size(), 2u);
    std::vector<void*> blocks{a.Items()[0].in.data, a.Items()[1].in.data};
    std::sort(blocks.begin(), blocks.end(), [](void* x, void* y) {
        return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
    });
    const std::vector<std::string> expected{
        LeakLine(blocks[0], pa.id()), LeakLine(blocks[0], pb.id()),
        LeakLine(blocks[1], pa.id()), LeakLine(blocks[1], pb.id())};
    EXPECT_EQ(LeakReport(*core), expected);

    // Not again when the core is destroyed. Its messages go through FlatPluginEvent to
    // whichever core theCore names: a second core built now would catch them.
    TestCore witness(dir);
    core.reset();
    EXPECT_TRUE(LeakReport(witness).empty());
    for (void* block : blocks) std::free(block);  // the report leaves them allocated
}

TEST(LeakReport, SaysNothingWhenEveryBlockWasGivenBack) {
    TempDir dir;
    Shared<WriteCall> a;
    Plugin pa(dir, "bus_a", RecordWrites(a, 1));
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return core.holdTable.Leaks().size() == 1; }));
    std::thread([&] { EXPECT_EQ(bus::Release(a.Items()[0].in.data, pa.id()), 0); }).join();
    core.Stop();
    EXPECT_TRUE(LeakReport(core).empty());
}

}  // namespace
