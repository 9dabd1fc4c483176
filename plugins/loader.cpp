#include <dlfcn.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cctype>

#include "core/dvrcore.h"
#include "log/core_log.h"
#include "plugins/load_verdict.h"
#include "plugins/plugin_paths.h"

namespace fs = boost::filesystem;

namespace {

constexpr uint32_t kFrontPluginId = 0x00060000;

template <typename Entry>
Entry Resolve(void* library, const char* name) {
    return reinterpret_cast<Entry>(dlsym(library, name));
}

// Milliseconds between two clock readings, truncated toward zero.
int64_t ElapsedMs(dvrcore::TimePoint from, dvrcore::TimePoint to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count() / 1000000;
}

std::string LowerStem(const fs::path& path) {
    std::string stem = path.stem().string();
    for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return stem;
}

}  // namespace

void ResolveEntries(PLUGININFO& plugin) {
    plugin.Load = Resolve<DvrLoadEntry>(plugin.library, "Load");
    plugin.Unload = Resolve<DvrUnloadEntry>(plugin.library, "Unload");
    plugin.Open = Resolve<DvrOpenEntry>(plugin.library, "Open");
    plugin.Close = Resolve<DvrCloseEntry>(plugin.library, "Close");
    plugin.Read = Resolve<DvrReadEntry>(plugin.library, "Read");
    plugin.Write = Resolve<DvrWriteEntry>(plugin.library, "Write");
    plugin.Seek = Resolve<DvrSeekEntry>(plugin.library, "Seek");
    plugin.IOCTL = Resolve<DvrIoctlEntry>(plugin.library, "IOCTL");
}

bool dvrcore::LoadPlugins() {
    const fs::path directory = fs::path(executablePath).parent_path();
    std::vector<fs::path> paths;
    ScanPluginDirectory(directory / "plugins", ".so", paths);
    ScanPluginDirectory(directory / "protected-plugins", ".so", paths);
    std::sort(paths.begin(), paths.end(), PluginPathLess);
    for (const fs::path& path : paths) LoadPlugin(path.string());
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    return !plugins.empty();
}

void dvrcore::LoadPlugin(const std::string& path) {
    const std::string fileName = fs::path(path).filename().string();
    void* library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) {
        const char* reason = dlerror();
        const std::string text = reason != nullptr ? reason : "";
        CoreLog(100, "%s", UnmappedMessage(fileName, text).c_str());
        failedPlugins[fileName] = text;
        return;
    }
    PLUGININFO plugin;
    plugin.library = library;
    plugin.fileName = fileName;
    CoreLog(0, "Core: Loaded plugin: %s", fileName.c_str());
    ResolveEntries(plugin);
    if (plugin.Load == nullptr) {
        dlclose(library);
        CoreLog(100, "%s", MissingLoadMessage(fileName).c_str());
        return;
    }

    plugin.record = AddPluginRecord(fileName.c_str(), reinterpret_cast<void*>(plugin.Load));
    plugin.stats = PluginRecordAt(plugin.record);
    _LoadParmsIn in = DVR_LOAD_IN_INIT;
    in.core = this;
    in.eventEntry = FlatPluginEvent;
    _LoadParmsOut out = DVR_LOAD_OUT_INIT;
    const TimePoint started = now();
    int32_t result;
    {
        const WatchedCall call(mainSlot, plugin.record, PluginEntry::Load);
        result = plugin.Load(&in, &out);
    }
    plugin.loadTimeMs = ElapsedMs(started, now());
    const LoadRefusal refusal = JudgeLoad(fileName, result, out);
    if (refusal.refused()) {
        CoreLog(refusal.level, "%s", refusal.text.c_str());
        // Listed in plugins.xml like a file that could not be mapped: it loaded, but can
        // never take part.
        if (out.id == 0 && result == 0 && out.error == 0) failedPlugins[fileName] = refusal.text;
    }
    if (refusal.refused() || !AcceptIdentifier(fileName, out.id)) {
        ForgetMapping(plugin.record);
        dlclose(library);
        return;
    }
    const uint32_t module = DVR_MODULE_NUMBER(out.id);
    if (module < LevelTable::kSize && IsValidLevel(out.defaultLogLevel) &&
        out.defaultLogLevel != 0) {
        defaultLogLevels.Set(module, out.defaultLogLevel);
        if (logLevels.Get(module) == -1) logLevels.Set(module, out.defaultLogLevel);
    }
    {
        std::unique_lock<std::shared_mutex> lock(moduleNamesLock);
        moduleNames[out.id] = LowerStem(path);
    }
    plugin.loadInfo = out;
    if (module <= 255) recordsByModule[module] = plugin.stats;
    if (out.wantsWorker != 0) ProvideWorkerThread(plugin);

    std::unique_lock<std::shared_mutex> lock(pluginsLock);
    if (out.id == kFrontPluginId && !plugins.empty())
        plugins.insert(plugins.begin(), std::move(plugin));
    else
        plugins.push_back(std::move(plugin));
}

bool dvrcore::AcceptIdentifier(const std::string& fileName, uint32_t id) {
    bool known;
    {
        std::shared_lock<std::shared_mutex> lock(moduleNamesLock);
        known = moduleNames.count(id) != 0;
    }
    if (!known) return true;
    const LoadRefusal refusal = DuplicateIdentifier(fileName, id);
    CoreLog(refusal.level, "%s", refusal.text.c_str());
    return false;
}

void dvrcore::OpenPlugins() {
    for (PLUGININFO& plugin : plugins) {
        if (plugin.Open == nullptr) continue;
        _OpenParmsIn in = DVR_OPEN_IN_INIT;
        _OpenParmsOut out = DVR_OPEN_OUT_INIT;
        const TimePoint started = now();
        {
            const WatchedCall call(mainSlot, plugin.record, PluginEntry::Open);
            plugin.openCode = plugin.Open(&in, &out);
        }
        plugin.openTimeMs = ElapsedMs(started, now());
    }
    WriteStatusDocument();
}
