// Shared by the loader, unloader, plugin-thread and interface tests: a core beside a temporary
// copy of the device's plugin layout, run from its "work" directory so that the documents it
// writes stay there, with plugins taken over before the core loads them.
#pragma once

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/plugin_harness.h"

namespace testkit {

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearJournal();
        boost::filesystem::create_directories(dir / "work");
        inWork = std::make_unique<WorkingDirectory>(dir / "work");
        core = MakeCore();
    }

    void TearDown() override {
        gate.OpenAll();
        JoinBackground();
        if (core != nullptr && !core->plugins.empty()) core->UnloadPlugins();
        core.reset();
        taken.clear();
        inWork.reset();
    }

    virtual std::unique_ptr<TestCore> MakeCore() { return std::make_unique<TestCore>(dir); }

    void Install(const std::string& plugin, const std::string& subdir = "plugins",
                 const std::string& fileName = "") {
        InstallPlugin(dir, plugin, subdir, fileName);
    }
    std::string PathOf(const std::string& fileName, const std::string& subdir = "plugins") const {
        return dir / (subdir + "/" + fileName);
    }
    // Installs the plugin with its entry points taken over before the core can load it.
    Plugin& Take(const std::string& plugin, PluginHooks hooks) {
        taken.push_back(std::make_unique<Plugin>(dir, plugin, std::move(hooks)));
        return *taken.back();
    }
    // The same with its reader and worker calls held at the gate under `name`.
    void TakeGated(const std::string& plugin, const std::string& name) {
        Take(plugin, Gated(gate, name));
    }
    // Runs `work` on a thread that TearDown joins after opening every gate.
    void InBackground(std::function<void()> work) { threads.emplace_back(std::move(work)); }
    void JoinBackground() {
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }

    Lines TableNames() const {
        Lines names;
        for (const PLUGININFO& plugin : core->plugins) names.push_back(plugin.fileName);
        return names;
    }
    const PLUGININFO* Find(const std::string& fileName) const {
        for (const PLUGININFO& plugin : core->plugins)
            if (plugin.fileName == fileName) return &plugin;
        return nullptr;
    }

    TempDir dir;
    std::unique_ptr<WorkingDirectory> inWork;
    CallGate gate;  // outlives every plugin call
    std::unique_ptr<TestCore> core;
    std::vector<std::unique_ptr<Plugin>> taken;
    std::vector<std::thread> threads;
};

}  // namespace testkit
