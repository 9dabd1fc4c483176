// The real executable's stop sequence: further termination signals while it runs change
// nothing, and the core still stops with status 0.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_core.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(StopSequence, FurtherSignalsDuringTheStopHaveNoEffect) {
    testkit::TempDir dir;
    const std::string core = testkit::InstallCore(dir);
    testkit::InstallPlugin(dir, "slow_close");
    testkit::ClearJournal();
    const std::string release = dir / "release";
    setenv("DVR_TEST_RELEASE", release.c_str(), 1);
    testkit::Child child = testkit::Spawn(core, {}, dir / "work");
    unsetenv("DVR_TEST_RELEASE");
    ASSERT_TRUE(testkit::WaitFor([&] {
        child.Drain();
        return child.output.find("successfully started core") != std::string::npos;
    }));
    testkit::SendStopSignal(child, SIGTERM);
    ASSERT_TRUE(testkit::WaitFor([] { return Has(testkit::JournalLines(), "slow_close close"); }));
    kill(child.pid, SIGINT);
    kill(child.pid, SIGQUIT);
    kill(child.pid, SIGTERM);
    testkit::WriteFile(release, "");
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal: " << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Has(testkit::JournalLines(), "slow_close released"));
    const std::string& out = child.output;
    const auto first = out.find("stopping core version");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("stopping core version", first + 1), std::string::npos);
}

}  // namespace
