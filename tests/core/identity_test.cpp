// The identity the real core takes on: the supervisor's user and groups, the file-creation mask
// and the capabilities of each of its threads, read from /proc while the core runs. And a core
// that already runs as its supervisor's (non-root) user: nothing to switch, and the
// capabilities it asks for are refused, which it only logs.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "core/process_user.h"
#include "support/testkit.h"

namespace {

// The test user, /proc status fields, and the real core started under a parent process of a
// chosen user, with a plugin whose worker and reader stay alive.

constexpr const char* kUser = "dvrtest";
constexpr const char* kExtraGroup = "dvrtestextra";
// The plugin's identifier 0x00400000 has module number 0x040; packets address it in bits 31..20.
constexpr uint32_t kPluginTarget = 0x040u << 20;
constexpr uint32_t kPluginPacket = 1;
// The launcher's line that names the process it started.
const std::string kLaunched = "launched ";

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool InExtraGroup() {
    const group* extra = getgrnam(kExtraGroup);
    if (extra == nullptr) return false;
    for (char** member = extra->gr_mem; *member != nullptr; ++member)
        if (std::strcmp(*member, kUser) == 0) return true;
    return false;
}

// useradd, groupadd and usermod come with Debian's "passwd" package.
std::string CreateMissingUser() {
    if (getgrnam(kExtraGroup) == nullptr && !Run("/usr/sbin/groupadd dvrtestextra"))
        return "groupadd dvrtestextra failed (is the passwd package installed?)";
    if (getpwnam(kUser) == nullptr) {
        const std::string group = getgrnam(kUser) != nullptr ? "-N -g dvrtest" : "-U";
        if (!Run("/usr/sbin/useradd -M -s /usr/sbin/nologin " + group + " -G dvrtestextra dvrtest"))
            return "useradd dvrtest failed (is the passwd package installed?)";
    }
    if (!InExtraGroup() && !Run("/usr/sbin/usermod -a -G dvrtestextra dvrtest"))
        return "usermod -a -G dvrtestextra dvrtest failed";
    return "";
}

struct TestUser {
    uid_t uid = 0;
    gid_t gid = 0;       // primary group
    gid_t extraGid = 0;  // supplementary group
};

// Why the identity tests cannot run here (they read the core's credentials and need root), or
// null.
const char* CannotRun() {
    if (testkit::UnderEmulation())
        return "the emulator's process does not show the core's own credentials";
    if (geteuid() != 0) return "needs root: creates the user dvrtest and starts the core as it";
    return nullptr;
}

// Makes sure the user "dvrtest" exists with its own primary group and the supplementary group
// "dvrtestextra" (needs root). Returns an empty text and fills `user`, or why it cannot.
std::string PrepareTestUser(TestUser& user) {
    // Parallel tests, also from other build trees, must not run useradd at the same time: it
    // refuses to work while another one holds the password file's lock.
    const int lock = open("/tmp/dvrcore-identity-user.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return "cannot open the lock of the test user's creation";
    const std::string failure =
        flock(lock, LOCK_EX) == 0 ? CreateMissingUser() : "cannot lock the test user's creation";
    close(lock);
    if (!failure.empty()) return failure;
    const passwd* entry = getpwnam(kUser);
    const group* extra = getgrnam(kExtraGroup);
    if (entry == nullptr || extra == nullptr) return "the test user is not visible after creation";
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    user.extraGid = extra->gr_gid;
    return "";
}

// The value of a "Name:" line of a /proc status file, without surrounding white space.
std::string StatusField(const std::string& statusPath, const std::string& name) {
    std::istringstream lines(testkit::ReadFile(statusPath));
    const std::string prefix = name + ":";
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const auto words = testkit::Words(line.substr(prefix.size()));
        std::string value;
        for (const auto& word : words) value += (value.empty() ? "" : " ") + word;
        return value;
    }
    return "";
}

// A capability set line ("CapEff", "CapPrm", "CapInh") as a number.
uint64_t CapabilitySet(const std::string& statusPath, const std::string& name) {
    const std::string hex = StatusField(statusPath, name);
    // A missing line must not read as the empty set.
    if (hex.empty()) return ~uint64_t{0};
    return std::stoull(hex, nullptr, 16);
}

// The numbers of a status line such as "Uid:" or "Groups:".
std::vector<unsigned long> StatusNumbers(const std::string& statusPath, const std::string& name) {
    std::vector<unsigned long> numbers;
    for (const auto& word : testkit::Words(StatusField(statusPath, name)))
        numbers.push_back(std::stoul(word));
    return numbers;
}

std::string TaskStatusPath(pid_t pid, pid_t tid) {
    return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status";
}

// The status files of every thread of the process.
std::vector<std::string> TaskStatusPaths(pid_t pid) {
    std::vector<std::string> paths;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (dir == nullptr) return paths;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') paths.push_back(TaskStatusPath(pid, std::atoi(entry->d_name)));
    closedir(dir);
    return paths;
}

// Who starts the core, and as whom it runs.
enum class Start {
    kRootUnderUser,  // the core as root, its parent running as the test user
    kUserUnderUser,  // the core and its parent both as the test user
    kRootUnderRoot,  // the core as root, started by this (root) test process
};

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO; without CAP_SYS_RAWIO once plugins are open.
constexpr uint64_t kLoadingCapabilities = 0x23000;
constexpr uint64_t kRunningCapabilities = 0x3000;

bool EndedWithStatusZero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// Each test launches the real core executable once, with a supervisor socket and the
// "identity_threads" plugin; it must have stopped with status 0 by the end.
template <typename Base>
class Launching : public Base {
protected:
    void SetUp() override {
        if (const char* reason = CannotRun()) GTEST_SKIP() << reason;
        ASSERT_EQ(PrepareTestUser(user), "");
    }
    void TearDown() override {
        if (core != nullptr) {
            EXPECT_TRUE(EndedWithStatusZero(Stop())) << Output();
        }
    }
    // Starts the core, with `coreXml`, when not empty, as its configuration file; true once the
    // plugin's open, worker, reader and supervisor calls have all noted their threads.
    bool Launch(Start start, const std::string& coreXml = "") {
        Install(coreXml);
        std::vector<std::string> command;
        if (start != Start::kRootUnderRoot) {
            const char* mode = start == Start::kRootUnderUser ? "root" : "user";
            command = {IDENTITY_LAUNCHER, std::to_string(user.uid), mode, dir / "dvrcore"};
        }
        core = std::make_unique<testkit::SupervisedCore>(dir, command);
        testkit::Child& child = core->child;
        if (start == Start::kRootUnderRoot) {
            corePid = child.pid;
        } else if (child.WaitUntil([&] {
                       return child.output.find('\n', child.output.find(kLaunched)) !=
                              std::string::npos;
                   })) {
            corePid = std::atoi(&child.output[child.output.find(kLaunched) + kLaunched.size()]);
        }
        // Its forwarding to the plugin runs on the event-loop thread, which the plugin notes.
        if (!core->Send(kPluginTarget, kPluginPacket, "ping"))
            problems += "[test: sending a supervisor packet failed]";
        return corePid > 0 && child.WaitUntil([&] { return ReadThreads(); });
    }
    // Asks the core to stop as its supervisor does, once; the launcher's (or core's) wait status.
    int Stop() {
        // The supervisor's stop packet rather than a signal: under ThreadSanitizer a signal that
        // reaches a thread about to block can stay undelivered until that thread wakes.
        if (!status) status = core->Stop();
        return *status;
    }
    bool WaitForOutput(const std::string& text) { return core->child.WaitForOutput(text); }
    std::string StatusPath() const { return "/proc/" + std::to_string(corePid) + "/status"; }
    std::string WorkPath(const std::string& name) const { return dir / ("work/" + name); }
    std::string Output() const { return problems + core->child.output; }

