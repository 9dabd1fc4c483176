// The core's record of one loaded plugin. Core-side only: plugins never see it.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "dvrcore/dvrplugin.h"

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

    PLUGININFO() = default;
    PLUGININFO(PLUGININFO&&) = default;
    PLUGININFO& operator=(PLUGININFO&&) = default;
    PLUGININFO(const PLUGININFO&) = delete;
    PLUGININFO& operator=(const PLUGININFO&) = delete;

    uint32_t id() const { return loadInfo.id; }
    uint32_t closeKey() const { return loadInfo.masks[5]; }
};
