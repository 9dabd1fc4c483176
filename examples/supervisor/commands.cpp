// The supervisor's commands, typed on the console or planned by the demo.
#include <signal.h>

#include <cstdlib>
#include <sstream>

#include "console.h"
#include "example_protocol.h"
#include "session.h"

namespace {

constexpr uint32_t kAdminModule = (EXAMPLE_ADMIN_ID >> 16) & 0xFFFu;

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
    if (!channel_.SendToModule(number, packetType, text)) Say("could not send the packet");
}

// A stop packet lets the core deliver what is queued and close its plugins in order. Without
// the channel, SIGTERM asks the same.
void Session::Stop() {
    if (stopping_) return;
    stopping_ = true;
    if (channelOpen_ && channel_.SendStop()) {
        Say("asked the core to stop");
    } else {
        Say("no channel to the core: sending SIGTERM");
        kill(core_.pid, SIGTERM);
    }
}
