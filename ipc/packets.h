// Supervisor packets: a 16-byte header (length, target, type, one word for the plugin) and a
// payload; the length counts the header. Parsed in place without sockets, so that the same
// code can be driven by a fuzzer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ipc {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kMaxPacket = 65536;
constexpr uint32_t kTypeIdentity = 7;
constexpr uint32_t kTypeStop = 8;
constexpr uint32_t kTypeStatistics = 9;  // addressed to module number 0

inline uint32_t ReadWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void WriteWord(uint8_t* bytes, uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
}

inline uint32_t PacketLength(const uint8_t* packet) { return ReadWord(packet); }
inline uint32_t PacketTarget(const uint8_t* packet) { return ReadWord(packet + 4); }
inline uint32_t PacketType(const uint8_t* packet) { return ReadWord(packet + 8); }

// Hands every whole packet at the start of buffer[0, count) to onPacket(packet, length), in
// order, and returns how many bytes remain (moved to the buffer's start). A length field
// outside 16..65536 calls onBadLength and drops everything buffered: a length below the header
// would never advance.
template <typename OnPacket, typename OnBadLength>
uint32_t ConsumePackets(uint8_t* buffer, uint32_t count, OnPacket onPacket,
                        OnBadLength onBadLength) {
    uint32_t offset = 0;
    while (count - offset >= kHeaderSize) {
        const uint32_t length = PacketLength(buffer + offset);
        if (length > kMaxPacket || length < kHeaderSize) {
            onBadLength();
            return 0;
        }
        if (count - offset < length) break;
        onPacket(buffer + offset, length);
        offset += length;
    }
    if (offset != 0) std::memmove(buffer, buffer + offset, count - offset);
    return count - offset;
}

// The NUL-separated strings of an identity payload; the payload's end ends the last one.
inline std::vector<std::string> SplitIdentity(const uint8_t* payload, uint32_t length) {
    std::vector<std::string> strings(1);
    for (uint32_t i = 0; i < length; ++i) {
        if (payload[i] == 0)
            strings.emplace_back();
        else
            strings.back().push_back(static_cast<char>(payload[i]));
    }
    return strings;
}

}  // namespace ipc
