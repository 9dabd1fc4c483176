// The harness's own promises, on plugins that misbehave: a refused plugin fails the start with
// the core's message, and what a plugin never gives back shows in the stop report.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <dvrcore/dvrharness.h>

namespace {

using Harness = std::unique_ptr<DvrHarness, decltype(&dvr_harness_free)>;

TEST(Harness, StartFailsWithTheCoresMessageForARefusedPlugin) {
    const char* plugins[] = {TEST_PLUGIN_DIR "/load_fails.so"};
    testing::internal::CaptureStderr();
    Harness harness(dvr_harness_start(plugins, 1), dvr_harness_free);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(harness);
    EXPECT_NE(said.find("plugin load_fails.so load returned 7 error 0"), std::string::npos) << said;
}

TEST(Harness, ReportsWhatAPluginNeverGaveBack) {
    const char* plugins[] = {SLOPPY_PLUGIN};
    Harness harness(dvr_harness_start(plugins, 1), dvr_harness_free);
    ASSERT_TRUE(harness);
    char data[16] = {};
    const _EventParmsIn event = dvr_harness_event(DVR_CLASS_0, 7, data, sizeof data);
    ASSERT_EQ(dvr_harness_raise(harness.get(), &event), DVR_RESULT_OK);

    DvrHarnessReport report;
    ASSERT_EQ(dvr_harness_stop(harness.get(), &report), DVR_HARNESS_OK);
    EXPECT_EQ(report.blocksKept, 1u);
    EXPECT_EQ(report.unknownReleases, 1u);
    EXPECT_EQ(report.threadsRunning, 1u);
    EXPECT_EQ(dvr_harness_raise(harness.get(), &event), DVR_RESULT_REFUSED);
}

}  // namespace
