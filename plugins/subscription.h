// Which plugins take an event: for at least one of the event's subscription classes, the
// plugin's mask for that class holds every bit of the event's (adjusted or folded) code.
#pragma once

#include <cstdint>

#include "dvrcore/dvrplugin.h"

// Queued events move code bits 24..30 up one place; bit 31 drops out of matching.
inline uint32_t AdjustedCode(uint32_t code) {
    return ((code << 1) & 0xFE000000u) | (code & 0x00FFFFFFu);
}

// Direct requests fold code bits 24..31 down by one onto bits 23..30.
inline uint32_t FoldedRequestCode(uint32_t code) {
    return ((code >> 1) & 0x7F800000u) | (code & 0x00FFFFFFu);
}

// The subscription classes of one event, found once per event rather than once per plugin.
class SubscriptionClasses {
public:
    explicit SubscriptionClasses(uint32_t classFlags) {
        // Classes 0 to 7 are flag bits 0 to 7, the ninth is bit 10: only the set bits are visited.
        for (uint32_t bits = (classFlags & 0xFFu) | ((classFlags >> 2) & 0x100u); bits != 0;
             bits &= bits - 1)
            masks[count++] = __builtin_ctz(bits);
    }

    // Once per plugin and event. Most events have one class, so it is tested before the loop.
    bool Subscribed(const _LoadParmsOut& info, uint32_t code) const {
        if (count == 0) return false;
        if ((code & ~info.masks[masks[0]]) == 0) return true;
        for (int i = 1; i < count; ++i)
            if ((code & ~info.masks[masks[i]]) == 0) return true;
        return false;
    }

private:
    int masks[DVR_SUBSCRIPTION_CLASSES] = {};
    int count = 0;
};
