#include "sdk/inspect/probe.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the child's end until the deadline. SIGCHLD is blocked, so its arrival is awaited
// with sigtimedwait instead of polling.
bool WaitForChild(pid_t child, Clock::time_point deadline, int* status) {
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    for (;;) {
        if (waitpid(child, status, WNOHANG) == child) return true;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        sigtimedwait(&childSignal, nullptr, &wait);
    }
}

Ending AwaitChild(pid_t child, std::chrono::milliseconds limit) {
    int status = 0;
    if (!WaitForChild(child, Clock::now() + limit, &status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return {Ending::TimedOut, 0};
    }
    if (WIFSIGNALED(status)) return {Ending::Killed, WTERMSIG(status)};
    return {Ending::Exited, WEXITSTATUS(status)};
}

Findings Collect(const Probe& probe, Ending ending) {
    Findings findings;
    findings.stage = static_cast<Stage>(probe.stage.load(std::memory_order_acquire));
    findings.loadResult = probe.loadResult;
    findings.declared = probe.declared;
    findings.exports = probe.exports;
    findings.openResult = probe.openResult;
    findings.reason.assign(probe.reason, strnlen(probe.reason, sizeof probe.reason));
    findings.ending = ending;
    return findings;
}

}  // namespace

Findings ProbePlugin(const std::string& path, bool run, std::chrono::milliseconds limit) {
    void* memory = mmap(nullptr, sizeof(Probe), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                        -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("no shared memory for the probe");
    Probe* probe = new (memory) Probe;
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        sigprocmask(SIG_UNBLOCK, &childSignal, nullptr);
        RunProbeChild(path, run, *probe);
    }
    const Findings findings = Collect(*probe, AwaitChild(child, limit));
    probe->~Probe();
    munmap(memory, sizeof(Probe));
    return findings;
}
