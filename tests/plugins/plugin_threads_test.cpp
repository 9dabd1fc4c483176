// The worker and reader threads that the core runs for plugins that ask for them.
#include "host_fixture.h"

namespace testkit {
namespace {

const std::string kLoad = LoadEntry();

class PluginThreads : public PluginHostTest {};

TEST_F(PluginThreads, WorkerMakesOneIoctlOnItsOwnThreadWithoutWaitingForOpen) {
    TakeGated("threads", "threads");  // wants a worker and a reader
    Install("alpha");                 // exports IOCTL but wants no worker
    core->LoadPlugins();
    ASSERT_TRUE(gate.WaitEntered("threads worker"));
    EXPECT_NE(gate.CallerOf("threads worker"), std::this_thread::get_id());
    EXPECT_EQ(JournalOf("threads"), (Lines{kLoad, "ioctl 1"}));
    EXPECT_TRUE(core->plugins.back().workerThread.joinable());

    // Open does not wait for the worker's call to end.
    core->OpenPlugins();
    EXPECT_EQ(JournalOf("threads"), (Lines{kLoad, "ioctl 1", "open 0"}));
    gate.Open("threads worker");
    gate.Open("threads read");
    core->StartReaderThreads();
    core->ClosePlugins();
    core->UnloadPlugins();
    EXPECT_EQ(Callers("ioctl"), Lines{"threads"});
}

TEST_F(PluginThreads, ReaderReadsOnceWithoutDataOnItsOwnThread) {
    TakeGated("reader", "reader");  // wants a reader
    Install("alpha");               // exports Read but wants no reader
    core->LoadPlugins();
    core->OpenPlugins();
    EXPECT_TRUE(Callers("read").empty());
    core->StartReaderThreads();
    ASSERT_TRUE(gate.WaitEntered("reader read"));
    EXPECT_NE(gate.CallerOf("reader read"), std::this_thread::get_id());
    EXPECT_TRUE(Find("reader.so")->readerThread.joinable());
    EXPECT_FALSE(Find("alpha.so")->readerThread.joinable());
    gate.Open("reader read");
    core->ClosePlugins();
    core->UnloadPlugins();
    // "read" is the journal's word for a Read with a null data pointer; 0 is its length.
    EXPECT_EQ(Callers("read"), Lines{"reader"});
    EXPECT_EQ(Callers("read", "0"), Lines{"reader"});
    EXPECT_TRUE(Callers("request").empty());
}

TEST_F(PluginThreads, PluginWithOnlyLoadGetsNoThreadsAndNoOtherCalls) {
    Install("load_only");  // asks for a worker and a reader, exports Load alone
    ASSERT_TRUE(core->LoadPlugins());
    EXPECT_FALSE(core->plugins[0].workerThread.joinable());
    core->OpenPlugins();
    core->StartReaderThreads();
    EXPECT_FALSE(core->plugins[0].readerThread.joinable());
    core->ClosePlugins();
    core->UnloadPlugins();
    EXPECT_EQ(JournalOf("load_only"), Lines{kLoad});
}

}  // namespace
}  // namespace testkit
