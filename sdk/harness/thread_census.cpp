#include "sdk/harness/thread_census.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <thread>

std::set<pid_t> ThreadIds() {
    std::set<pid_t> ids;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator it("/proc/self/task", error), end; it != end;
         it.increment(error))
        ids.insert(static_cast<pid_t>(std::atoi(it->path().filename().c_str())));
    return ids;
}

uint32_t ThreadsSince(const std::set<pid_t>& before, std::chrono::milliseconds grace) {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        uint32_t added = 0;
        for (pid_t id : ThreadIds()) added += before.count(id) == 0 ? 1 : 0;
        if (added == 0 || std::chrono::steady_clock::now() >= deadline) return added;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
