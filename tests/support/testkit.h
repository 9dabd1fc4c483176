// Helpers for the tests: temporary directories, bounded waits, files, the test plugins'
// journal and running the real executable.
#pragma once

#include <sys/types.h>
#include <termios.h>

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

// Polls `condition` until it holds or `limit` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The lines of `text` that contain `part`.
Lines LinesWith(const std::string& text, const std::string& part);
inline bool Has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The journal that test plugins append to ("<plugin> <entry> <detail>"); set for the whole
// test process.
Lines JournalLines();
void ClearJournal();
inline bool Journaled(const std::string& line) { return Has(JournalLines(), line); }

// A test plugin .so copied from the build into <dir>/<subdir>/<fileName>.
void InstallPlugin(const TempDir& dir, const std::string& plugin,
                   const std::string& subdir = "plugins", const std::string& fileName = "");

// A supervisor packet: the 16-byte header (length, target, type, a free word) and the payload.
// `lengthField` replaces the true length in the header when it is not negative.
std::string SupervisorPacket(uint32_t target, uint32_t type, const std::string& payload,
                             int64_t lengthField = -1);

// A child process running the core executable (through the configured launcher, if any).
struct Child {
    pid_t pid = -1;
    int outFd = -1;  // the child's standard output and error, combined
    std::string output;
    // Reads what the child wrote so far without blocking.
    void Drain();
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

// The line with which a core reports that its start sequence is done.
constexpr const char* kStarted = "successfully started core version 19.12.6.0";

}  // namespace testkit
