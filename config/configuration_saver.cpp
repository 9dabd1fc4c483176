#include "config/configuration_saver.h"

void ConfigurationSaver::Start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (thread.joinable()) return;
    finishing = false;
    thread = std::thread(&ConfigurationSaver::Run, this);
}

void ConfigurationSaver::Submit(const XmlDocument& document, bool broadcast) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!thread.joinable() || finishing) {
        // No thread (or one that is ending): callers take turns here, after any save under
        // way, so that two saves never write the files at once.
        changed.wait(lock, [this] { return !busy; });
        busy = true;
        lock.unlock();
        XmlDocument copy(document);
        save(copy, broadcast);
        lock.lock();
        busy = false;
        changed.notify_all();
        return;
    }
    waiting = std::make_unique<XmlDocument>(document);
    // A replaced document's broadcast is still owed: the one that replaces it carries it.
    waitingBroadcast = waitingBroadcast || broadcast;
    changed.notify_all();
}

void ConfigurationSaver::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return waiting == nullptr && !busy; });
}

void ConfigurationSaver::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!thread.joinable()) return;
        finishing = true;
    }
    changed.notify_all();
    thread.join();
}

void ConfigurationSaver::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return waiting != nullptr || finishing; });
        if (waiting == nullptr) return;
        std::unique_ptr<XmlDocument> document = std::move(waiting);
        const bool broadcast = waitingBroadcast;
        waitingBroadcast = false;
        busy = true;
        lock.unlock();
        save(*document, broadcast);
        lock.lock();
        busy = false;
        changed.notify_all();
    }
}
