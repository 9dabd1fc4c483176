// session.h - one run of the core: the loop that relays between it, the console and the clock.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "channel.h"
#include "core_process.h"
#include "options.h"
#include "signals.h"

class Session {
public:
    Session(const Options& options, CoreProcess core, SignalPipe& signals);
    // Runs until the core has ended; returns the exit code for the supervisor.
    int Run();

private:
    struct Step {
        int atMs;
        std::string command;
    };

    void Plan(const Options& options);
    int NextTimeout() const;
    void RunDueSteps();
    void OnSignals();
    void OnChannel();
    void OnInput();
    void Execute(const std::string& line);
    void SendToModule(const std::string& arguments);
    void Stop();
    void DrainMessages();
    int ElapsedMs() const;

    CoreProcess core_;
    Channel channel_;
    SignalPipe& signals_;
    std::chrono::steady_clock::time_point start_;
    std::deque<Step> steps_;  // timed commands: the demo and --seconds, in time order
    std::string input_;       // console input not yet ended by a newline
    bool inputOpen_ = true;
    bool channelOpen_ = true;
    bool stopping_ = false;
};
