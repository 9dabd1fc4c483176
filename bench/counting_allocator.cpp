#include "bench/counting_allocator.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// One slot per thread, never reused: only its own thread writes it (relaxed load and store, no
// read-modify-write), any thread may sum the slots. The counting costs a few instructions.
struct Slot {
    std::atomic<uint64_t> mallocs{0};
    std::atomic<uint64_t> frees{0};
    std::atomic<uint64_t> locks{0};
};

constexpr int kSlots = 4096;
Slot slots[kSlots];
std::atomic<int> slotsUsed{0};
Slot overflow;  // threads beyond kSlots share one slot; their counts may then undercount
__thread Slot* threadSlot = nullptr;

Slot& MySlot() {
    Slot* slot = threadSlot;
    if (slot == nullptr) {
        const int index = slotsUsed.fetch_add(1, std::memory_order_relaxed);
        slot = index < kSlots ? &slots[index] : &overflow;
        threadSlot = slot;
    }
    return *slot;
}

inline void Bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

CallCounts Read(const Slot& slot) {
    return {slot.mallocs.load(std::memory_order_relaxed), slot.frees.load(std::memory_order_relaxed),
            slot.locks.load(std::memory_order_relaxed)};
}

using MutexEntry = int (*)(pthread_mutex_t*);
using RwlockEntry = int (*)(pthread_rwlock_t*);

template <typename Entry>
Entry Next(const char* name) {
    return reinterpret_cast<Entry>(dlsym(RTLD_NEXT, name));
}

std::atomic<MutexEntry> nextMutexLock{nullptr};
std::atomic<MutexEntry> nextMutexTrylock{nullptr};
std::atomic<RwlockEntry> nextRdlock{nullptr};
std::atomic<RwlockEntry> nextWrlock{nullptr};

template <typename Entry>
Entry Resolved(std::atomic<Entry>& cache, const char* name) {
    Entry entry = cache.load(std::memory_order_acquire);
    if (entry == nullptr) {
        entry = Next<Entry>(name);
        cache.store(entry, std::memory_order_release);
    }
    return entry;
}

__attribute__((constructor(101))) void ResolveEarly() {
    Resolved(nextMutexLock, "pthread_mutex_lock");
    Resolved(nextMutexTrylock, "pthread_mutex_trylock");
    Resolved(nextRdlock, "pthread_rwlock_rdlock");
    Resolved(nextWrlock, "pthread_rwlock_wrlock");
}

}  // namespace

CallCounts ThreadCounts() { return Read(MySlot()); }

CallCounts ProcessCounts() {
    CallCounts total;
    const int used = slotsUsed.load(std::memory_order_relaxed);
    for (int i = 0; i < used && i < kSlots; ++i) {
        const CallCounts c = Read(slots[i]);
        total.mallocs += c.mallocs;
        total.frees += c.frees;
        total.locks += c.locks;
    }
    const CallCounts c = Read(overflow);
    total.mallocs += c.mallocs;
    total.frees += c.frees;
    total.locks += c.locks;
    return total;
}

extern "C" {

__attribute__((visibility("default"))) void* malloc(size_t size) {
    Bump(MySlot().mallocs);
    return __libc_malloc(size);
}

__attribute__((visibility("default"))) void free(void* pointer) {
    if (pointer != nullptr) Bump(MySlot().frees);
    __libc_free(pointer);
}

__attribute__((visibility("default"))) void* calloc(size_t count, size_t size) {
    Bump(MySlot().mallocs);
    return __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void* realloc(void* pointer, size_t size) {
    Bump(MySlot().mallocs);
    return __libc_realloc(pointer, size);
}

__attribute__((visibility("default"))) void* memalign(size_t alignment, size_t size) {
    Bump(MySlot().mallocs);
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(size_t alignment, size_t size) {
    Bump(MySlot().mallocs);
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(void** result, size_t alignment,
                                                          size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    Bump(MySlot().mallocs);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *result = pointer;
    return 0;
}

__attribute__((visibility("default"))) void* valloc(size_t size) {
    Bump(MySlot().mallocs);
    return __libc_memalign(4096, size);
}

__attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* mutex) {
    Bump(MySlot().locks);
    return Resolved(nextMutexLock, "pthread_mutex_lock")(mutex);
}

__attribute__((visibility("default"))) int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    Bump(MySlot().locks);
    return Resolved(nextMutexTrylock, "pthread_mutex_trylock")(mutex);
}

__attribute__((visibility("default"))) int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    Bump(MySlot().locks);
    return Resolved(nextRdlock, "pthread_rwlock_rdlock")(lock);
}

__attribute__((visibility("default"))) int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    Bump(MySlot().locks);
    return Resolved(nextWrlock, "pthread_rwlock_wrlock")(lock);
}

}  // extern "C"
