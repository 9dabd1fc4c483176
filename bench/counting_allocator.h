// Counts heap allocations and lock acquisitions, per thread and process-wide, by interposing
// the C library's allocator and mutex entry points in the benchmark executable. Every call,
// from the core's code, from libstdc++ and from the plugins, passes through these counters.
#pragma once

#include <cstdint>

struct CallCounts {
    uint64_t mallocs = 0;  // malloc, calloc, realloc, memalign and friends
    uint64_t frees = 0;    // free of a non-null pointer
    uint64_t locks = 0;    // pthread mutex lock and trylock, rwlock read and write locks

    CallCounts operator-(const CallCounts& other) const {
        return {mallocs - other.mallocs, frees - other.frees, locks - other.locks};
    }
};

// The calling thread's counts since it started.
CallCounts ThreadCounts();
// Every thread's counts since the process started (threads that ended included).
CallCounts ProcessCounts();
