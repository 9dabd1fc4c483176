// Helpers for the tests: temporary directories, bounded waits, files, the test plugins'
// journal, child processes, and the real executable under the test as its supervisor.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

using Lines = std::vector<std::string>;

// True when target executables run under an emulator (a launcher is configured): readings of
// the emulated process's own memory or threads do not hold there.
bool UnderEmulation();

// A directory that exists for the lifetime of the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes `directory` the working directory for the object's lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& directory);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    const int previous;
};

// A temporary core directory with its plugin directories and a working directory "work"
// that is the process's working directory while the object lives: the core reads and writes
// its documents by relative name.
struct CoreDirectory {
    TempDir dir;
    std::string work = MakeWork(dir);
    WorkingDirectory inWork{work};

    static std::string MakeWork(const TempDir& dir);
    std::string File(const std::string& name) const { return work + "/" + name; }
};

// Polls `condition` until it holds or `limit` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// What `fd` gives until it has nothing more now (non-blocking) or reaches its end.
std::string ReadAvailable(int fd);
// True when anything is at `path`, a dangling symbolic link too.
bool Exists(const std::string& path);
// The lines of `text` that contain `part`.
Lines LinesWith(const std::string& text, const std::string& part);
Lines Words(const std::string& text);
// `levels` elements <a> nested inside each other around `inner`.
inline std::string Nested(int levels, const std::string& inner = "") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}
// A document that sets one module's log level (the core's by default), with `delta` in its root:
// <Norv Delta="1"><Modules><Module><Plugin ID=".." LogLevel=".." /></Module></Modules></Norv>.
std::string LevelDocument(int level, int32_t id = INT32_MIN,
                          const std::string& delta = " Delta=\"1\"");
inline bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The journal that test plugins append to ("<plugin> <entry> <detail>"); set for the whole
// test process.
Lines JournalLines();
void ClearJournal();
inline bool Journaled(const std::string& line) { return Has(JournalLines(), line); }

// A test plugin .so copied from the build into <dir>/<subdir>/<fileName>; the copy's path.
std::string InstallPlugin(const TempDir& dir, const std::string& plugin,
                          const std::string& subdir = "plugins", const std::string& fileName = "");
// The shared object `file` copied into <dir>/plugins under its own name; the copy's path.
std::string CopyPlugin(const TempDir& dir, const std::string& file);

// Runs `work` in a child process and returns what it gave back.
std::string InChild(const std::function<std::string()>& work);

// A supervisor packet: the 16-byte header (length, target, type, a free word) and the payload.
// `lengthField` replaces the true length in the header when it is not negative.
std::string SupervisorPacket(uint32_t target, uint32_t type, const std::string& payload,
                             int64_t lengthField = -1);
// The supervisor's identity packet: its name "corvaned", a NUL and `version`.
std::string IdentityPacket(const std::string& version);

// A seq-packet socketpair: `core` is the end for the core, `supervisor` the test's. Each end
// still held is closed with the object.
class Link {
public:
    Link();
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The core's end, from now on the core's to close.
    int HandOver();
    void CloseCore();
    // The supervisor going away.
    void CloseSupervisor();
    // Sends one record from the supervisor's end; true when all of it went.
    bool Send(const std::string& record) const;
    // The next record at the supervisor's end within `limit`; empty when none came.
    std::string Receive(std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

    int core = -1;
    int supervisor = -1;
};

// A child process running the core executable (through the configured launcher, if any).
struct Child {
    pid_t pid = -1;
    int outFd = -1;  // the child's standard output and error, combined
    std::string output;
    // Reads what the child wrote so far without blocking.
    void Drain() { output += ReadAvailable(outFd); }
    // Waits, reading what the child writes, until `condition` holds; true when it did.
    bool WaitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits until the output from offset `from` on holds `text`.
    bool WaitForOutput(const std::string& text, std::size_t from = 0);
    // Keys typed on the terminal (a child spawned with terminal input).
    void Type(const std::string& keys);
    // The terminal's local modes as the child set them.
    tcflag_t LocalModes() const;
    // Waits for the child to end within the limit; returns its wait status, or -1 on timeout
    // (the child is then killed).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
};

// Asks a core started with Spawn to stop with `signal` (SIGINT, SIGTERM or SIGQUIT).
void SendStopSignal(Child& child, int signal);

// Starts `executable` with `args` in `workDir`, its output on a pseudo-terminal that becomes
// its controlling terminal; with `terminalInput`, its input as well, as when someone runs it by
// hand. `keepFds` stay open in the child.
Child Spawn(const std::string& executable, const std::vector<std::string>& args,
            const std::string& workDir, const std::vector<int>& keepFds = {},
            bool terminalInput = false);

// The core executable copied beside fresh "plugins", "protected-plugins" and "work"
// directories.
std::string InstallCore(const TempDir& dir);

// A test of the core executable installed in a temporary directory (see InstallCore).
struct InstalledCoreTest : ::testing::Test {
    TempDir dir;
    std::string core = InstallCore(dir);
    void Install(const std::string& plugin) { InstallPlugin(dir, plugin); }
    // Starts the core in <dir>/work.
    Child Run(const std::vector<std::string>& args = {}) { return Spawn(core, args, dir / "work"); }
};

// A run of the core installed in `dir` (see InstallCore), stopped with `signal` once it has
// reported its start.
struct CoreRun {
    bool started = false;
    int status = -1;  // the wait status, -1 when it did not end in time
    std::string output;
};
CoreRun StartAndStop(const TempDir& dir, int signal, const std::vector<std::string>& args = {});

// The real core executable installed in `dir` (see InstallCore), started in <dir>/work on a
// link, with the test as its supervisor: it has sent the identity packet. `command`, when
// given, starts it instead: the program and the arguments before the link's descriptor.
class SupervisedCore {
public:
    explicit SupervisedCore(const TempDir& dir, std::vector<std::string> command = {});
    ~SupervisedCore();
    SupervisedCore(const SupervisedCore&) = delete;
    SupervisedCore& operator=(const SupervisedCore&) = delete;

    bool Send(uint32_t target, uint32_t type, const std::string& payload) const {
        return link.Send(SupervisorPacket(target, type, payload));
    }
    // The next message of this type (header included) within the bound; empty when none came.
    std::string Receive(uint32_t type) const;
    // Ends the core with a stop packet; its wait status.
    int Stop();

    Child child;
    Link link;
};

// The line with which a core reports that its start sequence is done.
constexpr const char* kStarted = "successfully started core version 19.12.6.0";

}  // namespace testkit
