// What both benchmarks need besides the core: clocks, the bound on frames or events raised but
// not yet delivered, and the command line's lists.
#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

inline double Seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// At most `bound` raised and not yet delivered: a raiser that reaches it waits until half of them
// are delivered. The same bound holds for every bus of a run.
class Throttle {
public:
    explicit Throttle(int64_t bound) : high(bound), low(bound / 2) {}

    // Raiser side, before each raise.
    void Acquire() {
        if (outstanding.fetch_add(1) < high) return;
        std::unique_lock<std::mutex> lock(mutex);
        waiters.fetch_add(1);
        condition.wait(lock, [this] { return outstanding.load() <= low; });
        waiters.fetch_sub(1);
    }

    // Consumer side, once the last subscriber has it.
    void Release() {
        if (outstanding.fetch_sub(1) - 1 <= low && waiters.load() > 0) {
            std::lock_guard<std::mutex> lock(mutex);
            condition.notify_all();
        }
    }

private:
    const int64_t high;
    const int64_t low;
    std::atomic<int64_t> outstanding{0};
    std::atomic<int> waiters{0};
    std::mutex mutex;
    std::condition_variable condition;
};

// "16,32,64" or "0,1K,64K,1M".
inline std::vector<uint32_t> ParseList(const std::string& text) {
    std::vector<uint32_t> values;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        if (comma > at) {
            const std::string item = text.substr(at, comma - at);
            char* end = nullptr;
            unsigned long value = std::strtoul(item.c_str(), &end, 10);
            if (*end == 'K' || *end == 'k') value <<= 10;
            if (*end == 'M' || *end == 'm') value <<= 20;
            values.push_back(static_cast<uint32_t>(value));
        }
        at = comma + 1;
    }
    return values;
}

inline std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}
