// recorder.cpp - example plugin: records video frames, in C++.
//
// Write runs on the core's main thread, which delivers every event to every plugin in turn:
// a slow Write holds up the whole bus. So Write only queues the frame and answers `pending`;
// the core then keeps the data block alive after Write returns, until we give it back with a
// release event (class exactly 0x200). The recording thread (recording.cpp) stores each frame
// and releases its block.
//
// Copy this file to start a plugin that subscribes to events and works on them off the main
// thread.
#include <memory>

#include <dvrcore/dvrplugin.h>
#include "example_protocol.h"
#include "recording.h"

namespace {

DvrEventEntry raiseEvent;
std::unique_ptr<Recording> recording;  // from Open to Close

// A frame event: class bit 0 with the video code bit 24.
bool IsVideoFrame(const _WriteParmsIn& in) {
    return (in.classFlags & DVR_CLASS_0) != 0 && (in.code & DVR_CODE_VIDEO_FRAME) != 0;
}

}  // namespace

extern "C" int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    raiseEvent = in->eventEntry;
    out->id = EXAMPLE_RECORDER_ID;
    // Video frames: class 0x1 with code 0x1000000, which the class-0 mask covers as 0x2000000.
    out->masks[0] = DVR_SUBSCRIPTION_CODE(DVR_CODE_VIDEO_FRAME);
    out->masks[DVR_MASK_CLOSE_KEY] = 20;  // close key: after the camera (40), before the scribe (10)
    out->wantsWrite = 1;
    out->defaultLogLevel = 20;
    return 0;
}

extern "C" int32_t Open(_OpenParmsIn*, _OpenParmsOut*) {
    // Files are named relative to the working directory, which the supervisor chose.
    recording = std::make_unique<Recording>(raiseEvent, EXAMPLE_RECORDER_ID, "recording.bin",
                                            "recording.idx");
    return recording->Ok() ? 0 : 1;  // reported as OpenCode in plugins.xml
}

extern "C" int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out) {
    if (!IsVideoFrame(*in) || in->data == nullptr || !recording) return 0;
    recording->Queue(Frame{in->data, in->length, in->source, in->keyFrame});
    out->pending = 1;  // the block stays valid until the recording thread releases it
    return 0;
}

// Close comes after the last Write. Every block we still hold must go back to the core now:
// what is held when the core ends is reported as "leaked by plugin".
extern "C" int32_t Close(_CloseParmsIn*, _CloseParmsOut*) {
    recording.reset();  // drains the queue, releases every block, joins the thread
    return 0;
}
