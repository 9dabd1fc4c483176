// recorder_test.cpp - the recorder keeps each frame past Write and gives every block back from
// its own thread: after the stop, the harness finds one accepted release per frame and nothing
// kept, and the index lists the frames.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include <dvrcore/dvrharness.h>
#include "example_frame.h"
#include "example_protocol.h"

namespace {

using Harness = std::unique_ptr<DvrHarness, decltype(&dvr_harness_free)>;

// A frame from the camera's stream, as the recorder would get it.
int32_t RaiseFrame(DvrHarness* harness, uint32_t sequence, bool keyFrame) {
    ExampleFrameHeader frame{};
    frame.magic = EXAMPLE_FRAME_MAGIC;
    frame.sequence = sequence;
    _EventParmsIn in = dvr_harness_event(DVR_CLASS_0, DVR_CODE_VIDEO_FRAME, &frame, sizeof frame);
    in.source = EXAMPLE_CAMERA_ID;
    in.keyFrame = keyFrame ? 1 : 0;
    return dvr_harness_raise(harness, &in);
}

TEST(Recorder, ReleasesEveryFrameItKept) {
    const char* plugins[] = {RECORDER_PLUGIN};
    Harness harness(dvr_harness_start(plugins, 1), dvr_harness_free);
    ASSERT_TRUE(harness);
    ASSERT_EQ(RaiseFrame(harness.get(), 0, true), DVR_RESULT_OK);  // a stream starts at a key
    ASSERT_EQ(RaiseFrame(harness.get(), 1, false), DVR_RESULT_OK);
    ASSERT_EQ(RaiseFrame(harness.get(), 2, false), DVR_RESULT_OK);

    DvrHarnessReport report;
    ASSERT_EQ(dvr_harness_stop(harness.get(), &report), DVR_HARNESS_OK);
    int releases = 0;
    for (size_t i = 0; const DvrHarnessEvent* raised = dvr_harness_raised(harness.get(), i); ++i) {
        if (raised->event.classFlags != DVR_CMD_RELEASE) continue;
        EXPECT_EQ(raised->result, DVR_RESULT_OK);
        ++releases;
    }
    EXPECT_EQ(releases, 3);
    EXPECT_EQ(report.blocksKept, 0u);
    EXPECT_EQ(report.unknownReleases, 0u);

    std::ifstream index(std::string(dvr_harness_directory(harness.get())) + "/recording.idx");
    std::string first;
    ASSERT_TRUE(std::getline(index, first));
    EXPECT_EQ(first.rfind("0 K 0 ", 0), 0u) << first;
}

}  // namespace
