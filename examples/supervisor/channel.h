// channel.h - the supervisor's end of the core's socket: packets out, messages in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <dvrcore/dvrplugin.h>

// The core's statistics request and answer; older plugin headers do not name it yet.
#ifdef DVR_PACKET_STATISTICS
constexpr uint32_t kPacketStatistics = DVR_PACKET_STATISTICS;
#else
constexpr uint32_t kPacketStatistics = 9u;
#endif

// A message a plugin sent us. `framed`: it follows the examples' convention (a packet header
// with the plugin's identifier); otherwise `text` holds the raw bytes.
struct Message {
    bool framed = false;
    uint32_t source = 0;
    uint32_t type = 0;
    uint32_t word = 0;  // the header's fourth word
    std::string text;
};

// The core's answer to a statistics request: the one message with target 0 and type 9 (plugins
// put their own identifier, never 0, in the target word).
inline bool IsStatisticsAnswer(const Message& message) {
    return message.framed && message.source == 0 && message.type == kPacketStatistics;
}

class Channel {
public:
    explicit Channel(int socket) : socket_(socket) {}
    int fd() const { return socket_; }

    // Packet type 7: who we are, "name\0version". The core lists it in plugins.xml.
    bool SendIdentity(const std::string& name, const std::string& version);
    // Packet type 8: the core delivers what is queued, closes its plugins and exits 0.
    bool SendStop();
    // Packet type 9 to module number 0: the core answers with its statistics, echoing `word`.
    bool AskStatistics(uint32_t word);
    // Any other type goes to the plugin with this module number (bits 27..16 of its id).
    bool SendToModule(uint32_t moduleNumber, uint32_t type, const std::string& payload);

    // Reads one record and appends the messages it completes. False once the core has closed
    // its end (or ended). With `wait` false it returns false at once when nothing is there.
    bool Receive(std::vector<Message>* messages, bool wait = true);

private:
    bool Send(uint32_t target, uint32_t type, const std::string& payload);
    void Split(std::vector<Message>* messages);

    int socket_;
    std::string pending_;  // the start of a message longer than one record
};
