// A real core executable started on a seq-packet socketpair, with the test as its supervisor.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/testkit.h"

namespace testkit {

class SupervisedCore {
public:
    // Starts <dir>/dvrcore (see InstallCore) in <dir>/work and sends the identity packet.
    explicit SupervisedCore(const TempDir& dir) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return;
        link = fds[0];
        child = Spawn(dir / "dvrcore", {std::to_string(fds[1])}, dir / "work", {fds[1]});
        close(fds[1]);
        Send(0, 7, std::string("corvaned\0" "1.0", 12));
    }
    ~SupervisedCore() {
        if (child.outFd >= 0) {
            Send(0, 8, "");
            child.Wait();
        }
        if (link >= 0) close(link);
    }
    SupervisedCore(const SupervisedCore&) = delete;
    SupervisedCore& operator=(const SupervisedCore&) = delete;

    bool Send(uint32_t target, uint32_t type, const std::string& payload) {
        const std::string packet = SupervisorPacket(target, type, payload);
        return send(link, packet.data(), packet.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(packet.size());
    }
    // The next message of this type (header included) within the bound; empty when none came.
    std::string Receive(uint32_t type, int limitMs = 20000) {
        std::vector<char> buffer(70000);
        for (int waited = 0; waited < limitMs; waited += 100) {
            pollfd ready{link, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            const ssize_t n = recv(link, buffer.data(), buffer.size(), 0);
            if (n <= 0) return "";
            uint32_t header[4];
            if (n < 16) continue;
            std::memcpy(header, buffer.data(), sizeof header);
            if (header[2] == type) return std::string(buffer.data(), static_cast<size_t>(n));
        }
        return "";
    }
    // Ends the core with a stop packet; its wait status.
    int Stop() {
        Send(0, 8, "");
        const int status = child.Wait();
        child.outFd = -1;
        return status;
    }

    Child child;

private:
    int link = -1;
};

}  // namespace testkit
