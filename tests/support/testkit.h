// Helpers for the tests: temporary directories, bounded waits and running the real executable.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

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

// Polls `condition` until it holds or `limit` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// A child process running the core executable (through the configured launcher, if any).
struct Child {
    pid_t pid = -1;
    int outFd = -1;  // the child's standard output and error, combined
    std::string output;
    // Reads what the child wrote so far without blocking.
    void Drain();
    // Waits for the child to end within the limit; returns its wait status, or -1 on timeout
    // (the child is then killed).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
};

// Asks a core started with Spawn to stop with `signal` (SIGINT, SIGTERM or SIGQUIT).
void SendStopSignal(Child& child, int signal);

// Starts `executable` with `args` in `workDir`. `keepFds` stay open in the child.
Child Spawn(const std::string& executable, const std::vector<std::string>& args,
            const std::string& workDir, const std::vector<int>& keepFds = {});

// The core executable copied beside fresh "plugins" and "protected-plugins" directories.
std::string InstallCore(const TempDir& dir);

}  // namespace testkit
