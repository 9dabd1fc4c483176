// The real executable: help text, exit statuses and termination signals.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/testkit.h"

namespace testkit {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Process, HelpPrintsVersionAndUsageAndExitsWithoutStarting) {
    TempDir dir;
    const std::string core = InstallCore(dir);
    for (const char* help : {"-h", "-help"}) {
        Child child = Spawn(core, {"-v", help}, dir / "work");
        const int status = child.Wait();
        ASSERT_TRUE(WIFEXITED(status)) << child.output;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(child.output, "core version 19.12.6.0\r\nUsage: " + core + " <pipe>\r\n");
    }
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheRunWithStatusZero) {
    TempDir dir;
    // "--help" and other options are ignored: the core starts.
    Child child = Spawn(InstallCore(dir), {"--help", "-x"}, dir / "work");
    EXPECT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    SendStopSignal(child, GetParam());
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Contains(child.output, "stopping core version 19.12.6.0...")) << child.output;
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGQUIT));

TEST(Process, UnusableDescriptorFailsInitialisationWithStatusTwo) {
    TempDir dir;
    const std::string core = InstallCore(dir);
    Child child = Spawn(core, {"999"}, dir / "work");
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_TRUE(Contains(child.output, "failed to open ipc pipe")) << child.output;
    EXPECT_TRUE(Contains(child.output, "failed to initialize core")) << child.output;
}

}  // namespace
}  // namespace testkit
