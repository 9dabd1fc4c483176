// The delivery loop with real plugins: who receives a queued event and how, configuration
// events, blocks kept past a call and given back from other threads, draining at stop, and
// the report of blocks never given back.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/test_core.h"

namespace testkit {
namespace {

constexpr uint32_t kRaiser = 0x00990000;  // a module that is not loaded

using Delivery = PluginHostTest;

// Gives a kept block back from a thread of its own, as a plugin's other threads do.
int32_t ReleaseOnThread(void* block, uint32_t holder) {
    int32_t result = 99;
    std::thread([&] { result = Release(block, holder); }).join();
    return result;
}

TEST_F(Delivery, SubscribersShareOneBlockInTableOrderAndSeeTheEventVerbatim) {
    auto& order = Own<Shared<std::string>>();
    Recorded& a = Record("bus_a", 0, [&order](_WriteParmsIn*) { order.Add("a"); });
    Recorded& b = Record("bus_b", 0, [&order](_WriteParmsIn*) { order.Add("b"); });
    Recorder& plain = Record("bus_plain");
    Recorder& noWrite = Record("bus_no_write");
    core->StartInBackground();
    ASSERT_EQ(core->plugins.size(), 4u);

    // Raised by bus_a itself: a subscriber receives its own events too.
    _EventParmsIn event = Event(a.id, DVR_CLASS_1, 7, "payload", 7);
    std::memset(event.reserved32, 0x11, sizeof event.reserved32);
    std::memset(event.reserved44, 0x22, sizeof event.reserved44);
    std::memset(event.reserved51, 0x33, sizeof event.reserved51);
    event.level = 12;
    event.keyFrame = 3;
    ASSERT_EQ(Raise(event), DVR_RESULT_OK);
    core->Stop();

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

TEST_F(Delivery, QueuedEventsMatchWithTheAdjustedCode) {
    Recorder& bits25 = Record("bus_bits25");
    Recorder& bits24 = Record("bus_bits24");
    core->throttling = false;  // no memory reading may refuse the video frame below
    core->StartInBackground();

    for (uint32_t code : {0x01000005u, 0x81000005u, 0x80000005u, 0x5u, 0x4u, 0x8u})
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_7, code)), DVR_RESULT_OK);
    _EventParmsIn frame = Event(kRaiser, DVR_CLASS_0, 0x01000005);
    frame.keyFrame = 1;
    ASSERT_EQ(Raise(frame), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8, 0x10)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8 | DVR_CMD_RELEASE, 0x11)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_8 | DVR_CLASS_7, 0x12)), DVR_RESULT_OK);
    core->Stop();

    EXPECT_EQ(bits25.WriteCodes(), (std::vector<uint32_t>{0x01000005, 0x81000005, 0x80000005, 5, 4,
                                                          0x01000005, 0x10, 0x11, 0x12}));
    EXPECT_EQ(bits24.WriteCodes(), (std::vector<uint32_t>{0x80000005, 5, 4}));
}

TEST_F(Delivery, ConfigurationReachesEveryOtherPluginThroughIoctlTwo) {
    Recorded& a = Record("bus_a");
    Recorded& b = Record("bus_b");
    Recorded& plain = Record("bus_plain", 1);  // keeps the text
    Recorded& noIoctl = Record("bus_no_ioctl");
    Recorded& noWrite = Record("bus_no_write");
    core->StartInBackground();

    const std::string text = "<Config Level=\"3\"/>";
    const auto size = static_cast<uint32_t>(text.size());
    ASSERT_EQ(Raise(Event(a.id, DVR_CLASS_CONFIG | DVR_CLASS_1, 1, text.data(), size)), 0);
    ASSERT_EQ(Raise(Event(b.id, DVR_CLASS_CONFIG, 2)), DVR_RESULT_OK);
    core->Stop();

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
    EXPECT_EQ(core->Leaks(), (Holds{{block, plain.id}}));
    EXPECT_EQ(Release(block, plain.id), DVR_RESULT_OK);
    EXPECT_TRUE(core->Leaks().empty());
}

