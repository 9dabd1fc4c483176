#include "plugins/hold_table.h"

#include <algorithm>

HoldTable::Record* HoldTable::TakeCoreHold(void* block) {
    if (block == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    Record& record = records[block];
    record.coreHold = true;
    return &record;
}

void HoldTable::BeginCall(Record* record, uint32_t plugin) {
    if (record == nullptr) return;
    generation = generation >= 0x7FFFFFFFu ? 1 : generation + 1;
    record->callee.store(plugin);
    record->callState.store(generation << 1);
}

void HoldTable::EndCall(Record* record, uint32_t plugin, bool pending) {
    if (record == nullptr) return;
    if (!pending) {
        record->callState.store(0);
        return;
    }
    // Under the mutex, so that a release racing with the end of the call is either seen here
    // as "released during the call" or finds the hold entered below.
    std::lock_guard<std::mutex> lock(mutex);
    const uint32_t state = record->callState.exchange(0);
    if ((state & 1u) == 0) record->holders.push_back(plugin);
}

bool HoldTable::ReleaseCoreHold(void* block, Record* record) {
    if (record == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex);
    record->coreHold = false;
    if (!record->holders.empty()) return false;
    records.erase(block);
    return true;
}

HoldTable::Release HoldTable::ReleaseHolds(void* block, uint32_t holder) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = records.find(block);
    if (it == records.end()) return Release::UnknownBlock;
    Record& record = it->second;
    auto& holders = record.holders;
    holders.erase(std::remove(holders.begin(), holders.end(), holder), holders.end());
    uint32_t state = record.callState.load();
    if (state != 0 && (state & 1u) == 0 && record.callee.load() == holder)
        record.callState.compare_exchange_strong(state, state | 1u);
    if (record.coreHold || !holders.empty()) return Release::StillHeld;
    records.erase(it);
    return Release::LastHolder;
}

std::vector<std::pair<void*, uint32_t>> HoldTable::Leaks() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<void*> blocks;
    for (const auto& entry : records) blocks.push_back(entry.first);
    std::sort(blocks.begin(), blocks.end(), [](void* a, void* b) {
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    });
    std::vector<std::pair<void*, uint32_t>> leaks;
    for (void* block : blocks)
        for (uint32_t holder : records.at(block).holders) leaks.emplace_back(block, holder);
    return leaks;
}
