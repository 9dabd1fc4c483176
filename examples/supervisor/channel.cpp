#include "channel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "example_protocol.h"

namespace {

constexpr std::size_t kHeader = sizeof(DvrPacketHeader);
constexpr uint32_t kLongestMessage = 16u << 20;  // beyond this a header is not ours

}  // namespace

bool Channel::SendIdentity(const std::string& name, const std::string& version) {
    return Send(0, DVR_PACKET_IDENTITY, name + std::string(1, '\0') + version);
}

bool Channel::SendStop() { return Send(0, DVR_PACKET_STOP, ""); }

bool Channel::AskStatistics(uint32_t word) {
    const DvrPacketHeader header{static_cast<uint32_t>(kHeader), 0, kPacketStatistics, word};
    return send(socket_, &header, kHeader, MSG_NOSIGNAL) == static_cast<ssize_t>(kHeader);
}

bool Channel::SendToModule(uint32_t moduleNumber, uint32_t type, const std::string& payload) {
    return Send((moduleNumber & 0xFFFu) << 20, type, payload);
}

// One packet, one record: the core reassembles a packet split over records, but there is no
// reason to split one. Packets hold at most 65536 bytes, header included.
bool Channel::Send(uint32_t target, uint32_t type, const std::string& payload) {
    if (payload.size() > 65536 - kHeader) return false;
    DvrPacketHeader header{static_cast<uint32_t>(kHeader + payload.size()), target, type, 0};
    std::string packet(reinterpret_cast<const char*>(&header), kHeader);
    packet += payload;
    return send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
}

bool Channel::Receive(std::vector<Message>* messages, bool wait) {
    static char record[65536];  // the core sends at most 65536 bytes per record
    ssize_t n;
    do {
        n = recv(socket_, record, sizeof record, wait ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;  // 0: the core closed its end
    pending_.append(record, static_cast<std::size_t>(n));
    Split(messages);
    return true;
}

// The core writes each message unchanged and adds no framing: the length in our own header
// tells where a message ends when it spans records.
void Channel::Split(std::vector<Message>* messages) {
    while (pending_.size() >= kHeader) {
        DvrPacketHeader header;
        std::memcpy(&header, pending_.data(), kHeader);
        if (header.length < kHeader || header.length > kLongestMessage) {
            Message raw;
            raw.text = pending_;
            messages->push_back(raw);
            pending_.clear();
            return;
        }
        if (pending_.size() < header.length) return;  // the rest is still to come
        Message message;
        message.framed = true;
        message.source = header.target;
        message.type = header.type;
        message.word = header.word;
        message.text = pending_.substr(kHeader, header.length - kHeader);
        messages->push_back(message);
        pending_.erase(0, header.length);
    }
}
