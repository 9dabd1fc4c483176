#include "core_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// In the child, between fork and exec: nothing but system calls.
[[noreturn]] void ExecCore(char* const* argv, int coreEnd) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);  // the console's input is ours
    fcntl(coreEnd, F_SETFD, 0);    // the one descriptor the core inherits on purpose
    execvp(argv[0], argv);
    _exit(127);
}

}  // namespace

CoreProcess StartCore(const std::vector<std::string>& command) {
    int pair[2];
    // Close-on-exec on both ends; the child clears it on the core's end only.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error("socketpair failed");
    std::vector<std::string> words = command;
    words.push_back(std::to_string(pair[1]));  // the core's one argument
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecCore(argv.data(), pair[1]);
    close(pair[1]);
    CoreProcess core;
    core.pid = pid;
    core.socket = pair[0];
    return core;
}

bool CoreEnded(const CoreProcess& core, int* status) {
    return waitpid(core.pid, status, WNOHANG) == core.pid;
}

std::string DescribeEnd(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

int ExitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}
