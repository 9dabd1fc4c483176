// Heap settings for a process that copies every frame it carries.
//
// The core copies each raised event into a block of its own and frees it once the last plugin
// gives it back. With glibc's defaults such a stream of 5 KiB to 1 MiB blocks keeps faulting:
// blocks from 128 KiB up are mapped and unmapped one by one until the first of them is freed,
// and free memory at the top of a heap goes back to the kernel as soon as it passes the trim
// threshold (128 KiB, later twice the largest unmapped block), so the next frames touch fresh
// pages, one fault per 4 KiB. Fixed thresholds keep a bounded amount of freed memory for reuse
// instead. Memory a plugin keeps is still live heap memory and still counts in the resident
// size that the throttle reads.
#pragma once

#include <cstdint>

struct AllocatorSettings {
    uint32_t mmapThreshold;  // blocks of this size and above are mapped for themselves
    uint32_t trimThreshold;  // free memory at an arena's top from which it is given back
    uint32_t arenas;         // malloc arenas at most

    // Freed memory the settings let the heap keep at the arenas' tops: once the free space at
    // an arena's top reaches the trim threshold, everything above the top pad goes back.
    constexpr uint64_t FreedBytesBound() const {
        return static_cast<uint64_t>(arenas) * trimThreshold;
    }
};

// 16 MiB covers the swing of a recorder's frames in flight that we measured at full speed
// (docs/performance.md). One arena: every thread's freed frames land in the same pool, so the
// bound holds for the process and not once per thread; the device's single core gains nothing
// from more, and on two cores the shared lock cost no measurable time.
constexpr AllocatorSettings kFrameAllocator{4u << 20, 16u << 20, 1};

// Sanitizer builds bring a heap of their own, which glibc's settings do not reach.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DVR_GLIBC_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define DVR_GLIBC_HEAP 0
#endif
#endif
#ifndef DVR_GLIBC_HEAP
#define DVR_GLIBC_HEAP 1
#endif
constexpr bool kGlibcHeap = DVR_GLIBC_HEAP != 0;

// Applies kFrameAllocator to the whole process; false when glibc refused a setting, or, without
// a word, when the heap is not glibc's. Called once, first thing in main, before any thread or
// plugin allocates.
bool ConfigureAllocator();
