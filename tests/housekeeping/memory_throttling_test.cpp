// The real executable: a plugin grows the core past its memory limit; video is refused as
// throttled and the status document announces it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>

#include "support/testkit.h"

namespace testkit {
namespace {

TEST(MemoryThrottling, VideoIsRefusedWhileTheCoreIsOverItsLimit) {
    if (UnderEmulation())
        GTEST_SKIP() << "the emulator's own resident size is read, not the core's";
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "memory_hog");
    ClearJournal();
    Child child = Spawn(core, {}, dir / "work");
    ASSERT_TRUE(WaitFor([] { return Journaled("memory_hog frame 5"); }, std::chrono::seconds(60)))
        << ::testing::PrintToString(JournalLines());
    ASSERT_TRUE(WaitFor([] { return Journaled("memory_hog throttling 1"); }));
    SendStopSignal(child, SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.output;
    EXPECT_TRUE(Journaled("memory_hog frame 0"));       // admitted before the core grew
    EXPECT_TRUE(Journaled("memory_hog throttling 0"));  // the first tick's announcement
    EXPECT_NE(child.output.find("available system memory is low, throttling video"),
              std::string::npos)
        << child.output;
}

}  // namespace
}  // namespace testkit
