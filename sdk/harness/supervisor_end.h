// The harness as the supervisor: the far end of the core's socket pair. It sends the identity
// packet and the test's packets, and keeps every record the core writes, in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sdk/harness/records.h"

class SupervisorEnd {
public:
    explicit SupervisorEnd(Records& records);
    ~SupervisorEnd();
    SupervisorEnd(const SupervisorEnd&) = delete;
    SupervisorEnd& operator=(const SupervisorEnd&) = delete;

    // The core's end, which passes to the core (OpenChannel).
    int CoreSocket() const { return coreSocket; }
    // A packet to the plugin with this module identifier.
    bool Send(uint32_t id, uint32_t type, const void* payload, uint32_t length);
    // Once the core has closed its end: reads what is left, for at most `limit`, then stops.
    void Finish(std::chrono::milliseconds limit);

private:
    bool SendPacket(const std::vector<uint8_t>& packet);
    void Receive();

    Records& records;
    int ownSocket = -1;
    int coreSocket = -1;
    std::promise<void> drained;
    std::future<void> receiverDone;
    std::thread receiver;
};