    TestUser user;
    testkit::TempDir dir;
    std::string problems;  // what went wrong in the test's own steps
    std::unique_ptr<testkit::SupervisedCore> core;
    pid_t corePid = -1;
    std::optional<int> status;
    std::map<std::string, pid_t> threads;  // the thread that ran the plugin's call of each role

private:
    void Install(const std::string& coreXml) {
        testkit::InstallCore(dir);
        testkit::InstallPlugin(dir, "identity_threads");
        // Once the core has become the test user it must still reach its executable and plugins,
        // and write into its working directory.
        for (const char* sub :
             {"", "/plugins", "/protected-plugins", "/plugins/identity_threads.so"})
            chmod((dir.path() + sub).c_str(), 0755);
        if (!coreXml.empty()) {
            testkit::WriteFile(WorkPath("core.xml"), coreXml);
            chmod(WorkPath("core.xml").c_str(), 0644);
        }
        if (chown((dir / "work").c_str(), user.uid, user.gid) != 0)
            problems += "[test: chown of the working directory failed]";
        chmod((dir / "work").c_str(), 0755);
    }
    bool ReadThreads() {
        std::istringstream lines(testkit::ReadFile(WorkPath("identity-threads.txt")));
        std::string role;
        pid_t tid = 0;
        while (lines >> role >> tid) threads[role] = tid;
        for (const char* needed : {"open", "worker", "reader", "supervisor"})
            if (threads.count(needed) == 0) return false;
        return true;
    }
};

using Identity = Launching<::testing::Test>;

void ExpectCapabilities(const std::string& statusPath, uint64_t mask) {
    EXPECT_EQ(CapabilitySet(statusPath, "CapEff"), mask) << statusPath;
    EXPECT_EQ(CapabilitySet(statusPath, "CapPrm"), mask) << statusPath;
    EXPECT_EQ(CapabilitySet(statusPath, "CapInh"), 0u) << statusPath;
}

std::set<unsigned long> GroupsOf(const std::string& statusPath) {
    const auto numbers = StatusNumbers(statusPath, "Groups");
    return {numbers.begin(), numbers.end()};
}

TEST_F(Identity, RootCoreTakesOnTheSupervisorsUserAndGroups) {
    ASSERT_TRUE(Launch(Start::kRootUnderUser)) << Output();
    const std::string status = StatusPath();
    EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
    EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.gid));
    EXPECT_EQ(GroupsOf(status), (std::set<unsigned long>{user.gid, user.extraGid}));
    EXPECT_EQ(StatusField(status, "Umask"), "0077");
}

