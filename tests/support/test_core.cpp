#include "support/test_core.h"

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>
#include <cstring>
#include <future>

namespace testkit {

TestCore::~TestCore() {
    if (runner.joinable()) Stop();
}

dvrcore::TimePoint TestCore::now() {
    std::lock_guard<std::mutex> lock(mutex);
    return clockSet ? clock : dvrcore::now();
}

std::time_t TestCore::WallClock() {
    std::lock_guard<std::mutex> lock(mutex);
    return wallClock != 0 ? wallClock : dvrcore::WallClock();
}

void TestCore::WriteLog(uint32_t module, uint32_t level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back({module, level, text != nullptr ? text : ""});
}

void TestCore::SetClock(TimePoint time) {
    std::lock_guard<std::mutex> lock(mutex);
    clockSet = true;
    clock = time;
}

void TestCore::SetWallClock(std::time_t seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    wallClock = seconds;
}

std::vector<LogLine> TestCore::Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

std::vector<std::string> TestCore::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines()) texts.push_back(line.text);
    return texts;
}

bool TestCore::Logged(const std::string& text) const { return Has(Texts(), text); }

bool TestCore::LoggedStartingWith(const std::string& prefix) const {
    for (const LogLine& line : Lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

bool TestCore::Written(uint32_t module, uint32_t level, const std::string& text) const {
    for (const LogLine& line : Lines())
        if (line.module == module && line.level == level && line.text == text) return true;
    return false;
}

int TestCore::Count(const std::string& text, uint32_t level) const {
    int count = 0;
    for (const LogLine& line : Lines()) count += line.text == text && line.level == level;
    return count;
}

testkit::Lines TestCore::CoreLines(const std::string& part) const {
    testkit::Lines core;
    for (const LogLine& line : Lines())
        if (line.module == DVR_CORE_ID && line.text.find(part) != std::string::npos)
            core.push_back(std::to_string(line.level) + " " + line.text);
    return core;
}

void TestCore::StartInBackground() {
    // The core reads and writes its documents in the working directory: keep them in the
    // test's own directory.
    const std::string work = executablePath.substr(0, executablePath.rfind('/')) + "/work";
    boost::filesystem::create_directories(work);
    if (previousDir.empty()) previousDir = boost::filesystem::current_path().string();
    boost::filesystem::current_path(work);
    runner = std::thread([this] { Start(); });
    WaitFor([this] { return LoggedStartingWith("successfully started core version "); });
}

void TestCore::Stop() {
    RequestStop();
    runner.join();
    if (!previousDir.empty()) boost::filesystem::current_path(previousDir);
}

std::deque<_EventParmsIn> TestCore::Queued() {
    std::lock_guard<std::mutex> lock(deliveryMutex);
    return deliveryQueue;
}

std::vector<std::string> TestCore::QueuedDocuments(uint32_t classFlags) {
    std::vector<std::string> documents;
    for (const _EventParmsIn& event : Queued())
        if (event.classFlags == classFlags && event.code == DVR_CODE_DOCUMENT)
            documents.emplace_back(static_cast<const char*>(event.data), event.length);
    return documents;
}

std::map<uint32_t, uint32_t> TestCore::Streams() {
    std::lock_guard<std::mutex> lock(streamMutex);
    return streams;
}

std::size_t TestCore::SendQueueSize() {
    std::promise<std::size_t> size;
    boost::asio::post(eventLoop, [&] { size.set_value(sendQueue.size()); });
    return size.get_future().get();
}

bool TestCore::EventLoopRunsDry(std::chrono::seconds limit) {
    eventLoop.restart();
    eventLoop.run_for(limit);
    return eventLoop.stopped();
}

_EventParmsIn Event(uint32_t source, uint32_t classFlags, uint32_t code, const void* data,
                    uint32_t length, uint32_t tag) {
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = 1;
    event.length = length;
    event.data = const_cast<void*>(data);
    event.source = source;
    event.classFlags = classFlags;
    event.code = code;
    event.tag = tag;
    return event;
}

_EventParmsIn LogMessage(uint32_t source, int32_t level, const void* text, uint32_t length) {
    _EventParmsIn event = Event(source, DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE, text, length);
    event.level = level;
    return event;
}

_EventParmsIn LogMessage(uint32_t source, int32_t level, const char* text) {
    const auto length = static_cast<uint32_t>(text != nullptr ? std::strlen(text) + 1 : 0);
    return LogMessage(source, level, text, length);
}

int32_t Raise(_EventParmsIn event, int32_t initial) {
    _EventParmsOut out{sizeof out, 1, initial};
    FlatPluginEvent(&event, &out);
    return out.result;
}

int32_t Release(void* block, uint32_t holder) {
    return Raise(Event(holder, DVR_CMD_RELEASE, 0, block));
}

}  // namespace testkit
