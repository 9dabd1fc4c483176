// The delivery loop with real plugins: who receives a queued event and how, configuration
// events, blocks kept past a call and given back from other threads, draining at stop, and
// the report of blocks never given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "support/plugin_harness.h"

namespace testkit {
namespace {

constexpr uint32_t kRaiser = 0x00990000;  // a module that is not loaded

TEST(Delivery, SubscribersShareOneBlockInTableOrderAndSeeTheEventVerbatim) {
    TempDir dir;
    Recorder a, b, plain, noWrite;
    Shared<std::string> order;
    auto inOrder = [&order](Recorder& recorder, const char* name) {
        PluginHooks hooks;
        hooks.write = [&order, record = recorder.Write(), name](auto* in, auto* out) {
            order.Add(name);
            return record(in, out);
        };
        return hooks;
    };
    Plugin pa(dir, "bus_a", inOrder(a, "a"));
    Plugin pb(dir, "bus_b", inOrder(b, "b"));
    Plugin pplain(dir, "bus_plain", plain.Hooks());
    Plugin pnoWrite(dir, "bus_no_write", noWrite.Hooks());
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

    ASSERT_EQ(a.writes.Size(), 1u);
    ASSERT_EQ(b.writes.Size(), 1u);
    EXPECT_EQ(plain.writes.Size(), 0u);    // subscribed to code 0 only
    EXPECT_EQ(noWrite.writes.Size(), 0u);  // subscribed, but takes no Write
    const WriteCall first = a.writes.Items()[0];
    const WriteCall second = b.writes.Items()[0];
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
    Recorder bits25, bits24;
    Plugin p25(dir, "bus_bits25", bits25.Hooks());
    Plugin p24(dir, "bus_bits24", bits24.Hooks());
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

    EXPECT_EQ(bits25.WriteCodes(), (std::vector<uint32_t>{0x01000005, 0x81000005, 0x80000005, 5, 4,
                                                          0x01000005, 0x10, 0x11, 0x12}));
    EXPECT_EQ(bits24.WriteCodes(), (std::vector<uint32_t>{0x80000005, 5, 4}));
}

TEST(Delivery, ConfigurationReachesEveryOtherPluginThroughIoctlTwo) {
    TempDir dir;
    Recorder a, b, plain, noIoctl, noWrite;
    PluginHooks plainHooks = plain.Hooks();
    plainHooks.ioctl = plain.Ioctl(1);  // keeps the text
    Plugin pa(dir, "bus_a", a.Hooks());
    Plugin pb(dir, "bus_b", b.Hooks());
    Plugin pplain(dir, "bus_plain", plainHooks);
    Plugin pnoIoctl(dir, "bus_no_ioctl", noIoctl.Hooks());
    Plugin pnoWrite(dir, "bus_no_write", noWrite.Hooks());
    TestCore core(dir);
    core.StartInBackground();

    const std::string text = "<Config Level=\"3\"/>";
    const auto size = static_cast<uint32_t>(text.size());
    ASSERT_EQ(Raise(Event(pa.id(), DVR_CLASS_CONFIG | DVR_CLASS_1, 1, text.data(), size)), 0);
    ASSERT_EQ(Raise(Event(pb.id(), DVR_CLASS_CONFIG, 2)), DVR_RESULT_OK);
    core.Stop();

    // The source takes its own event only as a subscriber; the others, subscribed or not,
    // through IOCTL 2, never through Write.
    ASSERT_EQ(a.writes.Size(), 1u);
    EXPECT_EQ(a.writes.Items()[0].bytes, text);
    for (const Recorder* other : {&b, &plain, &noIoctl, &noWrite})
        EXPECT_EQ(other->writes.Size(), 0u);
    ASSERT_EQ(a.ioctls.Size(), 1u);
    ASSERT_EQ(b.ioctls.Size(), 1u);
    ASSERT_EQ(plain.ioctls.Size(), 2u);
    ASSERT_EQ(noWrite.ioctls.Size(), 2u);

    void* block = a.writes.Items()[0].in.data;
    for (const IoctlCall& call :
         {b.ioctls.Items()[0], plain.ioctls.Items()[0], noWrite.ioctls.Items()[0]}) {
        const _IoctlParmsIn in{sizeof in, 1, DVR_IOCTL_UPDATE_CONFIG, 16, 1, size, block};
        EXPECT_EQ(std::memcmp(&call.in, &in, sizeof in), 0);
        EXPECT_EQ(call.bytes, text);
    }
    for (const IoctlCall& call :
         {a.ioctls.Items()[0], plain.ioctls.Items()[1], noWrite.ioctls.Items()[1]}) {
        const _IoctlParmsIn in{sizeof in, 1, DVR_IOCTL_UPDATE_CONFIG, 16, 1, 0, nullptr};
        EXPECT_EQ(std::memcmp(&call.in, &in, sizeof in), 0);
        const _IoctlParmsOut out{sizeof out, 1, DVR_IOCTL_UPDATE_CONFIG, 0, 0, 8, 1};
        EXPECT_EQ(std::memcmp(&call.out, &out, sizeof out), 0);
    }
    // bus_plain kept the text past its call; it stays until given back.
    EXPECT_EQ(core.Leaks(), (Holds{{block, pplain.id()}}));
    EXPECT_EQ(Release(block, pplain.id()), DVR_RESULT_OK);
    EXPECT_TRUE(core.Leaks().empty());
}

TEST(Delivery, FailingCallsAreLoggedAndTheNextPluginStillReceives) {
    TempDir dir;
    Recorder c, plain;
    PluginHooks aHooks, bHooks;
    aHooks.write = [](_WriteParmsIn*, _WriteParmsOut*) { return 2; };
    bHooks.write = [](_WriteParmsIn*, _WriteParmsOut* out) {
        out->error = 5;
        return 0;
    };
    bHooks.ioctl = [](_IoctlParmsIn* in, _IoctlParmsOut* out) {
        if (CoreDocument(in->data, in->length)) return 0;
        out->error = 4;
        return 3;
    };
    Plugin pa(dir, "bus_a", aHooks);
    Plugin pb(dir, "bus_b", bHooks);
    Plugin pc(dir, "bus_c", c.Hooks());
    Plugin pplain(dir, "bus_plain", plain.Hooks());
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 9)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(pa.id(), DVR_CLASS_CONFIG, 0, "<x/>", 4)), DVR_RESULT_OK);
    core.Stop();

    EXPECT_EQ(c.writes.Size(), 1u);
    EXPECT_EQ(plain.ioctls.Size(), 1u);
    EXPECT_EQ(core.CoreLines(" returned "),
              (Lines{"0 plugin bus_a.so write returned 2 error 0",
                     "0 plugin bus_b.so write returned 0 error 5",
                     "0 plugin bus_b.so update config returned 3 error 4"}));
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
            const auto calls = c.writes.Items();
            return !calls.empty() && calls.back().in.code == kMarker;
        }));
    }

    static constexpr uint32_t kMarker = 0xFFFF;
    TempDir dir;
    Recorder c;
};