TEST_F(Identity, EachThreadKeepsTheCapabilitiesOfTheStageThatStartedIt) {
    ASSERT_TRUE(Launch(Start::kRootUnderUser)) << Output();
    const pid_t pid = corePid;
    // Plugins are opened on the main thread, whose task id is the process id.
    ASSERT_EQ(threads.at("open"), pid);
    const pid_t worker = threads.at("worker");
    const pid_t reader = threads.at("reader");
    const pid_t eventLoop = threads.at("supervisor");
    ASSERT_EQ((std::set<pid_t>{pid, worker, reader, eventLoop}).size(), 4u);

    ExpectCapabilities(StatusPath(), kRunningCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, pid), kRunningCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, eventLoop), kLoadingCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, worker), kLoadingCapabilities);
    ExpectCapabilities(TaskStatusPath(pid, reader), kRunningCapabilities);
    EXPECT_EQ(Output().find("capset failed"), std::string::npos) << Output();
}

TEST_F(Identity, NoThreadKeepsRootsIdentityOrCapabilities) {
    ASSERT_TRUE(Launch(Start::kRootUnderUser)) << Output();
    const auto tasks = TaskStatusPaths(corePid);
    EXPECT_GE(tasks.size(), 4u);
    for (const std::string& status : tasks) {
        EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
        EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, user.gid));
        const uint64_t effective = CapabilitySet(status, "CapEff");
        EXPECT_TRUE(effective == kLoadingCapabilities || effective == kRunningCapabilities)
            << status << ": " << std::hex << effective;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), effective) << status;
    }
}

void ExpectPrivate(const std::string& path, mode_t mode, const TestUser& owner) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, mode) << path;
    EXPECT_EQ(info.st_uid, owner.uid) << path;
    EXPECT_EQ(info.st_gid, owner.gid) << path;
}

