// Closing and unloading: the close order, the messages, the joins before each Unload and the
// one library that stays mapped.
#include <algorithm>
#include <set>

#include "host_fixture.h"

namespace testkit {
namespace {

class Unloader : public PluginHostTest {
protected:
    void LoadAndOpen() {
        core->LoadPlugins();
        core->OpenPlugins();
    }
};

TEST_F(Unloader, EmptyTableCallsAndLogsNothing) {
    core->ClosePlugins();
    core->UnloadPlugins();
    EXPECT_TRUE(core->Lines().empty());
}

TEST_F(Unloader, ClosesAndUnloadsByDescendingSixthMaskComparedUnsigned) {
    // Close keys: alpha 5, beta 9, gamma 1, delta 9, signed_key 0x7FFFFFFF,
    // unsigned_key 0x80000000, open_fails 0 (its Open failed: it is closed all the same).
    for (const char* plugin :
         {"alpha", "beta", "gamma", "delta", "signed_key", "unsigned_key", "open_fails"})
        Install(plugin);
    LoadAndOpen();
    core->ClosePlugins();
    const Lines closed = Callers("close");
    ASSERT_EQ(closed.size(), 7u);
    EXPECT_EQ(Lines(closed.begin(), closed.begin() + 2), (Lines{"unsigned_key", "signed_key"}));
    EXPECT_EQ(std::set<std::string>(closed.begin() + 2, closed.begin() + 4),
              (std::set<std::string>{"beta", "delta"}));
    EXPECT_EQ(Lines(closed.begin() + 4, closed.end()), (Lines{"alpha", "gamma", "open_fails"}));
    EXPECT_TRUE(Callers("unload").empty());

    core->UnloadPlugins();
    EXPECT_EQ(Callers("unload"), closed);
    EXPECT_TRUE(core->plugins.empty());
    EXPECT_TRUE(core->CoreLines("close returned").empty());
    EXPECT_TRUE(core->CoreLines("unload returned").empty());
}

TEST_F(Unloader, LogsFailuresWithTheirNumbersAndGoesOn) {
    Install("close_error");   // Close returns 0 and sets error 3
    Install("unload_fails");  // Unload returns -4 and sets error 2
    Install("alpha");
    LoadAndOpen();
    core->ClosePlugins();
    EXPECT_EQ(core->CoreLines("close returned"),
              Lines{"0 plugin close_error.so close returned 0 error 3"});
    core->UnloadPlugins();
    EXPECT_EQ(core->CoreLines("unload returned"),
              Lines{"0 plugin unload_fails.so unload returned -4 error 2"});
    EXPECT_EQ(Callers("unload").size(), 3u);
    EXPECT_FALSE(Mapped(PathOf("unload_fails.so")));
}

TEST_F(Unloader, KeepsOnlyTheResidentPluginsLibraryMapped) {
    Install("resident");  // identifier 0x00470000
    Install("alpha");
    LoadAndOpen();
    ASSERT_TRUE(Mapped(PathOf("resident.so")));
    ASSERT_TRUE(Mapped(PathOf("alpha.so")));
    core->ClosePlugins();
    core->UnloadPlugins();
    KeepInodeForProcess(PathOf("resident.so"));
    EXPECT_EQ(JournalOf("resident"), (Lines{LoadEntry(), "open 0", "close 0", "unload 0"}));
    EXPECT_TRUE(Mapped(PathOf("resident.so")));
    EXPECT_FALSE(Mapped(PathOf("alpha.so")));
}

TEST_F(Unloader, JoinsEachPluginsThreadsJustBeforeItsUnload) {
    TakeGated("ld_threads_first", "first");  // close key 2: unloaded first
    TakeGated("threads", "second");          // close key 0
    LoadAndOpen();
    core->StartReaderThreads();
    for (const char* call : {"first read", "first worker", "second read", "second worker"})
        ASSERT_TRUE(gate.WaitEntered(call)) << call;
    core->ClosePlugins();
    InBackground([this] { core->UnloadPlugins(); });

    // The worker ends first; the reader still holds the first plugin's Unload back.
    gate.Open("first worker");
    ASSERT_TRUE(gate.WaitEvent("first worker returns"));
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns"}));
    gate.Open("first read");
    // The first Unload comes while the second plugin's threads are still running.
    ASSERT_TRUE(gate.WaitEvent("first unload"));
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns",
                                    "first read returns", "first unload"}));

    gate.Open("second read");
    ASSERT_TRUE(gate.WaitEvent("second read returns"));
    gate.Open("second worker");
    JoinBackground();
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns",
                                    "first read returns", "first unload", "second read returns",
                                    "second worker returns", "second unload"}));
    EXPECT_TRUE(core->plugins.empty());
}

// Request threads are detached, so nothing joins them: the unloader must still not release a
// plugin whose Read one of them is running.
TEST_F(Unloader, WaitsForRequestsStillInsideThePluginBeforeItsUnload) {
    TakeGated("alpha", "first");    // close key 5: unloaded first
    TakeGated("reader", "reader");  // serves direct requests of class 0x1
    LoadAndOpen();
    const char data[] = "abc";
    ASSERT_EQ(Raise(Event(0, DVR_CLASS_0, 5, data, 3)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("reader read"));
    core->ClosePlugins();
    InBackground([this] { core->UnloadPlugins(); });
    ASSERT_TRUE(gate.WaitEvent("first unload"));
    gate.Open("reader read");
    JoinBackground();
    EXPECT_EQ(gate.Events(), (Lines{"first close", "reader close", "first unload",
                                    "reader read returns", "reader unload"}));
    EXPECT_EQ(Callers("request", "3"), Lines{"reader"});
}

}  // namespace
}  // namespace testkit