TEST_F(KeptBlocks, LastReleaseFromAnotherThreadFreesTheBlockOnce) {
    Recorder a, b;
    Plugin pa(dir, "bus_a", a.Hooks(1));
    Plugin pb(dir, "bus_b", b.Hooks(1));
    Plugin pc(dir, "bus_c", c.Hooks());
    TestCore core(dir);
    core.StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "kept", 5));
    ASSERT_EQ(a.writes.Size(), 2u);
    ASSERT_EQ(b.writes.Size(), 2u);
    char* block = static_cast<char*>(a.writes.Items()[0].in.data);
    EXPECT_EQ(core.Leaks(), (Holds{{block, pa.id()}, {block, pb.id()}}));

    auto releaseFromThread = [](void* data, uint32_t holder) {
        int32_t result = 99;
        std::thread([&] { result = Release(data, holder); }).join();
        return result;
    };
    EXPECT_EQ(releaseFromThread(block, pa.id()), DVR_RESULT_OK);
    // bus_b still holds it: nothing is freed and the block is intact.
    EXPECT_EQ(core.Leaks(), (Holds{{block, pb.id()}}));
    EXPECT_STREQ(block, "kept");
    EXPECT_EQ(releaseFromThread(block, pc.id()), DVR_RESULT_OK);  // not a holder: no change
    EXPECT_EQ(core.Leaks(), (Holds{{block, pb.id()}}));
    EXPECT_EQ(releaseFromThread(block, pb.id()), DVR_RESULT_OK);
    EXPECT_TRUE(core.Leaks().empty());
    // Freed: the address is unknown now, and a second release frees nothing.
    EXPECT_EQ(releaseFromThread(block, pb.id()), DVR_RESULT_REFUSED);
    core.Stop();
}

