// The real core as the benchmarks run it: in this process, with its lines kept off the console
// but for errors, and a way to wait until its start sequence is done.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>

#include "core/dvrcore.h"

class BenchCore : public dvrcore {
public:
    explicit BenchCore(const std::string& executable) : dvrcore(executable) {}

    // Lines that pass the level gate: none in the measured runs. Errors are shown.
    void WriteLog(uint32_t, uint32_t level, const char* text) override {
        const std::string line = text != nullptr ? text : "";
        if (level >= 50) std::fprintf(stderr, "core: %s\n", line.c_str());
        if (line.rfind("successfully started core version ", 0) == 0) {
            std::lock_guard<std::mutex> lock(startMutex);
            started = true;
            startCondition.notify_all();
        }
    }

    void WaitStarted() {
        std::unique_lock<std::mutex> lock(startMutex);
        if (!startCondition.wait_for(lock, std::chrono::seconds(30), [this] { return started; }))
            throw std::runtime_error("the core did not start");
    }

    size_t PluginCount() const { return plugins.size(); }
    void SetLogLevel(uint32_t module, int32_t level) {
        logLevels.Set(DVR_MODULE_NUMBER(module), level);
    }
    bool Throttled() const { return memoryLow.load(); }
    uint64_t Limit() const { return memoryLimit; }

private:
    std::mutex startMutex;
    std::condition_variable startCondition;
    bool started = false;
};
