// session.h - one run of the core: the loop that relays between it, the console and the clock.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "channel.h"
#include "console.h"
#include "core_process.h"
#include "options.h"
#include "signals.h"
#include "top_view.h"

class Session {
public:
    Session(const Options& options, CoreProcess core, SignalPipe& signals);
    ~Session();
    // Runs until the core has ended; returns the exit code for the supervisor.
    int Run();

private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        int atMs;
        std::string command;
    };
    // The top view while it is open.
    struct Top {
        TopView view;
        KeyByKey keys;
        uint32_t asked = 0;  // the word of the request not yet answered; 0: none
        Clock::time_point askedAt, nextTick;
    };

    void Plan(const Options& options);
    int NextTimeout() const;
    void RunDueSteps();
    void OnSignals();
    void OnChannel();
    void OnInput();
    void OnCoreOutput();
    void Execute(const std::string& line);
    void SendToModule(const std::string& arguments);
    void Stop();
    void DrainMessages();
    void Handle(const Message& message);
    int ElapsedMs() const;

    // Statistics (commands.cpp).
    uint32_t AskStatistics();
    void OnStatistics(const Message& answer);
    void StartStats();
    void StartTop();
    void TopTick();
    void EndTop();
    void CheckStatsWait();

    CoreProcess core_;
    Channel channel_;
    SignalPipe& signals_;
    std::chrono::steady_clock::time_point start_;
    std::deque<Step> steps_;  // timed commands: the demo and --seconds, in time order
    std::string input_;       // console input not yet ended by a newline
    std::string coreLine_;    // the core's output not yet ended by a newline
    bool inputOpen_ = true;
    bool channelOpen_ = true;
    bool stopping_ = false;
    uint32_t lastWord_ = 0;    // the words of our statistics requests count up from 1
    uint32_t statsAsked_ = 0;  // a `stats` request not yet answered; 0: none
    Clock::time_point statsDeadline_;
    std::unique_ptr<Top> top_;
};
