#include "plugins/hold_table.h"

#include <algorithm>

HoldTable::Record* HoldTable::TakeCoreHold(void* block, uint32_t length) {
    if (block == nullptr) return nullptr;
    // Deliveries do not overlap, so the slot is free, and nothing else touches it: other threads
    // reach it only through deliveringBlock, and the last of them left under the mutex before the
    // previous delivery cleared it. A block in the map is kept, so not freed, so it cannot be the
    // address of this new copy. Hence no lock on the common path.
    if (deliveringBlock.load(std::memory_order_relaxed) == nullptr) {
        delivering.coreHold = true;
        delivering.length = length;
        deliveringBlock.store(block, std::memory_order_release);
        return &delivering;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Record& record = Insert(block);
    record.coreHold = true;
    record.length = length;
    return &record;
}

void HoldTable::EndPendingCall(Record* record, uint32_t plugin, uint32_t call) {
    std::lock_guard<std::mutex> lock(mutex);
    // Given back since the call began (the notes go with the core's hold).
    const auto& releases = record->unheldReleases;
    if (std::find(releases.begin(), releases.end(), std::make_pair(plugin, call)) != releases.end())
        return;
    record->holders.push_back(plugin);
    CountKept(plugin, record->length, 1);
}

// Only the plugin in the current call can still end it pending: notes of earlier calls go, and
// a plugin naming holders at random cannot grow the list past a bound (beyond it, a release in
// the call is missed and the hold stays, to be reported as a leak).
void HoldTable::NoteUnheldRelease(Record& record, uint32_t holder) {
    constexpr std::size_t kMaxNotes = 64;
    const uint32_t call = callSequence.load(std::memory_order_relaxed);
    auto& releases = record.unheldReleases;
    releases.erase(std::remove_if(releases.begin(), releases.end(),
                                  [call](const auto& note) { return note.second != call; }),
                   releases.end());
    const auto note = std::make_pair(holder, call);
    const bool noted = std::find(releases.begin(), releases.end(), note) != releases.end();
    if (!noted && releases.size() < kMaxNotes) releases.push_back(note);
}

void HoldTable::CountKept(uint32_t plugin, uint32_t length, int64_t blocks) {
    Kept& count = kept[plugin];
    count.blocks += static_cast<uint64_t>(blocks);
    count.bytes += static_cast<uint64_t>(blocks * static_cast<int64_t>(length));
    count.peakBytes = std::max(count.peakBytes, count.bytes);
}

HoldTable::Kept HoldTable::KeptBy(uint32_t plugin) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = kept.find(plugin);
    return it != kept.end() ? it->second : Kept{};
}

bool HoldTable::ReleaseCoreHold(void* block, Record* record) {
    if (record == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex);
    record->coreHold = false;
    record->unheldReleases.clear();
    if (record != &delivering) {
        if (!record->holders.empty()) return false;
        Erase(block);
        return true;
    }
    deliveringBlock.store(nullptr, std::memory_order_relaxed);
    if (delivering.holders.empty()) return true;
    // Plugins keep the block: its record moves into the map, holders in the order taken. The
    // two lists trade buffers, so that neither allocates next time.
    Record& kept = Insert(block);
    kept.holders.swap(delivering.holders);
    kept.length = delivering.length;
    return false;
}

HoldTable::Record& HoldTable::Insert(void* block) {
    if (spareRecords.empty()) return records[block];
    auto node = std::move(spareRecords.back());
    spareRecords.pop_back();
    node.key() = block;
    return records.insert(std::move(node)).position->second;
}

// A record goes only when its holders and the core's hold are gone, and the notes went with the
// core's hold: the spare is empty but for its buffers.
void HoldTable::Erase(void* block) {
    auto node = records.extract(block);
    if (node.empty() || spareRecords.size() == kSpareRecords) return;
    if (spareRecords.capacity() == 0) spareRecords.reserve(kSpareRecords);
    spareRecords.push_back(std::move(node));
}

HoldTable::Record* HoldTable::Find(void* block) {
    if (block != nullptr && block == deliveringBlock.load(std::memory_order_acquire))
        return &delivering;
    auto it = records.find(block);
    return it != records.end() ? &it->second : nullptr;
}

HoldTable::Release HoldTable::ReleaseHolds(void* block, uint32_t holder) {
    std::lock_guard<std::mutex> lock(mutex);
    Record* record = Find(block);
    if (record == nullptr) return Release::UnknownBlock;
    auto& holders = record->holders;
    const auto released = std::remove(holders.begin(), holders.end(), holder);
    if (released != holders.end())
        CountKept(holder, record->length, -static_cast<int64_t>(holders.end() - released));
    else if (record->coreHold)
        NoteUnheldRelease(*record, holder);
    holders.erase(released, holders.end());
    if (record->coreHold || !holders.empty()) return Release::StillHeld;
    // Only a record in the map gets here: the delivery slot has the core's hold throughout.
    Erase(block);
    return Release::LastHolder;
}

std::vector<std::pair<void*, uint32_t>> HoldTable::Leaks() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::pair<void*, const Record*>> blocks;
    for (const auto& entry : records) blocks.emplace_back(entry.first, &entry.second);
    if (void* block = deliveringBlock.load(std::memory_order_acquire))
        blocks.emplace_back(block, &delivering);
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) {
        return reinterpret_cast<uintptr_t>(a.first) < reinterpret_cast<uintptr_t>(b.first);
    });
    std::vector<std::pair<void*, uint32_t>> leaks;
    for (const auto& block : blocks)
        for (uint32_t holder : block.second->holders) leaks.emplace_back(block.first, holder);
    return leaks;
}
