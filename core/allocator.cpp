#include "core/allocator.h"

#include <malloc.h>

#include <cstdio>

bool ConfigureAllocator() {
    if (!kGlibcHeap) return false;
    const AllocatorSettings& settings = kFrameAllocator;
    // A fixed mmap or trim threshold also turns off glibc's sliding of both thresholds, which
    // would otherwise follow the largest block ever freed.
    const bool applied = mallopt(M_MMAP_THRESHOLD, static_cast<int>(settings.mmapThreshold)) != 0 &&
                         mallopt(M_TRIM_THRESHOLD, static_cast<int>(settings.trimThreshold)) != 0 &&
                         mallopt(M_ARENA_MAX, static_cast<int>(settings.arenas)) != 0;
    if (!applied) std::fprintf(stderr, "allocator settings refused; glibc defaults remain\n");
    return applied;
}
