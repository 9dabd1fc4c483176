// admin_test.cpp - the supervisor asks the admin plugin to change the camera's log level: the
// admin raises a delta document, the core applies it and sends the new core.xml, and the admin
// tells the supervisor that the level took effect.
#include <gtest/gtest.h>

#include <memory>

#include <dvrcore/dvrharness.h>
#include "example_protocol.h"

namespace {

using Harness = std::unique_ptr<DvrHarness, decltype(&dvr_harness_free)>;

TEST(Admin, ChangesALogLevelForTheSupervisor) {
    // The camera is there for its name and level in core.xml.
    const char* plugins[] = {ADMIN_PLUGIN, CAMERA_PLUGIN};
    Harness harness(dvr_harness_start(plugins, 2), dvr_harness_free);
    ASSERT_TRUE(harness);
    ASSERT_EQ(dvr_harness_log_level(harness.get(), EXAMPLE_CAMERA_ID), 10);

    const char request[] = "camera 50";
    ASSERT_EQ(dvr_harness_send_packet(harness.get(), EXAMPLE_ADMIN_ID, EXAMPLE_PACKET_SET_LEVEL,
                                      request, sizeof request - 1),
              DVR_HARNESS_OK);
    EXPECT_NE(dvr_harness_find_message(harness.get(), "admin: log level of camera is now 50"),
              nullptr);
    EXPECT_EQ(dvr_harness_log_level(harness.get(), EXAMPLE_CAMERA_ID), 50);
}

}  // namespace