TEST_F(Delivery, FailingCallsAreLoggedAndTheNextPluginStillReceives) {
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
    const uint32_t idA = Take("bus_a", aHooks).id();
    Take("bus_b", bHooks);
    Recorder& c = Record("bus_c");
    Recorder& plain = Record("bus_plain");
    core->StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 9)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(idA, DVR_CLASS_CONFIG, 0, "<x/>", 4)), DVR_RESULT_OK);
    core->Stop();

    EXPECT_EQ(c.writes.Size(), 1u);
    EXPECT_EQ(plain.ioctls.Size(), 1u);
    // " error ": the watchdog's lines on a slow call say "returned" too.
    EXPECT_EQ(core->CoreLines(" error "),
              (Lines{"0 plugin bus_a.so write returned 2 error 0",
                     "0 plugin bus_b.so write returned 0 error 5",
                     "0 plugin bus_b.so update config returned 3 error 4"}));
}

// Subscribers that keep the block, and one that reads it after the others had their turn.
class KeptBlocks : public PluginHostTest {
protected:
    // Marks the end of a delivery: the loop delivers in order, so once bus_c has this marker
    // every earlier event is delivered and the core's own hold on it is gone.
    void DeliverAndWait(const _EventParmsIn& event) {
        ASSERT_EQ(Raise(event), DVR_RESULT_OK);
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, kMarker)), DVR_RESULT_OK);
        const std::ptrdiff_t marker = ++markers;
        ASSERT_TRUE(WaitFor([&] {
            const std::vector<uint32_t> codes = c.WriteCodes();
            return std::count(codes.begin(), codes.end(), kMarker) == marker;
        }));
    }

    static constexpr uint32_t kMarker = 0xFFFF;
    std::ptrdiff_t markers = 0;
    Recorder& c = Own<Recorder>();
};

TEST_F(KeptBlocks, LastReleaseFromAnotherThreadFreesTheBlockOnce) {
    Recorded& a = Record("bus_a", 1);
    Recorded& b = Record("bus_b", 1);
    const uint32_t idC = Take("bus_c", c.Hooks()).id();
    core->StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "kept", 5));
    ASSERT_EQ(a.writes.Size(), 2u);
    ASSERT_EQ(b.writes.Size(), 2u);
    char* block = static_cast<char*>(a.writes.Items()[0].in.data);
    EXPECT_EQ(core->Leaks(), (Holds{{block, a.id}, {block, b.id}}));

    EXPECT_EQ(ReleaseOnThread(block, a.id), DVR_RESULT_OK);
    // bus_b still holds it: nothing is freed and the block is intact.
    EXPECT_EQ(core->Leaks(), (Holds{{block, b.id}}));
    EXPECT_STREQ(block, "kept");
    EXPECT_EQ(ReleaseOnThread(block, idC), DVR_RESULT_OK);  // not a holder: no change
    EXPECT_EQ(core->Leaks(), (Holds{{block, b.id}}));
    EXPECT_EQ(ReleaseOnThread(block, b.id), DVR_RESULT_OK);
    EXPECT_TRUE(core->Leaks().empty());
    // Freed: the address is unknown now, and a second release frees nothing.
    EXPECT_EQ(ReleaseOnThread(block, b.id), DVR_RESULT_REFUSED);
}

// A release in a plugin's name before its call (a stale one, say) leaves the hold that its call
// then takes; one after its call, while the delivery goes on, ends it.
TEST_F(KeptBlocks, AReleaseBeforeThePluginsCallLeavesItsHoldAndOneAfterEndsIt) {
    PluginHooks aHooks;
    aHooks.write = [](_WriteParmsIn* in, _WriteParmsOut*) {
        if (in->code == 1) Release(in->data, 0x00310000);  // bus_b's, before its call
        return 0;
    };
    Take("bus_a", aHooks);
    Recorded& b = Record("bus_b", 1);
    Take("bus_c", c.Hooks(0, [](_WriteParmsIn* in) {
        if (in->code == 2) Release(in->data, 0x00310000);  // after bus_b's call
    }));
    core->StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "early", 6));
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 2, "late", 5));
    void* block = b.writes.Items()[0].in.data;
    EXPECT_EQ(core->Leaks(), (Holds{{block, b.id}}));
    EXPECT_EQ(Release(block, b.id), DVR_RESULT_OK);
    EXPECT_TRUE(core->Leaks().empty());
}

