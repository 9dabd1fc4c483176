// What the hosted plugins raised, what the level gate wrote and what the supervisor received,
// each in order, with waits for more that end at a deadline. Written from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dvrcore/dvrharness.h"

class Records {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // `data` is the harness's copy of the event's data.
    void AddEvent(const _EventParmsIn& event, int32_t result, std::string data);
    void AddLog(uint32_t source, int32_t level, const char* text);
    void AddMessage(std::string bytes);
    // Nothing more will come: waits end at once from now on.
    void Complete();

    const DvrHarnessEvent* Event(size_t index, Deadline deadline);
    const DvrHarnessLogLine* Log(size_t index, Deadline deadline);
    const DvrHarnessLogLine* FindLog(const std::string& text, Deadline deadline);
    const DvrHarnessMessage* Message(size_t index, Deadline deadline);
    const DvrHarnessMessage* FindMessage(const std::string& text, Deadline deadline);

    // Releases the core answered with DVR_RESULT_REFUSED: blocks it did not know.
    uint32_t RefusedReleases() const;
    // The core's own lines from `level` up: its reasons for refusing a plugin, say.
    std::vector<std::string> CoreLines(int32_t level) const;

private:
    // Each record points into the storage beside it; deques never move what they hold.
    struct EventEntry {
        DvrHarnessEvent record;
        std::string data;
    };
    struct LogEntry {
        DvrHarnessLogLine record;
        std::string text;
    };
    struct MessageEntry {
        DvrHarnessMessage record;
        std::string bytes;
    };

    // The first entry from `from` on that `match` accepts, waiting for new ones until the
    // deadline or completion.
    template <typename Entry, typename Match>
    auto First(const std::deque<Entry>& entries, size_t from, Match match, Deadline deadline)
        -> const decltype(Entry::record)*;

    mutable std::mutex mutex;
    std::condition_variable added;
    std::deque<EventEntry> events;
    std::deque<LogEntry> lines;
    std::deque<MessageEntry> messages;
    bool complete = false;
};
