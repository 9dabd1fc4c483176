// The clock watch compares the wall clock's progress with the time that really passed: a tick
// that a busy event loop held back is no clock change, a jump during one still is.
#include <gtest/gtest.h>

#include "support/test_core.h"

namespace {

TEST(ClockWatch, ABlockedEventLoopIsNoClockChangeButAJumpMeanwhileIs) {
    testkit::TempDir dir;
    testkit::TestCore core(dir);
    core.throttling = false;
    const dvrcore::TimePoint start(std::chrono::seconds(5000));
    core.SetWallClock(1000);
    core.SetClock(start);
    core.Tick();
    core.SetWallClock(1003);  // a handler held the loop for three seconds
    core.SetClock(start + std::chrono::seconds(3));
    core.Tick();
    core.SetWallClock(1013);  // four seconds later the clock reads ten more
    core.SetClock(start + std::chrono::seconds(7));
    core.Tick();
    EXPECT_EQ(core.Texts(), (std::vector<std::string>{"system time changed by 6 seconds"}));
}

}  // namespace
