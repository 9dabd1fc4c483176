#include "sdk/harness/records.h"

namespace {

constexpr auto kAny = [](const auto&) { return true; };

}  // namespace

void Records::AddEvent(const _EventParmsIn& event, int32_t result, std::string data) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back({{event, result}, std::move(data)});
        EventEntry& entry = events.back();
        if (event.classFlags != DVR_CMD_RELEASE)
            entry.record.event.data = event.data != nullptr ? entry.data.data() : nullptr;
    }
    added.notify_all();
}

void Records::AddLog(uint32_t source, int32_t level, const char* text) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({{source, level, nullptr}, text});
        lines.back().record.text = lines.back().text.c_str();
    }
    added.notify_all();
}

void Records::AddMessage(std::string bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({{nullptr, static_cast<uint32_t>(bytes.size())}, std::move(bytes)});
        messages.back().record.data = messages.back().bytes.data();
    }
    added.notify_all();
}

void Records::Complete() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        complete = true;
    }
    added.notify_all();
}

template <typename Entry, typename Match>
auto Records::First(const std::deque<Entry>& entries, size_t from, Match match,
                    Deadline deadline) -> const decltype(Entry::record)* {
    std::unique_lock<std::mutex> lock(mutex);
    for (size_t i = from;; ++i) {
        added.wait_until(lock, deadline, [&] { return complete || entries.size() > i; });
        if (entries.size() <= i) return nullptr;
        if (match(entries[i])) return &entries[i].record;
    }
}

const DvrHarnessEvent* Records::Event(size_t index, Deadline deadline) {
    return First(events, index, kAny, deadline);
}

const DvrHarnessLogLine* Records::Log(size_t index, Deadline deadline) {
    return First(lines, index, kAny, deadline);
}

const DvrHarnessLogLine* Records::FindLog(const std::string& text, Deadline deadline) {
    return First(
        lines, 0, [&](const LogEntry& entry) { return entry.text.find(text) != std::string::npos; },
        deadline);
}

const DvrHarnessMessage* Records::Message(size_t index, Deadline deadline) {
    return First(messages, index, kAny, deadline);
}

const DvrHarnessMessage* Records::FindMessage(const std::string& text, Deadline deadline) {
    return First(
        messages, 0,
        [&](const MessageEntry& entry) { return entry.bytes.find(text) != std::string::npos; },
        deadline);
}

uint32_t Records::RefusedReleases() const {
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t refused = 0;
    for (const EventEntry& entry : events)
        if (entry.record.event.classFlags == DVR_CMD_RELEASE &&
            entry.record.result == DVR_RESULT_REFUSED)
            ++refused;
    return refused;
}

std::vector<std::string> Records::CoreLines(int32_t level) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const LogEntry& entry : lines)
        if (entry.record.source == DVR_CORE_ID && entry.record.level >= level)
            texts.push_back(entry.text);
    return texts;
}
