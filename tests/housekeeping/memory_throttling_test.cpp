// The real executable: a plugin grows the core past its memory limit; video is refused as
// throttled and the status document announces it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "support/test_core.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(MemoryThrottling, VideoIsRefusedWhileTheCoreIsOverItsLimit) {
    if (testkit::UnderEmulation())
        GTEST_SKIP() << "the emulator's own resident size is read, not the core's";
    testkit::TempDir dir;
    const std::string core = testkit::InstallCore(dir);
    testkit::InstallPlugin(dir, "memory_hog");
    testkit::ClearJournal();
    testkit::Child child = testkit::Spawn(core, {}, dir / "work");
    ASSERT_TRUE(testkit::WaitFor([] { return Has(testkit::JournalLines(), "memory_hog frame 5"); },
                                 std::chrono::seconds(60)))
        << ::testing::PrintToString(testkit::JournalLines());
    ASSERT_TRUE(testkit::WaitFor(
        [] { return Has(testkit::JournalLines(), "memory_hog throttling 1"); }));
    testkit::SendStopSignal(child, SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.output;
    const auto journal = testkit::JournalLines();
    EXPECT_TRUE(Has(journal, "memory_hog frame 0"));  // admitted before the core grew
    EXPECT_TRUE(Has(journal, "memory_hog throttling 0"));  // the first tick's announcement
    EXPECT_NE(child.output.find("available system memory is low, throttling video"),
              std::string::npos)
        << child.output;
}

}  // namespace