TEST_F(KeptBlocks, ReleasesDuringTheCallEndTheHoldButNotTheCoresOwn) {
    auto& answers = Own<Shared<int32_t>>();
    auto& seenAfterCoreRelease = Own<std::string>();
    PluginHooks aHooks, bHooks;
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
            answers.Add(ReleaseOnThread(in->data, 0x00310000));
            out->pending = 1;
        }
        return 0;
    };
    const uint32_t idA = Take("bus_a", aHooks).id();
    Take("bus_b", bHooks);
    // bus_c tries to drop the core's hold, then reads the block.
    Take("bus_c", c.Hooks(0, [&](_WriteParmsIn* in) {
        if (in->code != 1) return;
        answers.Add(Release(in->data, DVR_CORE_ID));
        seenAfterCoreRelease = Bytes(in->data, in->length);
    }));
    core->StartInBackground();
    DeliverAndWait(Event(kRaiser, DVR_CLASS_1, 1, "in call", 8));
    void* block = c.writes.Items()[0].in.data;

    EXPECT_EQ(answers.Items(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(seenAfterCoreRelease, std::string("in call", 8));
    EXPECT_TRUE(core->Leaks().empty());
    EXPECT_EQ(Release(block, idA), DVR_RESULT_REFUSED);
}

TEST_F(Delivery, StopDeliversEverythingQueuedInOrderBeforeStartReturns) {
    Recorder& a = Record("bus_a", 0, [this](_WriteParmsIn* in) {
        if (in->code == 0) gate.Pass("first write");
    });
    core->StartInBackground();

    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 0)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("first write"));
    // The loop is held inside the first Write; everything below waits in the queue.
    constexpr uint32_t kQueued = 50;
    for (uint32_t code = 1; code <= kQueued; ++code) {
        const std::string text = std::to_string(code);
        ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, code, text.data(), text.size())), 0);
    }
    core->RequestStop();
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, kQueued + 1)), DVR_RESULT_REFUSED);
    gate.Open("first write");
    core->Stop();

    std::vector<uint32_t> expected;
    for (uint32_t code = 0; code <= kQueued; ++code) expected.push_back(code);
    EXPECT_EQ(a.WriteCodes(), expected);
    const auto calls = a.writes.Items();
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].bytes, std::to_string(calls[i].in.code));
    EXPECT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 99)), DVR_RESULT_REFUSED);
}

using LeakReport = PluginHostTest;

Lines LeakLines(const TestCore& core) { return core.CoreLines(" leaked by plugin "); }

std::string LeakLine(void* block, uint32_t holder) {
    char line[96];
    std::snprintf(line, sizeof line, "0 address %p leaked by plugin %08lX", block,
                  static_cast<unsigned long>(holder));
    return line;
}

TEST_F(LeakReport, ListsEveryHoldStillTakenInAddressAndHoldOrderOnce) {
    Recorded& a = Record("bus_a", 1);
    Recorded& b = Record("bus_b", 1);
    core->StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 2, "two", 3)), DVR_RESULT_OK);
    core->Stop();
    ASSERT_EQ(a.writes.Size(), 2u);
    std::vector<void*> blocks{a.writes.Items()[0].in.data, a.writes.Items()[1].in.data};
    std::sort(blocks.begin(), blocks.end(), std::less<void*>());
    const Lines expected{LeakLine(blocks[0], a.id), LeakLine(blocks[0], b.id),
                         LeakLine(blocks[1], a.id), LeakLine(blocks[1], b.id)};
    EXPECT_EQ(LeakLines(*core), expected);

    // Not again when the core is destroyed. Its messages go through FlatPluginEvent to
    // whichever core theCore names: a second core built now would catch them.
    TestCore witness(dir);
    core.reset();
    EXPECT_TRUE(LeakLines(witness).empty());
    for (void* block : blocks) std::free(block);  // the report leaves them allocated
}

