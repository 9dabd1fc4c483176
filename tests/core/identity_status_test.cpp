// Reading a process's real user from its /proc status: the "Uid:" line's first number, or 0.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/process_user.h"
#include "support/testkit.h"

namespace {

struct StatusCase {
    const char* name;
    const char* status;
    uint32_t uid;
};

class StatusUid : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusUid, IsTheFirstNumberOfTheFirstUidLineOrZero) {
    EXPECT_EQ(ParseStatusUid(GetParam().status), GetParam().uid);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StatusUid,
    ::testing::Values(
        StatusCase{"FirstNumberOfTheUidLine",
                   "Name:\tdvrcore\nUmask:\t0077\nState:\tS (sleeping)\nTgid:\t4242\nPid:\t4242\n"
                   "PPid:\t4200\nUid:\t1000\t1001\t1002\t1003\nGid:\t100\t101\t102\t103\n"
                   "Groups:\t100 7\n",
                   1000},
        StatusCase{"FirstMatchingLineWins", "Uid:\t7\t7\t7\t7\nUid:\t8\t8\t8\t8\n", 7},
        StatusCase{"LinesThatDoNotMatchAreSkipped",
                   "Gid:\t5\t5\t5\t5\nUid:\tnone\nPUid:\t3\nUid:\t9\t9\t9\t9\n", 9},
        StatusCase{"LastLineNeedsNoNewline", "Name:\tx\nUid: 42", 42},
        StatusCase{"WholeUnsignedRange", "Uid:\t4294967294\t0\t0\t0\n", 4294967294u},
        StatusCase{"ZeroWithoutAUidLine", "Name:\tx\nGid:\t5\t5\t5\t5\n", 0},
        StatusCase{"ZeroForAnEmptyUidLine", "Name:\tx\nUid:\n", 0},
        StatusCase{"ZeroForAnEmptyStatus", "", 0}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

// Runs `reading` in a child process whose real, effective and saved users are the three given,
// so that a result of 0 cannot come from a process that happens to be root. Returns what it
// read, or 0xFFFFFFFF when the child could not take those users.
uint32_t ReadAs(uid_t real, uid_t effective, uid_t saved,
                const std::function<uint32_t()>& reading) {
    int result[2];
    if (pipe(result) != 0) return 0xFFFFFFFF;
    const pid_t pid = fork();
    if (pid == 0) {
        uint32_t value = 0xFFFFFFFF;
        if (setresuid(real, effective, saved) == 0) value = reading();
        _exit(write(result[1], &value, sizeof value) == sizeof value ? 0 : 1);
    }
    close(result[1]);
    uint32_t value = 0xFFFFFFFF;
    if (read(result[0], &value, sizeof value) != sizeof value) value = 0xFFFFFFFF;
    close(result[0]);
    waitpid(pid, nullptr, 0);
    return value;
}

TEST(ProcessUid, IsTheRealUserOfTheProcess) {
    if (geteuid() != 0) {
        // Any other user is not 0, so the reading cannot be the fallback.
        EXPECT_EQ(ReadProcessUid(getpid()), getuid());
        return;
    }
    // The child reads its own status: real 54321, effective 54322, saved 54323.
    EXPECT_EQ(ReadAs(54321, 54322, 54323, [] { return ReadProcessUid(getpid()); }), 54321u);
}

TEST(ProcessUid, IsTheRealUserOfAnotherProcess) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as other users";
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(release[1]);
        const char taken = setresuid(54321, 54322, 54323) == 0 ? 'y' : 'n';
        char ignored;
        // Stays alive until the reading is done: the test closes its end of `release`.
        if (write(ready[1], &taken, 1) == 1) (void)!read(release[0], &ignored, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1);
    EXPECT_EQ(taken, 'y');
    EXPECT_EQ(ReadProcessUid(pid), 54321u);
    close(release[1]);
    close(ready[0]);
    waitpid(pid, nullptr, 0);
}

TEST(ProcessUid, IsZeroForAProcessThatDoesNotExist) {
    // Process identifiers stay below pid_max, so no status file exists for it.
    const pid_t missing = std::stoi(testkit::ReadFile("/proc/sys/kernel/pid_max"));
    if (geteuid() != 0) {
        EXPECT_EQ(ReadProcessUid(missing), 0u);
        return;
    }
    // As another user, a reading of the wrong process could not give 0 by chance.
    EXPECT_EQ(ReadAs(54321, 54321, 54321, [missing] { return ReadProcessUid(missing); }), 0u);
    EXPECT_EQ(ReadAs(54321, 54321, 54321, [] { return ReadProcessUid(0); }), 0u);
}

}  // namespace
