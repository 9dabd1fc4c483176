// Who still holds each event data block.
//
// A block gets a record when the delivery loop takes the core's hold on it. Plugins that keep a
// block past their Write or IOCTL call (pending) are entered in the order their holds were
// taken; the block is freed when the core's hold and every plugin's hold are gone.
//
// The hold a plugin has during its own call is not entered in the table: the core's hold keeps
// the block alive meanwhile, so the only thing to remember is whether the plugin gave the
// block back during the call. Each call with a block gets the next call sequence, one store
// without a fence; a release by a plugin that is not (yet) a holder, while the core still holds
// the block, is noted with the sequence it saw. A call that ends pending takes the table's mutex
// and enters the hold unless such a release was noted with its own sequence: the plugin gave
// the block back after its call began. A release cannot see an earlier sequence than that of a
// call whose block it got from the call, and the sequence moves on only when the next call
// begins, after the pending one was entered. The common call costs no lock and nothing at its end.
//
// Most blocks never outlive their delivery. The record of the block being delivered therefore
// lives in a slot of its own, and only a block that a plugin keeps moves into the map when its
// delivery ends: a delivery costs one short critical section and no allocation. A recorder keeps
// every frame, so the map's nodes are reused too: a freed block's node, holder list included,
// waits for the next kept block, up to kSpareRecords of them.
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
        // Releases by plugins that did not hold the block, with the call sequence each saw.
        std::vector<std::pair<uint32_t, uint32_t>> unheldReleases;
        uint32_t length = 0;  // of the block, for what plugins keep
        bool coreHold = false;
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
    // The call's sequence, for its EndCall.
    uint32_t BeginCall(Record* record) {
        if (record == nullptr) return 0;
        // Relaxed is enough: a releaser knows the block only through the plugin's call, so the
        // store happens before its load by whatever hand-off the plugin used.
        const uint32_t call = callSequence.load(std::memory_order_relaxed) + 1;
        callSequence.store(call, std::memory_order_relaxed);
        return call;
    }
    void EndCall(Record* record, uint32_t plugin, uint32_t call, bool pending) {
        if (record != nullptr && pending) EndPendingCall(record, plugin, call);
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
    void EndPendingCall(Record* record, uint32_t plugin, uint32_t call);
    void NoteUnheldRelease(Record& record, uint32_t holder);
    void CountKept(uint32_t plugin, uint32_t length, int64_t blocks);
    // The block's record, or null when it has none (the caller holds the mutex).
    Record* Find(void* block);
    // A record in the map for a block that has none, and its removal (under the mutex).
    Record& Insert(void* block);
    void Erase(void* block);

    mutable std::mutex mutex;
    Record delivering;                 // the record of deliveringBlock
    // The block being delivered, if it has that slot: set by the delivery thread alone, cleared
    // under the mutex; the record is read elsewhere only under the mutex and through this.
    std::atomic<void*> deliveringBlock{nullptr};
    std::unordered_map<void*, Record> records;  // blocks kept past their delivery
    static constexpr std::size_t kSpareRecords = 256;
    std::vector<std::unordered_map<void*, Record>::node_type> spareRecords;
    std::atomic<uint32_t> callSequence{0};  // stored by the delivery thread alone
    std::unordered_map<uint32_t, Kept> kept;  // by plugin
};
