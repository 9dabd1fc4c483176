// The child's side of a probe. It has a core object of its own, so that what the plugin raises
// meets the core's real dispatch (its log lines pass the real level gate), and it takes the
// loader's steps in the loader's order.
#include <dlfcn.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>
#include <cstdio>
#include <memory>

#include "core/dvrcore.h"
#include "plugins/load_verdict.h"
#include "sdk/inspect/declaration.h"
#include "sdk/inspect/probe.h"

namespace {

void Publish(Probe& probe, Stage stage) {
    probe.stage.store(static_cast<uint32_t>(stage), std::memory_order_release);
}

// The loader's lookup, and which of the entry points the library exports.
uint32_t ResolveExports(PLUGININFO& plugin) {
    ResolveEntries(plugin);
    uint32_t exports = 0;
    for (int i = 0; i < kExportCount; ++i)
        if (dlsym(plugin.library, kExportNames[i]) != nullptr) exports |= 1u << i;
    return exports;
}

// Its log lines go to standard error, apart from the report on standard output.
class InspectorCore : public dvrcore {
public:
    InspectorCore() : dvrcore("dvrcore-inspect") {}

    void WriteLog(uint32_t module, uint32_t level, const char* text) override {
        if (text != nullptr) std::fprintf(stderr, "log %08X %3u: %s\n", module, level, text);
    }

    void Inspect(const std::string& path, bool run, Probe& probe) {
        PLUGININFO plugin;
        plugin.fileName = boost::filesystem::path(path).filename().string();
        plugin.library = dlopen(path.c_str(), RTLD_NOW);
        if (plugin.library == nullptr) {
            const char* reason = dlerror();
            std::snprintf(probe.reason, sizeof probe.reason, "%s", reason != nullptr ? reason : "");
            return Publish(probe, Stage::Unmapped);
        }
        probe.exports = ResolveExports(plugin);
        if (plugin.Load == nullptr) return Publish(probe, Stage::NoLoad);
        Publish(probe, Stage::Loading);
        _LoadParmsIn in = DVR_LOAD_IN_INIT;
        in.core = this;
        in.eventEntry = FlatPluginEvent;
        _LoadParmsOut out = DVR_LOAD_OUT_INIT;
        probe.loadResult = plugin.Load(&in, &out);
        probe.declared = out;
        Publish(probe, Stage::Loaded);
        // The core calls nothing more of a plugin it refuses.
        if (run && !JudgeLoad(plugin.fileName, probe.loadResult, out).refused()) {
            plugin.loadInfo = out;
            Live(std::move(plugin), probe);
        }
    }

private:
    // The rest of the plugin's life, without events to deliver.
    void Live(PLUGININFO plugin, Probe& probe) {
        const _LoadParmsOut& out = plugin.loadInfo;
        if (IsValidLevel(out.defaultLogLevel) && out.defaultLogLevel != 0)
            logLevels.Set(DVR_MODULE_NUMBER(out.id), out.defaultLogLevel);
        if (out.wantsWorker != 0) ProvideWorkerThread(plugin);
        {
            std::unique_lock<std::shared_mutex> lock(pluginsLock);
            plugins.push_back(std::move(plugin));
        }
        Publish(probe, Stage::Opening);
        if (plugins.front().Open != nullptr) {
            _OpenParmsIn in = DVR_OPEN_IN_INIT;
            _OpenParmsOut openOut = DVR_OPEN_OUT_INIT;
            probe.openResult = plugins.front().Open(&in, &openOut);
        }
        Publish(probe, Stage::Opened);
        StartReaderThreads();
        Publish(probe, Stage::Closing);
        ClosePlugins();
        Publish(probe, Stage::Unloading);
        UnloadPlugins();
        Publish(probe, Stage::Done);
    }
};

}  // namespace

void RunProbeChild(const std::string& path, bool run, Probe& probe) {
    // Never destroyed: what the plugin may still run in its own threads must not meet a core
    // on its way out, and the findings are in shared memory already.
    auto* core = new InspectorCore;
    core->Inspect(path, run, probe);
    std::fflush(nullptr);
    _exit(0);
}
