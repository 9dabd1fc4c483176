// The real executable under a supervisor that goes away: the core lingers a full minute before
// it closes its plugins, so that the supervisor's watchdogs expire first.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "support/testkit.h"

namespace testkit {
namespace {

TEST(Linger, LostSupervisorDelaysClosingByOneMinute) {
    if (std::getenv("DVRCORE_SLOW_TESTS") == nullptr)
        GTEST_SKIP() << "takes a minute; runs when DVRCORE_SLOW_TESTS is set (once per CI run)";
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "alpha");
    ClearJournal();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    Child child = Spawn(core, {std::to_string(fds[0])}, dir / "work", {fds[0]});
    close(fds[0]);
    ASSERT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    const auto lost = std::chrono::steady_clock::now();
    close(fds[1]);

    const int status = child.Wait(std::chrono::seconds(120));
    const auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(WIFEXITED(status)) << child.output;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(ended - lost, std::chrono::seconds(60));
    const std::string& out = child.output;
    const auto disconnected = out.find("corvaned ipc pipe disconnected");
    const auto sleeping =
        out.find("sleeping for one minute to allow active watchdogs to expire...");
    const auto stopping = out.find("stopping core version");
    ASSERT_NE(disconnected, std::string::npos) << out;
    EXPECT_LT(disconnected, sleeping);
    EXPECT_LT(sleeping, stopping);
    EXPECT_TRUE(Journaled("alpha close 0"));
}

}  // namespace
}  // namespace testkit