TEST_F(LeakReport, SaysNothingWhenEveryBlockWasGivenBack) {
    Recorded& a = Record("bus_a", 1);
    core->StartInBackground();
    ASSERT_EQ(Raise(Event(kRaiser, DVR_CLASS_1, 1, "one", 3)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return core->Leaks().size() == 1; }));
    EXPECT_EQ(ReleaseOnThread(a.writes.Items()[0].in.data, a.id), 0);
    core->Stop();
    EXPECT_TRUE(LeakLines(*core).empty());
}

// Direct requests and the request threads that serve them: which plugins serve a request,
// what Read receives, request tags, and the back-pressure on tagged events with data.

std::vector<ReadCall> ByTag(const Shared<ReadCall>& shared) {
    auto items = shared.Items();
    std::sort(items.begin(), items.end(),
              [](const ReadCall& x, const ReadCall& y) { return x.in.tag < y.in.tag; });
    return items;
}

std::vector<uint32_t> Tags(const std::vector<ReadCall>& items) {
    std::vector<uint32_t> tags;
    for (const ReadCall& item : items) tags.push_back(item.in.tag);
    return tags;
}

_EventParmsIn Request(uint32_t classFlags, uint32_t code, uint32_t tag, const void* data = nullptr,
                      uint32_t length = 0) {
    return Event(0, classFlags, code, data, length, tag);
}

using DirectRequest = PluginHostTest;

TEST_F(DirectRequest, FoldedCodeChoosesTheServersAndEachGetsItsOwnCopy) {
    Recorder& req23 = Record("bus_req23");
    Recorder& req24 = Record("bus_req24");
    Recorder& noReader = Record("bus_no_reader");
    core->StartInBackground();

    char* buffer = static_cast<char*>(std::malloc(3));
    std::memcpy(buffer, "abc", 3);
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x01000000, 11, buffer, 3)), DVR_RESULT_OK);
    const auto raised = reinterpret_cast<uintptr_t>(buffer);
    std::free(buffer);  // the request thread works on its own copy
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 12)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x02000000, 13)), DVR_RESULT_OK);
    // Subscribed only by a plugin without a reader: no thread, still accepted.
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00000001, 14)), DVR_RESULT_OK);
    // A level query from source 0 is a request like any other, not answered with a level.
    EXPECT_EQ(Raise(Request(DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY, 15)), DVR_RESULT_OK);
    // Length without data: Read gets neither.
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 16, nullptr, 9)), DVR_RESULT_OK);
    // Stopping waits for every request thread, so all of them have run by now.
    core->Stop();

    const auto served23 = ByTag(req23.requests);
    EXPECT_EQ(Tags(served23), (std::vector<uint32_t>{11, 12, 15, 16}));
    EXPECT_EQ(Tags(ByTag(req24.requests)), (std::vector<uint32_t>{13}));
    EXPECT_EQ(noReader.requests.Size(), 0u);
    ASSERT_EQ(served23.size(), 4u);
    EXPECT_EQ(served23[0].in.length, 3u);
    EXPECT_EQ(served23[0].bytes, "abc");
    EXPECT_NE(reinterpret_cast<uintptr_t>(served23[0].in.data), raised);
    for (std::size_t i = 1; i < served23.size(); ++i) {
        EXPECT_EQ(served23[i].in.data, nullptr);
        EXPECT_EQ(served23[i].in.length, 0u);
    }
}

