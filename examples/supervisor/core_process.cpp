#include "core_process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// The core writes its log lines only to a terminal, and a view drawn on our terminal would be
// scrolled away by them: it gets a terminal of its own, whose lines we print or hold. Raw, so
// that its bytes arrive as written. False when there is no pseudo-terminal to have.
bool OpenRelay(int* master, int* slave) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0) return false;
    const char* name = grantpt(*master) == 0 && unlockpt(*master) == 0 ? ptsname(*master) : nullptr;
    *slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios raw{};
    if (*slave < 0 || tcgetattr(*slave, &raw) != 0) {
        if (*slave >= 0) close(*slave);
        close(*master);
        return false;
    }
    cfmakeraw(&raw);
    tcsetattr(*slave, TCSANOW, &raw);
    fcntl(*master, F_SETFL, O_NONBLOCK);
    return true;
}

// In the child, between fork and exec: nothing but system calls.
[[noreturn]] void ExecCore(char* const* argv, int coreEnd, int output) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);  // the console's input is ours
    // Standard error stays ours: a line written as the core dies shows at once, view or not.
    if (output >= 0) dup2(output, 1);
    fcntl(coreEnd, F_SETFD, 0);  // the one descriptor the core inherits on purpose
    execvp(argv[0], argv);
    _exit(127);
}

}  // namespace

CoreProcess StartCore(const std::vector<std::string>& command, bool relay) {
    int pair[2];
    // Close-on-exec on both ends; the child clears it on the core's end only.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error("socketpair failed");
    std::vector<std::string> words = command;
    words.push_back(std::to_string(pair[1]));  // the core's one argument
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    int master = -1, slave = -1;
    if (relay && !OpenRelay(&master, &slave)) master = slave = -1;

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) ExecCore(argv.data(), pair[1], slave);
    close(pair[1]);
    // Only the core holds the terminal's other end now: reading ours ends when the core does.
    if (slave >= 0) close(slave);
    CoreProcess core;
    core.pid = pid;
    core.socket = pair[0];
    core.output = master;
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
