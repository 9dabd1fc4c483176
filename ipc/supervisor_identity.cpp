#include "ipc/supervisor_identity.h"

void SupervisorIdentity::Store(const std::string& fileName, const std::string* version) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        names.fileName = fileName;
        if (version != nullptr) names.version = *version;
        identified = true;
    }
    changed.notify_all();
}

void SupervisorIdentity::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        interrupted = true;
    }
    changed.notify_all();
}

void SupervisorIdentity::WaitIdentified(std::chrono::steady_clock::duration limit) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, limit, [this] { return identified || interrupted; });
}

SupervisorIdentity::Names SupervisorIdentity::Get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return names;
}

bool SupervisorIdentity::Identified() const {
    std::lock_guard<std::mutex> lock(mutex);
    return identified;
}