TEST_F(DirectRequest, RequestsToOnePluginRunAtTheSameTimeWithTheirOwnData) {
    auto& inside = Own<std::atomic<int>>(0);
    auto& seen = Own<Shared<std::string>>();
    PluginHooks hooks;
    hooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag == 0) return 0;
        ++inside;
        // Each call waits for the other to be inside Read as well.
        const bool together = WaitFor([&] { return inside.load() == 2; });
        seen.Add(Bytes(in->data, in->length) + (together ? " together" : " alone"));
        return 0;
    };
    Take("bus_req23", hooks);
    core->StartInBackground();
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 1, "first", 5)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 2, "second", 6)), DVR_RESULT_OK);
    core->Stop();
    auto items = seen.Items();
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"first together", "second together"}));
}

constexpr uint32_t kServer = 0x003B0000;  // bus_server's identifier

using RequestTags = PluginHostTest;

TEST_F(RequestTags, ClosedTagIsRefusedUntilADirectRequestReopensIt) {
    auto& results = Own<Shared<int32_t>>();
    PluginHooks serverHooks;
    serverHooks.read = [&results](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag != 31) return 0;
        results.Add(Raise(Event(0, DVR_CMD_CLOSE_TAG, 0, nullptr, 0, 31)));
        results.Add(Raise(Event(kServer, DVR_CLASS_1, 1, nullptr, 0, 31)));
        // Served by nobody, it still reopens the tag.
        results.Add(Raise(Request(DVR_CLASS_4, 1, 31)));
        results.Add(Raise(Event(kServer, DVR_CLASS_1, 2, "data", 4, 31)));
        return 0;
    };
    Take("bus_server", serverHooks);
    Recorder& subscribed = Record("bus_a");
    core->StartInBackground();
    EXPECT_EQ(Raise(Request(DVR_CLASS_3, 5, 31)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return results.Size() == 4; }));
    core->Stop();

    EXPECT_EQ(results.Items(), (std::vector<int32_t>{0, 1, 0, 0}));
    const auto delivered = subscribed.writes.Items();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].in.code, 2u);
    EXPECT_EQ(delivered[0].in.tag, 31u);
    EXPECT_EQ(delivered[0].bytes, "data");
}

TEST_F(RequestTags, TaggedEventsAreTakenOnlyFromRequestThreads) {
    auto& results = Own<Shared<std::pair<std::string, int32_t>>>();
    auto raiseBoth = [&results](const std::string& thread, uint32_t code) {
        results.Add({thread + " tagged", Raise(Event(kServer, DVR_CLASS_1, code, 0, 0, 41))});
        results.Add({thread + " untagged", Raise(Event(kServer, DVR_CLASS_1, code + 1))});
    };
    PluginHooks serverHooks, workerHooks;
    serverHooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag == 0) raiseBoth("reader", 10);
        if (in->tag == 42) {
            results.Add({"request own tag", Raise(Event(kServer, DVR_CLASS_1, 30, 0, 0, 42))});
            results.Add({"request other tag", Raise(Event(kServer, DVR_CLASS_1, 31, 0, 0, 43))});
        }
        return 0;
    };
    workerHooks.ioctl = [&](_IoctlParmsIn* in, _IoctlParmsOut*) {
        if (in->code == DVR_IOCTL_WORKER) raiseBoth("worker", 20);
        return 0;
    };
    Take("bus_server", serverHooks);
    Take("bus_worker", workerHooks);
    Recorder& subscribed = Record("bus_a");
    core->StartInBackground();
    raiseBoth("test", 0);
    EXPECT_EQ(Raise(Request(DVR_CLASS_3, 0, 42)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return results.Size() == 8; }));
    core->Stop();

    auto items = results.Items();
    std::sort(items.begin(), items.end());
    using Result = std::pair<std::string, int32_t>;
    EXPECT_EQ(items, (std::vector<Result>{{"reader tagged", 1},
                                          {"reader untagged", 0},
                                          {"request other tag", 0},
                                          {"request own tag", 0},
                                          {"test tagged", 1},
                                          {"test untagged", 0},
                                          {"worker tagged", 1},
                                          {"worker untagged", 0}}));
    std::vector<uint32_t> codes = subscribed.WriteCodes();
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<uint32_t>{1, 11, 21, 30, 31}));
}

