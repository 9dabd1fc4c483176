#include <dlfcn.h>

#include <algorithm>

#include "core/dvrcore.h"
#include "log/core_log.h"

namespace {
// This plugin's library stays mapped until the process ends.
constexpr uint32_t kResidentPluginId = 0x00470000;
}  // namespace

void dvrcore::ClosePlugins() {
    if (plugins.empty()) return;
    {
        std::unique_lock<std::shared_mutex> lock(pluginsLock);
        std::sort(plugins.begin(), plugins.end(), [](const PLUGININFO& a, const PLUGININFO& b) {
            return a.closeKey() > b.closeKey();
        });
    }
    for (PLUGININFO& plugin : plugins) {
        StopRoutingTo(plugin);
        if (plugin.Close == nullptr) continue;
        _CloseParmsIn in = DVR_CLOSE_IN_INIT;
        _CloseParmsOut out = DVR_CLOSE_OUT_INIT;
        int32_t result;
        {
            const WatchedCall call(mainSlot, plugin.record, PluginEntry::Close);
            result = plugin.Close(&in, &out);
        }
        if (result != 0 || out.error != 0)
            CoreLog(0, "plugin %s close returned %d error %d", plugin.fileName.c_str(), result,
                    out.error);
    }
}

void dvrcore::UnloadPlugins() {
    for (PLUGININFO& plugin : plugins) {
        if (plugin.readerThread.joinable()) plugin.readerThread.join();
        if (plugin.workerThread.joinable()) plugin.workerThread.join();
        // Request threads are detached; none may still run the plugin's code past this.
        requests.Retire(plugin.id());
        if (plugin.Unload != nullptr) {
            _UnloadParmsIn in = DVR_UNLOAD_IN_INIT;
            _UnloadParmsOut out = DVR_UNLOAD_OUT_INIT;
            int32_t result;
            {
                const WatchedCall call(mainSlot, plugin.record, PluginEntry::Unload);
                result = plugin.Unload(&in, &out);
            }
            if (result != 0 || out.error != 0)
                CoreLog(0, "plugin %s unload returned %d error %d", plugin.fileName.c_str(),
                        result, out.error);
        }
        if (plugin.id() == kResidentPluginId) continue;
        ForgetMapping(plugin.record);
        dlclose(plugin.library);
    }
    std::unique_lock<std::shared_mutex> lock(pluginsLock);
    plugins.clear();
}
