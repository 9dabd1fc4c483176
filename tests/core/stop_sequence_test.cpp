// The real executable's stop sequence: further termination signals while it runs change
// nothing, and the core still stops with status 0.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/testkit.h"

namespace testkit {
namespace {

TEST(StopSequence, FurtherSignalsDuringTheStopHaveNoEffect) {
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "slow_close");
    ClearJournal();
    const std::string release = dir / "release";
    setenv("DVR_TEST_RELEASE", release.c_str(), 1);
    Child child = Spawn(core, {}, dir / "work");
    unsetenv("DVR_TEST_RELEASE");
    ASSERT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    SendStopSignal(child, SIGTERM);
    ASSERT_TRUE(WaitFor([] { return Journaled("slow_close close"); }));
    kill(child.pid, SIGINT);
    kill(child.pid, SIGQUIT);
    kill(child.pid, SIGTERM);
    WriteFile(release, "");
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal: " << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Journaled("slow_close released"));
    const std::string& out = child.output;
    const auto first = out.find("stopping core version");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("stopping core version", first + 1), std::string::npos);
}

}  // namespace
}  // namespace testkit
