// The core's record of one loaded plugin. Core-side only: plugins never see it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "dvrcore/dvrplugin.h"
#include "housekeeping/plugin_records.h"

// What other threads read of a plugin while the main thread may move its record (load order,
// close order): kept apart, at a fixed address.
struct PluginState {
    // Set by the main thread under the router's lock just before Close: from then on the
    // plugin gets no supervisor packets and no new direct requests.
    std::atomic<bool> closing{false};
};

struct PLUGININFO {
    void* library = nullptr;  // dlopen handle; closed by the unloader, not by the record
    DvrLoadEntry Load = nullptr;
    DvrUnloadEntry Unload = nullptr;
    DvrOpenEntry Open = nullptr;
    DvrCloseEntry Close = nullptr;
    DvrReadEntry Read = nullptr;
    DvrWriteEntry Write = nullptr;
    DvrSeekEntry Seek = nullptr;
    DvrIoctlEntry IOCTL = nullptr;
    std::thread workerThread;
    std::thread readerThread;
    _LoadParmsOut loadInfo{};
    std::string fileName;  // last path element, extension included
    int32_t openCode = 0;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;
    std::unique_ptr<PluginState> state = std::make_unique<PluginState>();
    int record = -1;                // in the plugin records; -1 when the table is full
    PluginRecord* stats = nullptr;  // that record, or null

    PLUGININFO() = default;
    PLUGININFO(PLUGININFO&&) = default;
    PLUGININFO& operator=(PLUGININFO&&) = default;
    PLUGININFO(const PLUGININFO&) = delete;
    PLUGININFO& operator=(const PLUGININFO&) = delete;

    uint32_t id() const { return loadInfo.id; }
    uint32_t closeKey() const { return loadInfo.masks[DVR_MASK_CLOSE_KEY]; }
    bool closing() const { return state->closing.load(); }
};

// Looks up every entry point the library exports; missing ones stay null.
void ResolveEntries(PLUGININFO& plugin);
