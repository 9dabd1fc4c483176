#include "core/dvrcore.h"

namespace {
// A stream may run this many frames past its key frame before it must start again.
constexpr uint32_t kMaxFramesAfterKey = 766;
}  // namespace

bool dvrcore::AdmitVideoFrame(uint32_t source, uint8_t keyFrame, int32_t* result) {
    std::lock_guard<std::mutex> lock(streamMutex);
    auto it = streams.find(source);
    if (keyFrame == 1) {
        if (it == streams.end()) it = streams.emplace(source, 0).first;
        it->second = 0;
    } else if (it == streams.end()) {
        *result = DVR_RESULT_STREAM_NOT_STARTED;
        return false;
    } else if (it->second >= kMaxFramesAfterKey) {
        streams.erase(it);
        *result = DVR_RESULT_STREAM_TOO_LONG;
        return false;
    } else {
        ++it->second;
    }
    if (memoryLow) {
        streams.erase(it);
        *result = DVR_RESULT_THROTTLED;
        return false;
    }
    return true;
}