using RequestBackPressure = PluginHostTest;

TEST_F(RequestBackPressure, SecondTaggedBlockWaitsUntilTheFirstIsReleased) {
    auto& requestThread = Own<std::atomic<pid_t>>(0);
    auto& steps = Own<Shared<std::pair<std::string, int32_t>>>();
    auto done = [&steps](const std::string& step) {
        for (const auto& item : steps.Items())
            if (item.first == step) return true;
        return false;
    };
    PluginHooks serverHooks;
    serverHooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag != 51) return 0;
        requestThread = ThreadId();
        steps.Add({"first", Raise(Event(kServer, DVR_CLASS_1, 1, "first", 5, 51))});
        // Without data there is nothing to wait for, although the first block is still held.
        steps.Add({"no data", Raise(Event(kServer, DVR_CLASS_1, 2, nullptr, 0, 51))});
        steps.Add({"raising second", 0});
        steps.Add({"second", Raise(Event(kServer, DVR_CLASS_1, 3, "second", 6, 51))});
        return 0;
    };
    Take("bus_server", serverHooks);
    Recorded& a = Record("bus_a", 1);
    Recorded& b = Record("bus_b", 1);
    core->StartInBackground();
    ASSERT_EQ(Raise(Request(DVR_CLASS_3, 0, 51)), DVR_RESULT_OK);

    ASSERT_TRUE(WaitFor([&] { return done("no data"); }));
    ASSERT_TRUE(WaitFor([&] { return b.writes.Size() == 2; }));
    void* first = a.writes.Items()[0].in.data;
    ASSERT_TRUE(WaitFor([&] { return core->Leaks().size() == 2; }));
    EXPECT_EQ(core->Leaks(), (Holds{{first, a.id}, {first, b.id}}));
    ASSERT_TRUE(WaitFor([&] { return done("raising second") && Sleeping(requestThread); }));
    EXPECT_FALSE(done("second"));

    EXPECT_EQ(Release(first, a.id), DVR_RESULT_OK);
    // bus_b still holds the first block: the request thread goes on waiting.
    ASSERT_TRUE(WaitFor([&] { return Sleeping(requestThread); }));
    EXPECT_FALSE(done("second"));
    EXPECT_EQ(a.writes.Size(), 2u);

    EXPECT_EQ(ReleaseOnThread(first, b.id), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return done("second") && b.writes.Size() == 3; }));
    for (const auto& step : steps.Items()) EXPECT_EQ(step.second, DVR_RESULT_OK) << step.first;
    void* second = b.writes.Items()[2].in.data;
    EXPECT_EQ(b.writes.Items()[2].bytes, "second");
    EXPECT_EQ(Release(second, a.id), DVR_RESULT_OK);
    EXPECT_EQ(Release(second, b.id), DVR_RESULT_OK);
    core->Stop();
    EXPECT_TRUE(core->Leaks().empty());
}

using RequestThreads = PluginHostTest;

TEST_F(RequestThreads, PluginIsNotUnloadedWhileOneOfItsRequestsRuns) {
    auto& mainThread = Own<std::atomic<pid_t>>(0);
    PluginHooks hooks;
    hooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag == 61) gate.Pass("request");
        return 0;
    };
    hooks.close = [&](_CloseParmsIn*, _CloseParmsOut*) {
        // Recorded first: once the thread is known, the test may wait for it to sleep here.
        gate.Record("close");
        mainThread = ThreadId();
        return 0;
    };
    hooks.unload = [&](_UnloadParmsIn*, _UnloadParmsOut*) {
        gate.Record("unload");
        return 0;
    };
    Take("bus_server", hooks);
    core->StartInBackground();
    ASSERT_EQ(Raise(Request(DVR_CLASS_3, 0, 61)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("request"));

    core->RequestStop();
    // Closed, and the stop sequence asleep: waiting for the request thread.
    ASSERT_TRUE(WaitFor([&] { return mainThread != 0 && Sleeping(mainThread); }));
    EXPECT_FALSE(gate.Happened("unload"));
    gate.Open("request");
    core->Stop();
    EXPECT_EQ(gate.Events(), (Lines{"close", "request returns", "unload"}));
}

