// The supervisor's identity, from its type 7 packet: stored by the event-loop thread, awaited by
// the main thread before plugins open, written into plugins.xml.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

class SupervisorIdentity {
public:
    struct Names {
        std::string fileName;
        std::string version;  // empty when the packet named no version
    };

    // The strings of the packet's payload: the file name, then the version if there is one.
    void Store(const std::string& fileName, const std::string* version);
    // Ends the start-up wait early, now or when it begins: the core is stopping.
    void Interrupt();
    // Waits at most `limit` for the identity; one stored before the wait began counts.
    void WaitIdentified(std::chrono::steady_clock::duration limit);
    Names Get() const;
    bool Identified() const;

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    Names names;
    bool identified = false;
    bool interrupted = false;
};
