// The thread that puts core.xml on storage. A sync can take seconds on a card busy with video;
// on the event-loop thread that would hold every supervisor packet, message and tick meanwhile.
// Saves run in the order submitted; a document waiting behind a save under way is replaced by
// a newer one (the latest levels win). Before Start and after Finish, a save runs on the caller.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "config/xml_layer.h"

class ConfigurationSaver {
public:
    // save(document, broadcast): writes the document; broadcast asks to hand it to plugins.
    using Save = std::function<void(XmlDocument&, bool)>;

    explicit ConfigurationSaver(Save save) : save(std::move(save)) {}
    ~ConfigurationSaver() { Finish(); }
    ConfigurationSaver(const ConfigurationSaver&) = delete;
    ConfigurationSaver& operator=(const ConfigurationSaver&) = delete;

    void Start();
    void Submit(const XmlDocument& document, bool broadcast);
    // Returns once nothing waits and nothing is under way.
    void WaitIdle();
    // Lets the waiting save and the one under way finish, then ends the thread.
    void Finish();

private:
    void Run();

    Save save;
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<XmlDocument> waiting;
    bool waitingBroadcast = false;
    bool busy = false;
    bool finishing = false;
    std::thread thread;
};