// Many threads on the event bus at once: raisers, subscribers that keep blocks and give them
// back from other threads, request threads under back-pressure, and a stop in the middle.
// Under the sanitizers a block freed twice or never freed fails the run; the counts below
// show that every accepted event reached every subscriber exactly once.

constexpr uint32_t kRaisers = 4;
constexpr uint32_t kStopAfter = 2000;      // accepted events before the stop is requested
constexpr uint32_t kRaiserLimit = 100000;  // raisers go on until refused, at most this long
constexpr uint32_t kRequestEvery = 20;     // a direct request after this many events
constexpr uint32_t kTaggedPerRequest = 4;  // tagged events each request thread raises
constexpr uint32_t kRequestRaiser = 99;    // raiser number in the request threads' payloads
constexpr uint32_t kHolderA = 0x00300000;  // bus_a
constexpr uint32_t kHolderB = 0x00310000;  // bus_b

struct Header {
    uint32_t raiser;
    uint32_t sequence;
};

// A payload whose every byte follows from its header, so a subscriber can check it.
std::vector<char> Payload(uint32_t raiser, uint32_t sequence) {
    std::vector<char> bytes(sizeof(Header) + (raiser * 131 + sequence * 7) % 300);
    const Header header{raiser, sequence};
    std::memcpy(bytes.data(), &header, sizeof header);
    for (std::size_t i = sizeof header; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(raiser + sequence + i);
    return bytes;
}

bool Intact(const void* data, uint32_t length, Header& header) {
    if (data == nullptr || length < sizeof(Header)) return false;
    std::memcpy(&header, data, sizeof header);
    const std::vector<char> expected = Payload(header.raiser, header.sequence);
    return expected.size() == length && std::memcmp(expected.data(), data, length) == 0;
}

// Blocks kept by subscribers, given back by threads of their own.
class Releasers {
public:
    explicit Releasers(int count) {
        for (int i = 0; i < count; ++i) threads.emplace_back([this] { Run(); });
    }
    void Keep(void* block, uint32_t holder) {
        std::lock_guard<std::mutex> lock(mutex);
        kept.emplace_back(block, holder);
        changed.notify_one();
    }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finishing = true;
            changed.notify_all();
        }
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }
    ~Releasers() {
        if (!threads.empty()) Finish();
    }

    std::atomic<uint32_t> released{0};
    std::atomic<uint32_t> refused{0};

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return finishing || !kept.empty(); });
            if (kept.empty()) return;
            const auto hold = kept.front();
            kept.pop_front();
            lock.unlock();
            ++(Release(hold.first, hold.second) == DVR_RESULT_OK ? released : refused);
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<void*, uint32_t>> kept;
    bool finishing = false;
    std::vector<std::thread> threads;
};

// What one subscriber saw: every (raiser, sequence) at most once, every payload intact.
struct Seen {
    std::mutex mutex;
    std::set<std::pair<uint32_t, uint32_t>> events;
    std::atomic<uint32_t> duplicates{0};
    std::atomic<uint32_t> damaged{0};
    std::atomic<uint32_t> withoutData{0};

    void Add(const _WriteParmsIn& in) {
        if (in.data == nullptr) {
            ++withoutData;
            return;
        }
        Header header;
        if (!Intact(in.data, in.length, header)) {
            ++damaged;
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (!events.emplace(header.raiser, header.sequence).second) ++duplicates;
    }
    std::size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size() + withoutData;
    }
};

using BusStress = PluginHostTest;

