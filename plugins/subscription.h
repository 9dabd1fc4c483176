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
        static constexpr uint32_t kBits[DVR_SUBSCRIPTION_CLASSES] = {0x1,  0x2,  0x4,  0x8, 0x10,
                                                                     0x20, 0x40, 0x80, 0x400};
        for (int i = 0; i < DVR_SUBSCRIPTION_CLASSES; ++i)
            if ((classFlags & kBits[i]) != 0) masks[count++] = i;
    }

    bool Subscribed(const _LoadParmsOut& info, uint32_t code) const {
        for (int i = 0; i < count; ++i)
            if ((code & ~info.masks[masks[i]]) == 0) return true;
        return false;
    }

private:
    int masks[DVR_SUBSCRIPTION_CLASSES] = {};
    int count = 0;
};
