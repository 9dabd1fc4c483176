// The identity the real core takes on: the supervisor's user and groups, the file-creation mask
// and the capabilities of each of its threads, read from /proc while the core runs.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/identity_support.h"

namespace {

using identity::CapabilitySet;
using identity::LaunchedCore;
using identity::Start;
using identity::StatusField;
using identity::StatusNumbers;
using identity::TaskStatusPath;

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO; without CAP_SYS_RAWIO once plugins are open.
constexpr uint64_t kLoadingCapabilities = 0x23000;
constexpr uint64_t kRunningCapabilities = 0x3000;

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = identity::CannotRun()) GTEST_SKIP() << reason;
        ASSERT_EQ(identity::PrepareTestUser(user), "");
    }

    identity::TestUser user;
};

void ExpectCapabilities(const std::string& statusPath, uint64_t mask) {
    EXPECT_EQ(CapabilitySet(statusPath, "CapEff"), mask) << statusPath;
    EXPECT_EQ(CapabilitySet(statusPath, "CapPrm"), mask) << statusPath;
    EXPECT_EQ(CapabilitySet(statusPath, "CapInh"), 0u) << statusPath;
}

bool EndedWithStatusZero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::set<unsigned long> GroupsOf(const std::string& statusPath) {
    const auto numbers = StatusNumbers(statusPath, "Groups");
    return {numbers.begin(), numbers.end()};
}

TEST_F(Identity, RootCoreTakesOnTheSupervisorsUserAndGroups) {
    LaunchedCore core(Start::kRootUnderUser, user);
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    const std::string status = core.StatusPath();
    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.gid));
    EXPECT_EQ(GroupsOf(status), (std::set<unsigned long>{user.gid, user.extraGid}));
    EXPECT_EQ(StatusField(status, "Umask"), "0077");
    EXPECT_TRUE(EndedWithStatusZero(core.Stop())) << core.Output();
}

TEST_F(Identity, EachThreadKeepsTheCapabilitiesOfTheStageThatStartedIt) {
    LaunchedCore core(Start::kRootUnderUser, user);
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    const pid_t pid = core.pid();
    // Plugins are opened on the main thread, whose task id is the process id.
    ASSERT_EQ(core.Thread("open"), pid);
    const pid_t worker = core.Thread("worker");
    const pid_t reader = core.Thread("reader");
    const pid_t eventLoop = core.Thread("supervisor");
    ASSERT_EQ((std::set<pid_t>{pid, worker, reader, eventLoop}).size(), 4u);

    ExpectCapabilities(core.StatusPath(), kRunningCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, pid), kRunningCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, eventLoop), kLoadingCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, worker), kLoadingCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, reader), kRunningCapabilities);
    EXPECT_EQ(core.Output().find("capset failed"), std::string::npos) << core.Output();
    EXPECT_TRUE(EndedWithStatusZero(core.Stop())) << core.Output();
}

TEST_F(Identity, NoThreadKeepsRootsIdentityOrCapabilities) {
    LaunchedCore core(Start::kRootUnderUser, user);
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    const auto tasks = identity::Tasks(core.pid());
    EXPECT_GE(tasks.size(), 4u);
    for (const pid_t tid : tasks) {
        const std::string status = TaskStatusPath(core.pid(), tid);
        EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
        EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.gid));
        const uint64_t effective = CapabilitySet(status, "CapEff");
        EXPECT_TRUE(effective == kLoadingCapabilities || effective == kRunningCapabilities)
            << status << ": " << std::hex << effective;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), effective) << status;
    }
    EXPECT_TRUE(EndedWithStatusZero(core.Stop())) << core.Output();
}

void ExpectPrivate(const std::string& path, mode_t mode, const identity::TestUser& owner) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, mode) << path;
    EXPECT_EQ(info.st_uid, owner.uid) << path;
    EXPECT_EQ(info.st_gid, owner.gid) << path;
}

TEST_F(Identity, FilesCreatedAfterTheSwitchBelongToTheUserAndStayPrivate) {
    LaunchedCore core(Start::kRootUnderUser, user);
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    ASSERT_TRUE(core.WaitForOutput("successfully started core version")) << core.Output();
    // The plugin asked for 0666 and 0777.
    ExpectPrivate(core.WorkPath("plugin-file"), 0600, user);
    ExpectPrivate(core.WorkPath("plugin-dir"), 0700, user);
    // The core's own configuration file, written safely before the start is reported.
    ExpectPrivate(core.WorkPath("core.xml"), 0600, user);
    EXPECT_TRUE(EndedWithStatusZero(core.Stop())) << core.Output();
}

TEST_F(Identity, RootCoreUnderRootSupervisorKeepsEveryPrivilege) {
    LaunchedCore core(Start::kRootUnderRoot, user);
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    ASSERT_TRUE(core.WaitForOutput("successfully started core version")) << core.Output();
    const std::string own = "/proc/self/status";
    const uint64_t rootSet = CapabilitySet(own, "CapEff");
    ASSERT_NE(rootSet, kLoadingCapabilities);
    for (const pid_t tid : identity::Tasks(core.pid())) {
        const std::string status = TaskStatusPath(core.pid(), tid);
        EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, 0));
        EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, 0));
        EXPECT_EQ(GroupsOf(status), GroupsOf(own)) << status;
        EXPECT_EQ(CapabilitySet(status, "CapEff"), rootSet) << status;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), CapabilitySet(own, "CapPrm")) << status;
        EXPECT_EQ(CapabilitySet(status, "CapInh"), CapabilitySet(own, "CapInh")) << status;
    }
    EXPECT_EQ(StatusField(core.StatusPath(), "Umask"), "0077");
    EXPECT_EQ(core.Output().find("capset failed"), std::string::npos) << core.Output();
    ExpectPrivate(core.WorkPath("plugin-file"), 0600, identity::TestUser{});
    EXPECT_TRUE(EndedWithStatusZero(core.Stop())) << core.Output();
}

}  // namespace
