// recording.h - the recorder's own thread: stores queued frames and gives their blocks back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <dvrcore/dvrplugin.h>

// A frame as Write saw it. `block` is the core's data block, kept with `pending`.
struct Frame {
    void* block;
    uint32_t length;
    uint32_t source;
    uint8_t keyFrame;
};

class Recording {
public:
    // Opens both files and starts the thread.
    Recording(DvrEventEntry raiseEvent, uint32_t id, const std::string& dataPath,
              const std::string& indexPath);
    // Stores what is still queued, releases it, and joins the thread.
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    bool Ok() const { return data_ != nullptr && index_ != nullptr; }
    // Called from Write on the main thread.
    void Queue(const Frame& frame);

private:
    void Run();
    void Store(const Frame& frame);
    void Release(void* block);
    void Log(int32_t level, const char* text);

    DvrEventEntry raiseEvent_;
    uint32_t id_;
    std::FILE* data_;
    std::FILE* index_;
    uint64_t offset_ = 0;
    uint32_t stored_ = 0;
    uint32_t keyFrames_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Frame> queue_;
    bool stopping_ = false;
    std::thread thread_;
};