// No fatal assertion comes before the core's stop, so the hooks' locals outlive the plugins.
TEST_F(BusStress, EveryAcceptedEventReachesEverySubscriberOnceAndEveryBlockIsGivenBack) {
    Releasers releasers(2);
    Seen seenA, seenB, seenC;
    std::atomic<uint32_t> inCallRefusals{0};
    std::atomic<uint32_t> accepted{0};
    std::atomic<uint32_t> refused{0};
    std::atomic<uint32_t> unexpected{0};
    auto count = [&](int32_t result) {
        ++(result == DVR_RESULT_OK        ? accepted
           : result == DVR_RESULT_REFUSED ? refused
                                          : unexpected);
    };

    PluginHooks aHooks, bHooks, cHooks, serverHooks;
    // bus_a keeps every other block and lets a releaser give it back.
    aHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        seenA.Add(*in);
        if (in->data != nullptr && in->code % 2 == 1) {
            out->pending = 1;
            releasers.Keep(in->data, kHolderA);
        }
        return 0;
    };
    // bus_b keeps every block and gives a third back during the call itself.
    bHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        seenB.Add(*in);
        if (in->data == nullptr) return 0;
        out->pending = 1;
        if (in->code % 3 == 0) {
            if (Release(in->data, kHolderB) != DVR_RESULT_OK) ++inCallRefusals;
        } else {
            releasers.Keep(in->data, kHolderB);
        }
        return 0;
    };
    // bus_c keeps nothing.
    cHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut*) {
        seenC.Add(*in);
        return 0;
    };
    // Each request raises tagged events with data, one in flight.
    serverHooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        for (uint32_t k = 0; in->tag != 0 && k < kTaggedPerRequest; ++k) {
            const auto payload = Payload(kRequestRaiser, in->tag * kTaggedPerRequest + k);
            count(Raise(Event(kServer, DVR_CLASS_1, in->tag + k, payload.data(),
                              static_cast<uint32_t>(payload.size()), in->tag)));
        }
        return 0;
    };
    Take("bus_a", aHooks);
    Take("bus_b", bHooks);
    Take("bus_c", cHooks);
    Take("bus_server", serverHooks);
    core->StartInBackground();

    // Each raiser goes on until the stop refuses it, so the stop lands in the middle.
    std::vector<std::thread> raisers;
    for (uint32_t raiser = 1; raiser <= kRaisers; ++raiser) {
        raisers.emplace_back([&, raiser] {
            const uint32_t source = 0x00900000 + raiser;
            int32_t result = DVR_RESULT_OK;
            for (uint32_t sequence = 0; sequence < kRaiserLimit; ++sequence) {
                if (sequence % 7 == 0) {
                    result = Raise(Event(source, DVR_CLASS_1, sequence));
                } else {
                    const auto payload = Payload(raiser, sequence);
                    result = Raise(Event(source, DVR_CLASS_1, sequence, payload.data(),
                                         static_cast<uint32_t>(payload.size())));
                }
                count(result);
                if (result != DVR_RESULT_OK) return;
                if (sequence % kRequestEvery == 0)
                    Raise(Event(0, DVR_CLASS_3, 0, nullptr, 0, raiser << 24 | sequence));
            }
        });
    }
    EXPECT_TRUE(WaitFor([&] { return accepted.load() >= kStopAfter; }));
    core->RequestStop();
    for (std::thread& raiser : raisers) raiser.join();
    core->Stop();  // drains the queue and waits for the request threads
    releasers.Finish();

    EXPECT_EQ(unexpected.load(), 0u);
    EXPECT_GE(refused.load(), kRaisers);  // every raiser ran into the stop
    EXPECT_EQ(inCallRefusals.load(), 0u);
    EXPECT_EQ(releasers.refused.load(), 0u);
    for (Seen* seen : {&seenA, &seenB, &seenC}) {
        EXPECT_EQ(seen->Size(), accepted.load());
        EXPECT_EQ(seen->duplicates.load(), 0u);
        EXPECT_EQ(seen->damaged.load(), 0u);
    }
    EXPECT_TRUE(core->Leaks().empty());
}

}  // namespace
}  // namespace testkit
