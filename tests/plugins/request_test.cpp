// Direct requests and the request threads that serve them: which plugins serve a request,
// what Read receives, request tags, and the back-pressure on tagged events with data.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/plugin_harness.h"

namespace testkit {
namespace {

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

TEST(DirectRequest, FoldedCodeChoosesTheServersAndEachGetsItsOwnCopy) {
    TempDir dir;
    Recorder req23, req24, noReader;
    Plugin p23(dir, "bus_req23", req23.Hooks());
    Plugin p24(dir, "bus_req24", req24.Hooks());
    Plugin pnone(dir, "bus_no_reader", noReader.Hooks());
    TestCore core(dir);
    core.StartInBackground();

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
    core.Stop();

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

TEST(DirectRequest, RequestsToOnePluginRunAtTheSameTimeWithTheirOwnData) {
    TempDir dir;
    std::atomic<int> inside{0};
    Shared<std::string> seen;
    PluginHooks hooks;
    hooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag == 0) return 0;
        ++inside;
        // Each call waits for the other to be inside Read as well.
        const bool together = WaitFor([&] { return inside.load() == 2; });
        seen.Add(Bytes(in->data, in->length) + (together ? " together" : " alone"));
        return 0;
    };
    Plugin server(dir, "bus_req23", hooks);
    TestCore core(dir);
    core.StartInBackground();
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 1, "first", 5)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Request(DVR_CLASS_0, 0x00800000, 2, "second", 6)), DVR_RESULT_OK);
    core.Stop();
    auto items = seen.Items();
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<std::string>{"first together", "second together"}));
}

constexpr uint32_t kServer = 0x003B0000;  // bus_server's identifier

TEST(RequestTags, ClosedTagIsRefusedUntilADirectRequestReopensIt) {
    TempDir dir;
    Shared<int32_t> results;
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
    Recorder subscribed;
    Plugin server(dir, "bus_server", serverHooks);
    Plugin subscriber(dir, "bus_a", subscribed.Hooks());
    TestCore core(dir);
    core.StartInBackground();
    EXPECT_EQ(Raise(Request(DVR_CLASS_3, 5, 31)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return results.Size() == 4; }));
    core.Stop();

    EXPECT_EQ(results.Items(), (std::vector<int32_t>{0, 1, 0, 0}));
    const auto delivered = subscribed.writes.Items();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].in.code, 2u);
    EXPECT_EQ(delivered[0].in.tag, 31u);
    EXPECT_EQ(delivered[0].bytes, "data");
}

TEST(RequestTags, TaggedEventsAreTakenOnlyFromRequestThreads) {
    TempDir dir;
    Shared<std::pair<std::string, int32_t>> results;
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
    Recorder subscribed;
    Plugin server(dir, "bus_server", serverHooks);
    Plugin worker(dir, "bus_worker", workerHooks);
    Plugin subscriber(dir, "bus_a", subscribed.Hooks());
    TestCore core(dir);
    core.StartInBackground();
    raiseBoth("test", 0);
    EXPECT_EQ(Raise(Request(DVR_CLASS_3, 0, 42)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return results.Size() == 8; }));
    core.Stop();

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

TEST(RequestBackPressure, SecondTaggedBlockWaitsUntilTheFirstIsReleased) {
    TempDir dir;
    std::atomic<pid_t> requestThread{0};
    Shared<std::pair<std::string, int32_t>> steps;
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
    Recorder a, b;
    Plugin server(dir, "bus_server", serverHooks);
    Plugin pa(dir, "bus_a", a.Hooks(1));
    Plugin pb(dir, "bus_b", b.Hooks(1));
    TestCore core(dir);
    core.StartInBackground();
    ASSERT_EQ(Raise(Request(DVR_CLASS_3, 0, 51)), DVR_RESULT_OK);

    ASSERT_TRUE(WaitFor([&] { return done("no data"); }));
    ASSERT_TRUE(WaitFor([&] { return b.writes.Size() == 2; }));
    void* first = a.writes.Items()[0].in.data;
    ASSERT_TRUE(WaitFor([&] { return core.Leaks().size() == 2; }));
    EXPECT_EQ(core.Leaks(), (Holds{{first, pa.id()}, {first, pb.id()}}));
    ASSERT_TRUE(WaitFor([&] { return done("raising second") && Sleeping(requestThread); }));
    EXPECT_FALSE(done("second"));

    EXPECT_EQ(Release(first, pa.id()), DVR_RESULT_OK);
    // bus_b still holds the first block: the request thread goes on waiting.
    ASSERT_TRUE(WaitFor([&] { return Sleeping(requestThread); }));
    EXPECT_FALSE(done("second"));
    EXPECT_EQ(a.writes.Size(), 2u);

    int32_t lastRelease = 99;
    std::thread([&] { lastRelease = Release(first, pb.id()); }).join();
    EXPECT_EQ(lastRelease, DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([&] { return done("second") && b.writes.Size() == 3; }));
    for (const auto& step : steps.Items()) EXPECT_EQ(step.second, DVR_RESULT_OK) << step.first;
    void* second = b.writes.Items()[2].in.data;
    EXPECT_EQ(b.writes.Items()[2].bytes, "second");
    EXPECT_EQ(Release(second, pa.id()), DVR_RESULT_OK);
    EXPECT_EQ(Release(second, pb.id()), DVR_RESULT_OK);
    core.Stop();
    EXPECT_TRUE(core.Leaks().empty());
}

TEST(RequestThreads, PluginIsNotUnloadedWhileOneOfItsRequestsRuns) {
    TempDir dir;
    CallGate gate;
    std::atomic<pid_t> mainThread{0};
    PluginHooks hooks;
    hooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        if (in->tag == 61) gate.Pass("request");
        return 0;
    };
    hooks.close = [&](_CloseParmsIn*, _CloseParmsOut*) {
        mainThread = ThreadId();
        gate.Record("close");
        return 0;
    };
    hooks.unload = [&](_UnloadParmsIn*, _UnloadParmsOut*) {
        gate.Record("unload");
        return 0;
    };
    Plugin server(dir, "bus_server", hooks);
    TestCore core(dir);
    const OpenAtExit release{gate};
    core.StartInBackground();
    ASSERT_EQ(Raise(Request(DVR_CLASS_3, 0, 61)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("request"));

    core.RequestStop();
    // Closed, and the stop sequence asleep: waiting for the request thread.
    ASSERT_TRUE(WaitFor([&] { return mainThread != 0 && Sleeping(mainThread); }));
    EXPECT_FALSE(gate.Happened("unload"));
    gate.Open("request");
    core.Stop();
    EXPECT_EQ(gate.Events(), (Lines{"close", "request returns", "unload"}));
}

}  // namespace
}  // namespace testkit