TEST_F(KeptBlocks, ReleasesDuringTheCallEndTheHoldButNotTheCoresOwn) {
    Shared<int32_t> answers;
    std::string seenAfterCoreRelease;
    PluginHooks aHooks, bHooks, cHooks;
    // bus_a gives the block back from its own call, then claims to keep it.
    aHooks.write = [&answers](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            answers.Add(Release(in->data, 0x00300000));
            out->pending = 1;
        }
        return 0;
    };
    // bus_b the same from another thread while its call still runs.
    bHooks.write = [&answers](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            std::thread([&] { answers.Add(Release(in->data, 0x00310000)); }).join();
            out->pending = 1;
        }
        return 0;
    };
    // bus_c tries to drop the core's hold, then reads the block.
    cHooks.write = [&, record = c.Write()](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 1) {
            answers.Add(Release(in->data, DVR_CORE_ID));
            seenAfterCoreRelease = Bytes(in->data, in->length);
        }
        return record(in, out);
    };
    Plugin pa(dir, "bus_a", aHooks);
    Plugin pb(dir, "bus_b", bHooks);
    Plugin pc(dir, "bus_c", cHooks);
    TestCore core(dir);
    core.StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "in call", 8));
    void* block = c.writes.Items()[0].in.data;

    EXPECT_EQ(answers.Items(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(seenAfterCoreRelease, std::string("in call", 8));
    EXPECT_TRUE(core.Leaks().empty());
    EXPECT_EQ(Release(block, pa.id()), DVR_RESULT_REFUSED);
    core.Stop();
}

TEST(Delivery, StopDeliversEverythingQueuedInOrderBeforeStartReturns) {
    TempDir dir;
    CallGate gate;
    Recorder a;
    PluginHooks hooks;
    hooks.write = [&, record = a.Write()](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->code == 0) gate.Pass("first write");
        return record(in, out);
    };
    Plugin pa(dir, "bus_a", hooks);
    TestCore core(dir);
    const OpenAtExit release{gate};
    core.StartInBackground();

    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 0)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("first write"));
    // The loop is held inside the first Write; everything below waits in the queue.
    constexpr uint32_t kQueued = 50;
    for (uint32_t code = 1; code <= kQueued; ++code) {
        const std::string text = std::to_string(code);
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, code, text.data(), text.size())), 0);
    }
    core.RequestStop();
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, kQueued + 1)), DVR_RESULT_REFUSED);
    gate.Open("first write");
    core.Stop();

    std::vector<uint32_t> expected;
    for (uint32_t code = 0; code <= kQueued; ++code) expected.push_back(code);
    EXPECT_EQ(a.WriteCodes(), expected);
    const auto calls = a.writes.Items();
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].bytes, std::to_string(calls[i].in.code));
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 99)), DVR_RESULT_REFUSED);
}

Lines LeakReport(const TestCore& core) { return core.CoreLines(" leaked by plugin "); }

std::string LeakLine(void* block, uint32_t holder) {
    char line[96];
    std::snprintf(line, sizeof line, "0 address %p leaked by plugin %08lX", block,
                  static_cast<unsigned long>(holder));
    return line;
}

TEST(LeakReport, ListsEveryHoldStillTakenInAddressAndHoldOrderOnce) {
    TempDir dir;
    Recorder a, b;
    Plugin pa(dir, "bus_a", a.Hooks(1));
    Plugin pb(dir, "bus_b", b.Hooks(1));
    auto core = std::make_unique<TestCore>(dir);
    core->StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 2, "two", 3)), DVR_RESULT_OK);
    core->Stop();
    ASSERT_EQ(a.writes.Size(), 2u);
    std::vector<void*> blocks{a.writes.Items()[0].in.data, a.writes.Items()[1].in.data};
    std::sort(blocks.begin(), blocks.end(), [](void* x, void* y) {
        return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
    });
    const Lines expected{LeakLine(blocks[0], pa.id()), LeakLine(blocks[0], pb.id()),
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
    Recorder a;
    Plugin pa(dir, "bus_a", a.Hooks(1));
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return core.Leaks().size() == 1; }));
    std::thread([&] { EXPECT_EQ(Release(a.writes.Items()[0].in.data, pa.id()), 0); }).join();
    core.Stop();
    EXPECT_TRUE(LeakReport(core).empty());
}

}  // namespace
}  // namespace testkit
