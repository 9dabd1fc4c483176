#include "recording.h"

#include <cinttypes>
#include <cstring>

#include "example_frame.h"

Recording::Recording(DvrEventEntry raiseEvent, uint32_t id, const std::string& dataPath,
                     const std::string& indexPath)
    : raiseEvent_(raiseEvent),
      id_(id),
      data_(std::fopen(dataPath.c_str(), "wb")),
      index_(std::fopen(indexPath.c_str(), "w")) {
    // Line-buffered, so the index can be followed with tail -f while the demo runs.
    if (index_ != nullptr) std::setvbuf(index_, nullptr, _IOLBF, 0);
    thread_ = std::thread(&Recording::Run, this);
}

Recording::~Recording() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (data_ != nullptr) std::fclose(data_);
    if (index_ != nullptr) std::fclose(index_);
}

void Recording::Queue(const Frame& frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(frame);
    }
    wake_.notify_one();
}

// Runs until stopped and the queue is empty, so no block is left held.
void Recording::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) break;
        const Frame frame = queue_.front();
        queue_.pop_front();
        lock.unlock();  // no lock while writing: Write must never wait for the disk
        Store(frame);
        Release(frame.block);
        lock.lock();
    }
    lock.unlock();
    char text[128];
    std::snprintf(text, sizeof text, "recording ended after %u frames", stored_);
    Log(25, text);
}

// Appends the frame to the data file and one line to the index:
// sequence, K (key frame) or D, offset and length in the data file, source module.
void Recording::Store(const Frame& frame) {
    if (!Ok()) return;
    ExampleFrameHeader header{};
    if (frame.length >= sizeof header) std::memcpy(&header, frame.block, sizeof header);
    const uint32_t sequence = header.magic == EXAMPLE_FRAME_MAGIC ? header.sequence : 0;
    std::fwrite(frame.block, 1, frame.length, data_);
    std::fprintf(index_, "%u %c %" PRIu64 " %u 0x%08X\n", sequence, frame.keyFrame == 1 ? 'K' : 'D',
                 offset_, frame.length, frame.source);
    offset_ += frame.length;
    ++stored_;
    if (frame.keyFrame == 1) ++keyFrames_;
    if (stored_ % 50 == 0) {
        char text[128];
        std::snprintf(text, sizeof text, "recorded %u frames, %u key frames, %" PRIu64 " bytes",
                      stored_, keyFrames_, offset_);
        Log(20, text);
    }
}

// Gives a kept block back: the last holder's release frees it.
void Recording::Release(void* block) {
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.data = block;  // the address exactly as Write received it
    in.source = id_;  // who releases: our hold, not another plugin's
    in.classFlags = DVR_CMD_RELEASE;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    raiseEvent_(&in, &out);
}

void Recording::Log(int32_t level, const char* text) {
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.length = static_cast<uint32_t>(std::strlen(text) + 1);
    in.data = const_cast<char*>(text);  // the core copies it
    in.source = id_;
    in.classFlags = DVR_CLASS_LOG;
    in.code = DVR_CODE_LOG_MESSAGE;
    in.level = level;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    raiseEvent_(&in, &out);
}
