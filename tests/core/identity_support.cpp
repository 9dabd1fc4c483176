#include "core/identity_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/testkit.h"

namespace identity {

namespace {

constexpr const char* kUser = "dvrtest";
constexpr const char* kExtraGroup = "dvrtestextra";
// The plugin's identifier 0x00400000 has module number 0x040; packets address it in bits 31..20.
constexpr uint32_t kPluginTarget = 0x040u << 20;
constexpr uint32_t kIdentityPacket = 7;
constexpr uint32_t kStopPacket = 8;
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

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

const char* CannotRun() {
    if (testkit::UnderEmulation())
        return "the emulator's process does not show the core's own credentials";
    if (geteuid() != 0) return "needs root: creates the user dvrtest and starts the core as it";
    return nullptr;
}

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

std::string StatusField(const std::string& statusPath, const std::string& name) {
    std::istringstream lines(testkit::ReadFile(statusPath));
    const std::string prefix = name + ":";
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const auto words = Words(line.substr(prefix.size()));
        std::string value;
        for (const auto& word : words) value += (value.empty() ? "" : " ") + word;
        return value;
    }
    return "";
}

uint64_t CapabilitySet(const std::string& statusPath, const std::string& name) {
    const std::string hex = StatusField(statusPath, name);
    // A missing line must not read as the empty set.
    if (hex.empty()) return ~uint64_t{0};
    return std::stoull(hex, nullptr, 16);
}

std::vector<unsigned long> StatusNumbers(const std::string& statusPath, const std::string& name) {
    std::vector<unsigned long> numbers;
    for (const auto& word : Words(StatusField(statusPath, name)))
        numbers.push_back(std::stoul(word));
    return numbers;
}

std::string TaskStatusPath(pid_t pid, pid_t tid) {
    return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status";
}

std::set<pid_t> Tasks(pid_t pid) {
    std::set<pid_t> tasks;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (dir == nullptr) return tasks;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') tasks.insert(std::atoi(entry->d_name));
    closedir(dir);
    return tasks;
}

LaunchedCore::LaunchedCore(Start start, const TestUser& user, const std::string& coreXml) {
    Install(user, coreXml);
    Launch(start, user);
}

LaunchedCore::~LaunchedCore() {
    if (!stopped_) {
        if (corePid_ > 0) kill(corePid_, SIGKILL);
        if (child_.pid > 0) kill(child_.pid, SIGKILL);
    }
    if (child_.outFd >= 0) child_.Wait();
    // Closed only now: a core that loses its supervisor waits a minute before it stops.
    if (supervisorFd_ >= 0) close(supervisorFd_);
}

void LaunchedCore::Install(const TestUser& user, const std::string& coreXml) {
    testkit::InstallCore(dir_);
    testkit::InstallPlugin(dir_, "identity_threads");
    // Once the core has become the test user it must still reach its executable and plugins,
    // and write into its working directory.
    for (const char* sub : {"", "/plugins", "/protected-plugins", "/plugins/identity_threads.so"})
        chmod((dir_.path() + sub).c_str(), 0755);
    if (!coreXml.empty()) {
        testkit::WriteFile(WorkPath("core.xml"), coreXml);
        chmod(WorkPath("core.xml").c_str(), 0644);
    }
    if (chown((dir_ / "work").c_str(), user.uid, user.gid) != 0)
        child_.output += "[test: chown of the working directory failed]";
    chmod((dir_ / "work").c_str(), 0755);
}

void LaunchedCore::Launch(Start start, const TestUser& user) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return;
    const std::string core = dir_ / "dvrcore";
    const std::string descriptor = std::to_string(fds[0]);
    if (start == Start::kRootUnderRoot) {
        child_ = testkit::Spawn(core, {descriptor}, dir_ / "work", {fds[0]});
        corePid_ = child_.pid;
    } else {
        const char* mode = start == Start::kRootUnderUser ? "root" : "user";
        child_ =
            testkit::Spawn(IDENTITY_LAUNCHER, {std::to_string(user.uid), mode, core, descriptor},
                           dir_ / "work", {fds[0]});
        if (WaitForLaunchLine())
            corePid_ = std::atoi(&child_.output[child_.output.find(kLaunched) + kLaunched.size()]);
    }
    close(fds[0]);
    supervisorFd_ = fds[1];
    SendPacket(0, kIdentityPacket,
               std::string("corvaned\0"
                           "1.0",
                           12));
    // Its forwarding to the plugin runs on the event-loop thread, which the plugin notes.
    SendPacket(kPluginTarget, kPluginPacket, "ping");
}

void LaunchedCore::SendPacket(uint32_t target, uint32_t type, const std::string& payload) {
    const std::string bytes = testkit::SupervisorPacket(target, type, payload);
    if (send(supervisorFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size()))
        child_.output += "[test: sending a supervisor packet failed]";
}

bool LaunchedCore::ReadThreads() {
    std::istringstream lines(testkit::ReadFile(WorkPath("identity-threads.txt")));
    std::string role;
    pid_t tid = 0;
    while (lines >> role >> tid) threads_[role] = tid;
    for (const char* needed : {"open", "worker", "reader", "supervisor"})
        if (threads_.count(needed) == 0) return false;
    return true;
}

bool LaunchedCore::WaitForThreads() {
    return corePid_ > 0 && testkit::WaitFor([&] {
               child_.Drain();
               return ReadThreads();
           });
}

std::string LaunchedCore::StatusPath() const {
    return "/proc/" + std::to_string(corePid_) + "/status";
}

bool LaunchedCore::WaitForLaunchLine() {
    return testkit::WaitFor([&] {
        child_.Drain();
        return child_.output.find('\n', child_.output.find(kLaunched)) != std::string::npos;
    });
}

int LaunchedCore::Stop() {
    stopped_ = true;
    // The supervisor's stop packet rather than a signal: under ThreadSanitizer a signal that
    // reaches a thread about to block can stay undelivered until that thread wakes.
    SendPacket(0, kStopPacket, "");
    return child_.Wait();
}

}  // namespace identity
