// Shared by the configuration tests: the core reads and writes its files by relative name, so
// each test works in a directory of its own; and plugins whose configuration calls are watched.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_core.h"

namespace configkit {

// Makes `directory` the working directory for the object's lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& directory) : previous(open(".", O_RDONLY)) {
        if (previous < 0 || chdir(directory.c_str()) != 0)
            throw std::runtime_error("cannot enter " + directory);
    }
    ~WorkingDirectory() {
        if (fchdir(previous) != 0) ADD_FAILURE() << "cannot return to the previous directory";
        close(previous);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    const int previous;
};

// A temporary core directory with its plugin directories and a working directory "work"
// that is the process's working directory while the object lives.
struct CoreDirectory {
    testkit::TempDir dir;
    std::string work = MakeWork(dir);
    WorkingDirectory inWork{work};

    static std::string MakeWork(const testkit::TempDir& dir) {
        const std::string work = dir / "work";
        mkdir(work.c_str(), 0755);
        return work;
    }
    std::string File(const std::string& name) const { return work + "/" + name; }
};

// Installs a test plugin and keeps it mapped, so that the texts it receives through IOCTL code
// 2 (update configuration) are collected from the moment the core loads it.
class ConfigurationTap {
public:
    ConfigurationTap(const testkit::TempDir& dir, const std::string& plugin) {
        testkit::InstallPlugin(dir, plugin);
        handle = dlopen((dir / ("plugins/" + plugin + ".so")).c_str(), RTLD_NOW);
        auto set = handle != nullptr ? reinterpret_cast<TestPluginSetHooks>(
                                           dlsym(handle, "TestPlugin_SetHooks"))
                                     : nullptr;
        if (set == nullptr) throw std::runtime_error("cannot map " + plugin);
        TestPluginHooks hooks{};
        hooks.context = this;
        hooks.ioctl = &ConfigurationTap::OnIoctl;
        set(&hooks);
    }
    ~ConfigurationTap() {
        reinterpret_cast<TestPluginSetHooks>(dlsym(handle, "TestPlugin_SetHooks"))(nullptr);
        dlclose(handle);
    }
    ConfigurationTap(const ConfigurationTap&) = delete;
    ConfigurationTap& operator=(const ConfigurationTap&) = delete;

    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    bool Received(const std::string& text) const {
        for (const std::string& received : Texts())
            if (received == text) return true;
        return false;
    }

private:
    static int32_t OnIoctl(void* context, _IoctlParmsIn* in, _IoctlParmsOut*) {
        auto* tap = static_cast<ConfigurationTap*>(context);
        if (in->code == DVR_IOCTL_UPDATE_CONFIG && in->data != nullptr) {
            std::lock_guard<std::mutex> lock(tap->mutex);
            tap->texts.emplace_back(static_cast<const char*>(in->data), in->length);
        }
        return 0;
    }

    void* handle = nullptr;
    mutable std::mutex mutex;
    std::vector<std::string> texts;
};

// The documents waiting in the core's delivery queue, as text.
inline std::vector<std::string> QueuedTexts(testkit::TestCore& core) {
    std::lock_guard<std::mutex> lock(core.deliveryMutex);
    std::vector<std::string> texts;
    for (const _EventParmsIn& event : core.deliveryQueue)
        if (event.classFlags == DVR_CLASS_CONFIG)
            texts.emplace_back(static_cast<const char*>(event.data), event.length);
    return texts;
}

// `levels` elements <a> nested inside each other around `inner`.
inline std::string Nested(int levels, const std::string& inner = "") {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    text += inner;
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}

}  // namespace configkit
