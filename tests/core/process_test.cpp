// The real executable: help text, exit statuses, termination signals, and the stop sequence,
// during which further termination signals change nothing; and the scan of its arguments.
#include <signal.h>
#include <sys/wait.h>

#include "core/arguments.h"
#include "support/testkit.h"

namespace testkit {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using Process = InstalledCoreTest;

TEST_F(Process, HelpPrintsVersionAndUsageAndExitsWithoutStarting) {
    for (const char* help : {"-h", "-help"}) {
        Child child = Run({"-v", help});
        ASSERT_EQ(child.Wait(), 0) << child.output;  // exited with status 0
        EXPECT_EQ(child.output, "core version 19.12.6.0\r\nUsage: " + core + " <pipe>\r\n");
    }
}

class StopSignal : public InstalledCoreTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsTheRunWithStatusZero) {
    // "--help" and other options are ignored: the core starts.
    const CoreRun run = StartAndStop(dir, GetParam(), {"--help", "-x"});
    EXPECT_TRUE(run.started) << run.output;
    ASSERT_EQ(run.status, 0) << run.output;  // exited with status 0
    EXPECT_TRUE(Contains(run.output, "stopping core version 19.12.6.0...")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGQUIT));

TEST_F(Process, UnusableDescriptorFailsInitialisationWithStatusTwo) {
    Child child = Run({"999"});
    const int status = child.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_TRUE(Contains(child.output, "failed to open ipc pipe")) << child.output;
    EXPECT_TRUE(Contains(child.output, "failed to initialize core")) << child.output;
}

// The plugin holds its Close until the test creates "release-close" in the working directory.
using StopSequence = InstalledCoreTest;

TEST_F(StopSequence, FurtherSignalsDuringTheStopHaveNoEffect) {
    Install("frees_at_close");
    Child child = Run();
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

// "-h..." asks for help; the first argument not starting with '-' is the descriptor, converted
// like atoi. Either ends the scan; everything else is ignored.
TEST(ArgumentScan, FindsHelpOrTheDescriptorAndIgnoresTheRest) {
    const struct {
        std::vector<const char*> args;
        bool help;
        int descriptor;  // -1: no argument names a supervisor
    } cases[] = {{{}, false, -1},         {{"-h"}, true, -1},      {{"-help"}, true, -1},
                 {{"-hx"}, true, -1},     {{"--help"}, false, -1}, {{"-"}, false, -1},
                 {{"-v"}, false, -1},     {{"-x"}, false, -1},     {{"-v", "7", "8"}, false, 7},
                 {{"5", "-h"}, false, 5}, {{"abc"}, false, 0},     {{""}, false, 0},
                 {{" 12xyz"}, false, 12}, {{"+3"}, false, 3}};
    for (const auto& c : cases) {
        std::vector<const char*> argv{"dvrcore"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const Arguments scanned = ScanArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(scanned.help, c.help) << ::testing::PrintToString(c.args);
        EXPECT_EQ(scanned.descriptor, c.descriptor) << ::testing::PrintToString(c.args);
    }
}

}  // namespace
}  // namespace testkit