TEST_F(Identity, FilesCreatedAfterTheSwitchBelongToTheUserAndStayPrivate) {
    ASSERT_TRUE(Launch(Start::kRootUnderUser)) << Output();
    ASSERT_TRUE(WaitForOutput("successfully started core version")) << Output();
    // The plugin asked for 0666 and 0777.
    ExpectPrivate(WorkPath("plugin-file"), 0600, user);
    ExpectPrivate(WorkPath("plugin-dir"), 0700, user);
    // The core's own configuration file, written safely before the start is reported.
    ExpectPrivate(WorkPath("core.xml"), 0600, user);
}

TEST_F(Identity, RootCoreUnderRootSupervisorKeepsEveryPrivilege) {
    ASSERT_TRUE(Launch(Start::kRootUnderRoot)) << Output();
    ASSERT_TRUE(WaitForOutput("successfully started core version")) << Output();
    const std::string own = "/proc/self/status";
    const uint64_t rootSet = CapabilitySet(own, "CapEff");
    ASSERT_NE(rootSet, kLoadingCapabilities);
    for (const std::string& status : TaskStatusPaths(corePid)) {
        EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, 0));
        EXPECT_EQ(StatusNumbers(status, "Gid"), std::vector<unsigned long>(4, 0));
        EXPECT_EQ(GroupsOf(status), GroupsOf(own)) << status;
        EXPECT_EQ(CapabilitySet(status, "CapEff"), rootSet) << status;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), CapabilitySet(own, "CapPrm")) << status;
        EXPECT_EQ(CapabilitySet(status, "CapInh"), CapabilitySet(own, "CapInh")) << status;
    }
    EXPECT_EQ(StatusField(StatusPath(), "Umask"), "0077");
    EXPECT_EQ(Output().find("capset failed"), std::string::npos) << Output();
    ExpectPrivate(WorkPath("plugin-file"), 0600, TestUser{});
}

// ---- A core under a supervisor of its own user ----------------------------------------------

constexpr const char* kRefused = "capset failed: Operation not permitted";

struct LevelCase {
    int coreLevel;          // the core's level in core.xml; -1 leaves core.xml out
    size_t refusalsLogged;  // of the two refusals, Init's and the start sequence's
};

void PrintTo(const LevelCase& levelCase, std::ostream* out) {
    *out << "core level " << levelCase.coreLevel << ", " << levelCase.refusalsLogged
         << " refusals logged";
}

using SameUser = Launching<::testing::TestWithParam<LevelCase>>;

std::string CoreXml(int level) {
    return level < 0 ? "" : "<?xml ?>" + testkit::LevelDocument(level, INT32_MIN, " Delta=\"0\"");
}

TEST_P(SameUser, RefusedCapabilitiesAreLoggedAtLevelFiftyAndTheStartGoesOn) {
    // The reader thread starts only after the start sequence's own capability call.
    ASSERT_TRUE(Launch(Start::kUserUnderUser, CoreXml(GetParam().coreLevel))) << Output();
    for (const std::string& status : TaskStatusPaths(corePid)) {
        EXPECT_EQ(StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
        EXPECT_EQ(CapabilitySet(status, "CapEff"), 0u) << status;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), 0u) << status;
    }
    Stop();
    // Init's refusal comes before the configured levels are read, so it always shows; the
    // start sequence's shows only while the core's level admits level 50.
    const auto refusals = testkit::LinesWith(Output(), kRefused);
    EXPECT_EQ(refusals.size(), GetParam().refusalsLogged) << Output();
    for (const auto& line : refusals) EXPECT_NE(line.find(" core "), std::string::npos) << line;
    if (GetParam().coreLevel < 0) {
        EXPECT_EQ(testkit::LinesWith(Output(), "successfully started core version").size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(CoreLevels, SameUser,
                         ::testing::Values(LevelCase{-1, 2}, LevelCase{50, 2}, LevelCase{51, 1}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return info.param.coreLevel < 0
                                        ? std::string("Unset")
                                        : "Level" + std::to_string(info.param.coreLevel);
                         });

// Reading a process's real user from its /proc status: the "Uid:" line's first number, or 0.

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
    const std::string value = testkit::InChild(
        [&] { return setresuid(real, effective, saved) == 0 ? std::to_string(reading()) : ""; });
    return value.empty() || !std::isdigit(value[0]) ? 0xFFFFFFFF : std::stoul(value);
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
