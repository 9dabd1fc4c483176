#include "sdk/harness/supervisor_end.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/dvrcore.h"

namespace {

// Packet words are little-endian on the wire, whatever the host.
void PutWord(std::vector<uint8_t>& packet, std::size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) packet[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> Packet(uint32_t target, uint32_t type, const void* payload,
                            uint32_t length) {
    std::vector<uint8_t> packet(DVR_PACKET_HEADER_SIZE + length);
    PutWord(packet, 0, static_cast<uint32_t>(packet.size()));
    PutWord(packet, 4, target);
    PutWord(packet, 8, type);
    if (length != 0) std::memcpy(packet.data() + DVR_PACKET_HEADER_SIZE, payload, length);
    return packet;
}

}  // namespace

SupervisorEnd::SupervisorEnd(Records& records) : records(records) {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    ownSocket = sockets[0];
    coreSocket = sockets[1];
    receiverDone = drained.get_future();
    receiver = std::thread(&SupervisorEnd::Receive, this);
    // Sent first, so that the core's start-up wait for the supervisor ends at once.
    const std::string identity = std::string("dvrharness") + '\0' + GetVersion();
    SendPacket(Packet(0, DVR_PACKET_IDENTITY, identity.data(),
                      static_cast<uint32_t>(identity.size())));
}

SupervisorEnd::~SupervisorEnd() {
    if (receiver.joinable()) Finish(std::chrono::milliseconds(0));
    close(ownSocket);
}

bool SupervisorEnd::Send(uint32_t id, uint32_t type, const void* payload, uint32_t length) {
    return SendPacket(Packet(DVR_PACKET_TARGET(id), type, payload, length));
}

bool SupervisorEnd::SendPacket(const std::vector<uint8_t>& packet) {
    return send(ownSocket, packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
}

void SupervisorEnd::Receive() {
    std::vector<char> buffer(DVR_PACKET_MAX);
    for (;;) {
        const ssize_t received = recv(ownSocket, buffer.data(), buffer.size(), 0);
        if (received > 0)
            records.AddMessage(std::string(buffer.data(), static_cast<std::size_t>(received)));
        else if (received == 0 || errno != EINTR)
            break;
    }
    drained.set_value();
}

void SupervisorEnd::Finish(std::chrono::milliseconds limit) {
    // A process that a plugin started may hold the core's end open: then stop reading anyway.
    if (receiverDone.wait_for(limit) != std::future_status::ready) shutdown(ownSocket, SHUT_RDWR);
    receiver.join();
}
