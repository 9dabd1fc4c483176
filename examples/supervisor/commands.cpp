// The supervisor's commands, typed on the console or planned by the demo.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "console.h"
#include "example_protocol.h"
#include "session.h"

namespace {

constexpr uint32_t kAdminModule = (EXAMPLE_ADMIN_ID >> 16) & 0xFFFu;
// The core answers at once when it can; a core without statistics does not answer at all.
constexpr auto kAnswerWait = std::chrono::seconds(5);
constexpr auto kRefresh = std::chrono::seconds(1);

int Rows() {
    int rows, columns;
    TerminalSize(&rows, &columns);
    return rows;
}

}  // namespace

void Session::Execute(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    if (!(words >> command)) return;
    std::string rest;
    std::getline(words, rest);
    if (command == "stop" || command == "quit") {
        Stop();
    } else if (command == "status") {
        channel_.SendToModule(kAdminModule, EXAMPLE_PACKET_STATUS, "");
    } else if (command == "level") {
        channel_.SendToModule(kAdminModule, EXAMPLE_PACKET_SET_LEVEL, rest);
    } else if (command == "send") {
        SendToModule(rest);
    } else if (command == "stats") {
        StartStats();
    } else if (command == "top") {
        StartTop();
    } else {
        PrintCommands();
    }
}

// "send <module> <type> [text]": module number and type in decimal or 0x hex.
void Session::SendToModule(const std::string& arguments) {
    std::istringstream words(arguments);
    std::string module, type, text;
    if (!(words >> module >> type)) {
        Say("usage: send <module> <type> [text]");
        return;
    }
    std::getline(words >> std::ws, text);
    const auto number = static_cast<uint32_t>(std::strtoul(module.c_str(), nullptr, 0));
    const auto packetType = static_cast<uint32_t>(std::strtoul(type.c_str(), nullptr, 0));
    if (packetType == DVR_PACKET_IDENTITY || packetType == DVR_PACKET_STOP) {
        Say("types 7 and 8 are the core's own");
        return;
    }
    // Elsewhere type 9 is a plugin's to define.
    if (number == 0 && packetType == kPacketStatistics) {
        Say("type 9 to module 0 asks the core for its statistics: use stats");
        return;
    }
    if (!channel_.SendToModule(number, packetType, text)) Say("could not send the packet");
}

// A stop packet lets the core deliver what is queued and close its plugins in order. Without
// the channel, SIGTERM asks the same.
void Session::Stop() {
    if (stopping_) return;
    stopping_ = true;
    EndTop();  // the core's last lines belong on the console
    if (channelOpen_ && channel_.SendStop()) {
        Say("asked the core to stop");
    } else {
        Say("no channel to the core: sending SIGTERM");
        kill(core_.pid, SIGTERM);
    }
}

// ---- Statistics -------------------------------------------------------------------------------

// The word comes back in the answer: it tells a `stats` answer from the view's, and an answer
// to an abandoned request from the one awaited.
uint32_t Session::AskStatistics() {
    if (++lastWord_ == 0) lastWord_ = 1;
    return channelOpen_ && channel_.AskStatistics(lastWord_) ? lastWord_ : 0;
}

void Session::StartStats() {
    statsAsked_ = AskStatistics();
    if (statsAsked_ == 0) {
        Say("could not ask the core for its statistics");
        return;
    }
    statsDeadline_ = Clock::now() + kAnswerWait;
}

void Session::CheckStatsWait() {
    if (statsAsked_ == 0 || Clock::now() < statsDeadline_) return;
    statsAsked_ = 0;
    Say("the core did not answer the statistics request");
}

void Session::OnStatistics(const Message& answer) {
    const bool forStats = statsAsked_ != 0 && answer.word == statsAsked_;
    const bool forTop = top_ && top_->asked != 0 && answer.word == top_->asked;
    if (!forStats && !forTop) return;  // an answer we gave up on
    Statistics statistics;
    std::string error;
    const bool read = ParseStatistics(answer.text, &statistics, &error);
    if (forTop) {
        top_->asked = 0;
        if (read)
            top_->view.Answer(statistics, Clock::now());
        else
            top_->view.Problem("unreadable answer: " + error);
        DrawScreen(top_->view.Screen(Rows()));
    }
    if (!forStats) return;
    statsAsked_ = 0;
    if (!read) {
        Say("the core's statistics cannot be read: " + error);
        return;
    }
    // Counters over the uptime: the averages since the core started.
    for (const std::string& line :
         StatisticsLines(statistics, nullptr, static_cast<double>(statistics.uptime)))
        Say(line);
}

// The view redraws in place, so it needs a terminal; its input only ends it.
void Session::StartTop() {
    if (top_) return;
    if (!OnTerminal() || core_.output < 0) {
        Say("top needs a terminal: try stats");
        return;
    }
    top_ = std::make_unique<Top>();
    HoldLines([this](const std::string& line) { top_->view.Hold(line); });
    DrawScreen(top_->view.Screen(Rows()));
    top_->nextTick = Clock::now();
    TopTick();
}

// Each second a request, once the last one is answered; the answer draws the view. While one
// is awaited the view is drawn anyway, so that the held lines move on and a core that does not
// answer shows as such; one unanswered for long is given up and asked anew.
void Session::TopTick() {
    const Clock::time_point now = Clock::now();
    if (now < top_->nextTick) return;
    top_->nextTick = std::max(top_->nextTick + kRefresh, now);
    const bool waiting = top_->asked != 0 && now - top_->askedAt < kAnswerWait;
    if (!waiting) {
        if (top_->asked != 0)
            top_->view.Problem("no answer from the core for " +
                               std::to_string(kAnswerWait.count()) + " s");
        top_->asked = AskStatistics();
        top_->askedAt = now;
        if (top_->asked != 0) return;
        top_->view.Problem("cannot ask the core");
    }
    DrawScreen(top_->view.Screen(Rows()));
}

void Session::EndTop() {
    if (!top_) return;
    ReleaseLines();
    const std::size_t held = top_->view.heldCount();
    top_.reset();  // gives the terminal its modes back
    std::printf("\n");
    Say("left the top view; " + std::to_string(held) +
        " console lines came in while it was open (it showed the latest)");
}
