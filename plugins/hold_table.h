// Who still holds each event data block.
//
// A block gets a record when the delivery loop takes the core's hold on it. Plugins that keep a
// block past their Write or IOCTL call (pending) are entered in the order their holds were
// taken; the block is freed when the core's hold and every plugin's hold are gone.
//
// The hold a plugin has during its own call is not entered in the table: the core's hold keeps
// the block alive meanwhile, so the only thing to remember is whether the plugin gave the
// block back during the call. That costs three atomic stores without fences per subscriber
// call instead of two lock round trips; only a call that ends pending takes the table's mutex.
//
// Most blocks never outlive their delivery. The record of the block being delivered therefore
// lives in a slot of its own, and only a block that a plugin keeps moves into the map when its
// delivery ends: a delivery costs one short critical section and no allocation.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

class HoldTable {
public:
    struct Record {
        std::vector<uint32_t> holders;  // plugins that kept the block, in the order they did
        uint32_t length = 0;            // of the block, for what plugins keep
        bool coreHold = false;
        std::atomic<uint32_t> callee{0};     // plugin being called with the block
        std::atomic<uint32_t> callState{0};  // call generation << 1 | released during call
    };

    enum class Release { UnknownBlock, StillHeld, LastHolder };

    // What one plugin keeps past its calls.
    struct Kept {
        uint64_t blocks = 0;
        uint64_t bytes = 0;
        uint64_t peakBytes = 0;
    };

    // The delivery loop's side; all on the delivery thread. BeginCall and EndCall run once per
    // subscriber call, so their common path is inline and lock-free.
    Record* TakeCoreHold(void* block, uint32_t length = 0);
    void BeginCall(Record* record, uint32_t plugin) {
        if (record == nullptr) return;
        // 1 to 2^30 and round again: never 0, which means "no call", and shifted it leaves the
        // low bit for "released during the call".
        const uint32_t next = (generation & 0x3FFFFFFFu) + 1;
        generation = next;
        // A releaser that reads this state also reads this callee. Release ordering is enough:
        // ReleaseHolds marks a call only by a compare-and-swap on the exact state it read.
        record->callee.store(plugin, std::memory_order_relaxed);
        record->callState.store(next << 1, std::memory_order_release);
    }
    void EndCall(Record* record, uint32_t plugin, bool pending) {
        if (record == nullptr) return;
        if (!pending) {
            record->callState.store(0, std::memory_order_release);
            return;
        }
        EndPendingCall(record, plugin);
    }
    // True when the block has no holder left: the caller frees it and wakes its waiters.
    bool ReleaseCoreHold(void* block, Record* record);

    // A plugin's release event, from any thread. The core's own hold cannot be released here:
    // it lasts exactly as long as the delivery that took it.
    Release ReleaseHolds(void* block, uint32_t holder);

    // Every hold still taken: ascending block address, then in the order taken.
    std::vector<std::pair<void*, uint32_t>> Leaks() const;
    Kept KeptBy(uint32_t plugin) const;

private:
    void EndPendingCall(Record* record, uint32_t plugin);
    void CountKept(uint32_t plugin, uint32_t length, int64_t blocks);
    // The block's record, or null when it has none (the caller holds the mutex).
    Record* Find(void* block);

    mutable std::mutex mutex;
    Record delivering;                 // the record of deliveringBlock
    // The block being delivered, if it has that slot: set by the delivery thread alone, cleared
    // under the mutex; the record is read elsewhere only under the mutex and through this.
    std::atomic<void*> deliveringBlock{nullptr};
    std::unordered_map<void*, Record> records;  // blocks kept past their delivery
    uint32_t generation = 0;  // delivery thread only
    std::unordered_map<uint32_t, Kept> kept;  // by plugin
};
