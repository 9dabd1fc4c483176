#include "housekeeping/plugin_records.h"

#include <link.h>

#include <cstring>
#include <initializer_list>

thread_local ThreadRole threadRole;

namespace {

PluginRecord records[kMaxPluginRecords];
std::atomic<int> recordCount{0};

struct MappingSearch {
    uintptr_t address;
    uintptr_t base = 0;
    uintptr_t start = 0;
    uintptr_t end = 0;
};

// Finds the object whose loaded segments hold the address, and the span of those segments.
int FindMapping(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<MappingSearch*>(data);
    uintptr_t start = UINTPTR_MAX;
    uintptr_t end = 0;
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        const uintptr_t from = info->dlpi_addr + header.p_vaddr;
        const uintptr_t to = from + header.p_memsz;
        if (from < start) start = from;
        if (to > end) end = to;
        holds = holds || (search->address >= from && search->address < to);
    }
    if (!holds) return 0;
    search->base = info->dlpi_addr;
    search->start = start;
    search->end = end;
    return 1;
}

}  // namespace

const char* EntryName(PluginEntry entry) {
    switch (entry) {
        case PluginEntry::Load: return "load";
        case PluginEntry::Open: return "open";
        case PluginEntry::Write: return "write";
        case PluginEntry::UpdateConfig: return "update config";
        case PluginEntry::IpcIoctl: return "ipc ioctl";
        case PluginEntry::Close: return "close";
        case PluginEntry::Unload: return "unload";
        case PluginEntry::Worker: return "worker";
        case PluginEntry::Read: return "read";
        case PluginEntry::None: break;
    }
    return "";
}

const char* ThreadKindName(ThreadKind kind) {
    switch (kind) {
        case ThreadKind::Main: return "main thread";
        case ThreadKind::EventLoop: return "event-loop thread";
        case ThreadKind::Worker: return "worker thread";
        case ThreadKind::Reader: return "reader thread";
        case ThreadKind::Request: return "request thread";
        case ThreadKind::Core: return "core thread";
        case ThreadKind::PluginOwn: break;
    }
    return "thread of the plugin's own";
}

namespace {

// A library loaded again (a test process makes many cores) takes its old, unmapped record.
int FreeRecordNamed(const char* fileName) {
    const int count = recordCount.load();
    for (int i = 0; i < count; ++i)
        if (records[i].end.load() == 0 && std::strncmp(records[i].name, fileName,
                                                       sizeof records[i].name - 1) == 0)
            return i;
    return -1;
}

void ResetCounters(PluginRecord& record) {
    for (auto* counter : {&record.writes, &record.failures, &record.ioctls, &record.ioctlFailures,
                          &record.busySamples, &record.raised, &record.refused})
        counter->store(0);
}

}  // namespace

int AddPluginRecord(const char* fileName, const void* addressInLibrary) {
    int index = FreeRecordNamed(fileName);
    const bool fresh = index < 0;
    if (fresh) index = recordCount.load();
    if (index >= kMaxPluginRecords) return -1;
    PluginRecord& record = records[index];
    ResetCounters(record);
    std::strncpy(record.name, fileName, sizeof record.name - 1);
    MappingSearch search{reinterpret_cast<uintptr_t>(addressInLibrary)};
    dl_iterate_phdr(FindMapping, &search);
    record.base = search.base;
    record.start = search.start;
    // A record without a mapping would be taken again by the next library of that name.
    record.end = search.end != 0 ? search.end : search.start + 1;
    if (fresh) recordCount.store(index + 1);
    return index;
}

PluginRecord* PluginRecordAt(int index) {
    return index >= 0 && index < recordCount.load() ? &records[index] : nullptr;
}

void ForgetMapping(int index) {
    if (PluginRecord* record = PluginRecordAt(index)) {
        record->start = 0;
        record->end = 0;
    }
}

int PluginRecordByAddress(uintptr_t address) {
    const int count = recordCount.load();
    for (int i = 0; i < count; ++i)
        if (address >= records[i].start.load() && address < records[i].end.load()) return i;
    return -1;
}
