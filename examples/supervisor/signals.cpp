#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

int pipeEnds[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;  // the interrupted code may look at errno
    const unsigned char byte = static_cast<unsigned char>(number);
    if (write(pipeEnds[1], &byte, 1) < 0) {
        // A full pipe already holds enough wake-ups.
    }
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe(std::initializer_list<int> signals) {
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : signals) sigaction(number, &action, nullptr);
}

int SignalPipe::fd() const { return pipeEnds[0]; }

std::vector<int> SignalPipe::Take() {
    std::vector<int> taken;
    unsigned char bytes[64];
    ssize_t n;
    while ((n = read(pipeEnds[0], bytes, sizeof bytes)) > 0)
        taken.insert(taken.end(), bytes, bytes + n);
    return taken;
}
