// Helpers of the identity tests: the test user, /proc status fields, and the real core started
// under a parent process of a chosen user, with a plugin whose worker and reader stay alive.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/testkit.h"

namespace identity {

struct TestUser {
    uid_t uid = 0;
    gid_t gid = 0;       // primary group
    gid_t extraGid = 0;  // supplementary group
};

// Why the identity tests cannot run here (they read the core's credentials and need root), or
// null.
const char* CannotRun();

// Makes sure the user "dvrtest" exists with its own primary group and the supplementary group
// "dvrtestextra" (needs root). Returns an empty text and fills `user`, or why it cannot.
std::string PrepareTestUser(TestUser& user);

// The value of a "Name:" line of a /proc status file, without surrounding white space.
std::string StatusField(const std::string& statusPath, const std::string& name);
// A capability set line ("CapEff", "CapPrm", "CapInh") as a number.
uint64_t CapabilitySet(const std::string& statusPath, const std::string& name);
// The numbers of a status line such as "Uid:" or "Groups:".
std::vector<unsigned long> StatusNumbers(const std::string& statusPath, const std::string& name);
std::string TaskStatusPath(pid_t pid, pid_t tid);
std::set<pid_t> Tasks(pid_t pid);

// Who starts the core, and as whom it runs.
enum class Start {
    kRootUnderUser,  // the core as root, its parent running as the test user
    kUserUnderUser,  // the core and its parent both as the test user
    kRootUnderRoot,  // the core as root, started by this (root) test process
};

// The real core executable, started with a supervisor socket and the "identity_threads" plugin.
class LaunchedCore {
public:
    // `coreXml`, when not empty, is the core's configuration file at start.
    LaunchedCore(Start start, const TestUser& user, const std::string& coreXml = "");
    ~LaunchedCore();
    LaunchedCore(const LaunchedCore&) = delete;
    LaunchedCore& operator=(const LaunchedCore&) = delete;

    // Waits until the plugin's open, worker, reader and supervisor calls have all noted their
    // threads; false when they did not within the bound.
    bool WaitForThreads();
    // Waits for a line of the core's output containing `text`.
    bool WaitForOutput(const std::string& text) { return child_.WaitForOutput(text); }
    // The thread that ran the plugin's call of `role` ("open", "worker", ...).
    pid_t Thread(const std::string& role) const { return threads_.at(role); }
    pid_t pid() const { return corePid_; }
    std::string StatusPath() const;
    std::string WorkPath(const std::string& name) const { return dir_ / ("work/" + name); }
    const std::string& Output() const { return child_.output; }
    // Asks the core to stop as its supervisor does and returns the launcher's (or core's) wait
    // status.
    int Stop();

private:
    void Install(const TestUser& user, const std::string& coreXml);
    void Launch(Start start, const TestUser& user);
    void SendPacket(uint32_t target, uint32_t type, const std::string& payload);
    bool ReadThreads();
    bool WaitForLaunchLine();

    testkit::TempDir dir_;
    testkit::Child child_;
    pid_t corePid_ = -1;
    int supervisorFd_ = -1;
    bool stopped_ = false;
    std::map<std::string, pid_t> threads_;
};

}  // namespace identity
