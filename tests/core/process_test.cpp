// The real executable: help text, exit statuses, termination signals, and the stop sequence,
// during which further termination signals change nothing; and the scan of its arguments.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <vector>

#include "core/arguments.h"
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
        ASSERT_EQ(child.Wait(), 0) << child.output;  // exited with status 0
        EXPECT_EQ(child.output, "core version 19.12.6.0\r\nUsage: " + core + " <pipe>\r\n");
    }
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheRunWithStatusZero) {
    TempDir dir;
    InstallCore(dir);
    // "--help" and other options are ignored: the core starts.
    const CoreRun run = StartAndStop(dir, GetParam(), {"--help", "-x"});
    EXPECT_TRUE(run.started) << run.output;
    ASSERT_EQ(run.status, 0) << run.output;  // exited with status 0
    EXPECT_TRUE(Contains(run.output, "stopping core version 19.12.6.0...")) << run.output;
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

// The plugin holds its Close until the test creates "release-close" in the working directory.
TEST(StopSequence, FurtherSignalsDuringTheStopHaveNoEffect) {
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "frees_at_close");
    Child child = Spawn(core, {}, dir / "work");
    ASSERT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    SendStopSignal(child, SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return Exists(dir / "work/closing"); }));
    kill(child.pid, SIGINT);
    kill(child.pid, SIGQUIT);
    kill(child.pid, SIGTERM);
    WriteFile(dir / "work/release-close", "");
    ASSERT_EQ(child.Wait(), 0) << "not exited with status 0: " << child.output;
    EXPECT_TRUE(Exists(dir / "work/closed"));
    const std::string& out = child.output;
    const auto first = out.find("stopping core version");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("stopping core version", first + 1), std::string::npos);
}

// ---- The scan of the arguments ------------------------------------------------------------------

Arguments Scan(std::vector<const char*> args) {
    args.insert(args.begin(), "dvrcore");
    return ScanArguments(static_cast<int>(args.size()), args.data());
}

TEST(ArgumentScan, NoArgumentMeansNoSupervisor) {
    const Arguments a = Scan({});
    EXPECT_FALSE(a.help);
    EXPECT_EQ(a.descriptor, -1);
}

TEST(ArgumentScan, HelpIsAnyArgumentStartingWithDashH) {
    for (const char* help : {"-h", "-help", "-hx"}) EXPECT_TRUE(Scan({help}).help) << help;
    for (const char* other : {"--help", "-", "-v", "-x"}) {
        const Arguments a = Scan({other});
        EXPECT_FALSE(a.help) << other;
        EXPECT_EQ(a.descriptor, -1) << other;
    }
}

TEST(ArgumentScan, FirstNonOptionIsTheDescriptorAndEndsTheScan) {
    EXPECT_EQ(Scan({"-v", "7", "8"}).descriptor, 7);
    const Arguments helpAfter = Scan({"5", "-h"});
    EXPECT_FALSE(helpAfter.help);
    EXPECT_EQ(helpAfter.descriptor, 5);
}

TEST(ArgumentScan, DescriptorConvertsLikeAtoi) {
    EXPECT_EQ(Scan({"abc"}).descriptor, 0);
    EXPECT_EQ(Scan({""}).descriptor, 0);
    EXPECT_EQ(Scan({" 12xyz"}).descriptor, 12);
    EXPECT_EQ(Scan({"+3"}).descriptor, 3);
}

}  // namespace
}  // namespace testkit
