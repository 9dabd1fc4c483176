#include "session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

Session::Session(const Options& options, CoreProcess core, SignalPipe& signals)
    : core_(core),
      channel_(core.socket),
      signals_(signals),
      start_(std::chrono::steady_clock::now()) {
    Plan(options);
}

// The terminal gets its modes back however the run ends.
Session::~Session() { EndTop(); }

// The demo shows a round trip at once (the admin plugin answers even before it is opened),
// then changes the camera's log level twice while frames flow.
void Session::Plan(const Options& options) {
    if (options.demo) {
        steps_ = {
            {0, "status"}, {4000, "level camera 50"}, {8000, "level camera 10"}, {9000, "status"}};
    }
    // First, so that what the demo does next shows under the view's table.
    if (options.top) steps_.push_front({0, "top"});
    if (options.seconds > 0) {
        const Step stop{options.seconds * 1000, "stop"};
        auto at = std::find_if(steps_.begin(), steps_.end(),
                               [&](const Step& step) { return step.atMs > stop.atMs; });
        steps_.insert(at, stop);
    }
}

int Session::Run() {
    // The core waits up to 10 seconds for our identity before it opens its plugins.
    if (!channel_.SendIdentity("example-supervisor", "1.0")) Say("could not send our identity");
    int status = 0;
    while (!CoreEnded(core_, &status)) {
        pollfd fds[4] = {{signals_.fd(), POLLIN, 0},
                         {channelOpen_ ? channel_.fd() : -1, POLLIN, 0},
                         {inputOpen_ ? 0 : -1, POLLIN, 0},
                         {core_.output, POLLIN, 0}};
        if (poll(fds, 4, NextTimeout()) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) OnSignals();
        if (fds[1].revents != 0) OnChannel();
        if (fds[2].revents != 0) OnInput();
        if (fds[3].revents != 0) OnCoreOutput();
        RunDueSteps();
        if (top_) TopTick();
        CheckStatsWait();
    }
    EndTop();
    DrainMessages();
    Say("the core " + DescribeEnd(status));
    return ExitCode(status);
}

int Session::ElapsedMs() const {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start_)
                                .count());
}

int Session::NextTimeout() const {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    if (!steps_.empty() && !stopping_)
        next = start_ + std::chrono::milliseconds(steps_.front().atMs);
    if (top_) next = std::min(next, top_->nextTick);
    if (statsAsked_ != 0) next = std::min(next, statsDeadline_);
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    // Rounded up: waking a little early would only spin until the time has come.
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
}

void Session::RunDueSteps() {
    while (!steps_.empty() && !stopping_ && steps_.front().atMs <= ElapsedMs()) {
        const std::string command = steps_.front().command;
        steps_.pop_front();
        Say("> " + command);
        Execute(command);
    }
}

// SIGCHLD only wakes the loop, which then collects the core.
void Session::OnSignals() {
    for (int number : signals_.Take()) {
        if (number != SIGINT && number != SIGTERM) continue;
        if (!stopping_) {
            Stop();
        } else {
            Say("stopping is taking long: killing the core");
            kill(core_.pid, SIGKILL);
        }
    }
}

void Session::OnChannel() {
    std::vector<Message> messages;
    if (!channel_.Receive(&messages)) {
        channelOpen_ = false;  // the core closed its end: it is ending
        EndTop();
        return;
    }
    for (const Message& message : messages) Handle(message);
}

void Session::Handle(const Message& message) {
    if (IsStatisticsAnswer(message))
        OnStatistics(message);
    else
        Show(message);
}

// Messages written just before the core ended are still in the socket, and so are its last
// lines in the terminal we relay.
void Session::DrainMessages() {
    std::vector<Message> messages;
    while (channelOpen_ && channel_.Receive(&messages, false)) {
    }
    for (const Message& message : messages) Handle(message);
    OnCoreOutput();
}

void Session::OnInput() {
    char bytes[1024];
    const ssize_t n = read(0, bytes, sizeof bytes);
    if (n <= 0) {
        inputOpen_ = false;  // no console (or it ended): the core runs on
        return;
    }
    if (top_) {
        EndTop();  // any key; it is not a command
        return;
    }
    input_.append(bytes, static_cast<std::size_t>(n));
    std::string::size_type end;
    while ((end = input_.find('\n')) != std::string::npos) {
        const std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        Execute(line);
    }
}

// Whole lines only, so that ours never land inside one of the core's. After the core has
// ended, this reads what it wrote last: the other end is closed then, and reading stops at
// the end of what is there.
void Session::OnCoreOutput() {
    if (core_.output < 0) return;
    char bytes[4096];
    for (;;) {
        const ssize_t n = read(core_.output, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) break;  // EIO: nobody holds the other end any more
        coreLine_.append(bytes, static_cast<std::size_t>(n));
        std::string::size_type end;
        while ((end = coreLine_.find('\n')) != std::string::npos) {
            Relay(coreLine_.substr(0, end));
            coreLine_.erase(0, end + 1);
        }
    }
    if (!coreLine_.empty()) Relay(coreLine_);
    coreLine_.clear();
    close(core_.output);
    core_.output = -1;
}
