// Per-module log levels, indexed by module number. Read by the level gate on every thread, so
// each entry is a single-byte atomic; module numbers without an entry read as unset (-1).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class LevelTable {
public:
    static constexpr uint32_t kSize = 255;

    LevelTable() {
        for (auto& entry : entries) entry.store(-1);
    }

    int32_t Get(uint32_t moduleNumber) const {
        return moduleNumber < kSize ? entries[moduleNumber].load() : -1;
    }

    void Set(uint32_t moduleNumber, int32_t level) {
        if (moduleNumber < kSize) entries[moduleNumber].store(static_cast<int8_t>(level));
    }

private:
    std::array<std::atomic<int8_t>, kSize> entries;
};

inline bool IsValidLevel(int32_t level) { return level >= -1 && level <= 100; }
