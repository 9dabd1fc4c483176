// Feeds supervisor records to the packet reassembly as the channel does: the first byte of
// every chunk tells how many input bytes form the next received record.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "ipc/packets.h"

// Checked in every build type: a violated property is a finding.
#define CHECK(condition)                 \
    do {                                 \
        if (!(condition)) __builtin_trap(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> buffer(ipc::kMaxPacket);
    uint32_t held = 0;
    size_t at = 0;
    while (at < size) {
        const size_t wanted = static_cast<size_t>(data[at++]) * 64 + 1;
        // A record never exceeds the free part of the buffer: the socket cuts it.
        const size_t record = std::min({wanted, size - at, buffer.size() - held});
        std::memcpy(buffer.data() + held, data + at, record);
        at += record;
        held += static_cast<uint32_t>(record);
        bool dropped = false;
        held = ipc::ConsumePackets(
            buffer.data(), held,
            [](const uint8_t* packet, uint32_t length) {
                CHECK(length >= ipc::kHeaderSize && length <= ipc::kMaxPacket);
                CHECK(ipc::PacketLength(packet) == length);
                if (ipc::PacketType(packet) == ipc::kTypeIdentity) {
                    const auto strings =
                        ipc::SplitIdentity(packet + ipc::kHeaderSize, length - ipc::kHeaderSize);
                    CHECK(!strings.empty());
                }
            },
            [&dropped] { dropped = true; });
        // A bad length drops everything buffered, and nothing else.
        CHECK(!dropped || held == 0);
        // What stays is an incomplete packet: a header not yet whole, or one still arriving.
        CHECK(held < ipc::kHeaderSize || ipc::PacketLength(buffer.data()) > held);
        CHECK(held <= ipc::kMaxPacket);
    }
    return 0;
}
