// The scheduler's clock watch and the memory throttling hysteresis, driven tick by tick with a
// test clock, a test wall clock and a chosen resident size.
#include <sys/wait.h>

#include <csignal>

#include "housekeeping/resident_memory.h"
#include "support/test_core.h"

namespace testkit {
namespace {

using TimePoint = dvrcore::TimePoint;

constexpr uint64_t kLimit = 199229440;

class SchedulerCore : public TestCore {
public:
    using TestCore::TestCore;
    uint64_t ResidentBytes() override {
        ++readings;
        return resident.load();
    }
    std::atomic<uint64_t> resident{0};
    std::atomic<int> readings{0};

    // The status documents queued so far (nothing delivers them: the core is not started).
    std::vector<std::string> StatusDocuments() { return QueuedDocuments(DVR_CLASS_STATUS); }
    int Count(const std::string& text) { return TestCore::Count(text, 50); }
};

std::string Status(int throttling, long time) {
    return "<?xml ?><Norv><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
           "\" Time=\"" + std::to_string(time) + "\" /></Norv>";
}

const char kLow[] = "available system memory is low, throttling video";
const char kOk[] = "available system memory ok, not throttling video";

class Scheduler : public ::testing::Test {
protected:
    void SetUp() override {
        core.SetWallClock(1000);
        core.SetClock(TimePoint(std::chrono::seconds(5000)));
    }
    void At(long seconds) { core.SetClock(TimePoint(std::chrono::seconds(seconds))); }
    // A memory reading at `seconds` on the test clock.
    void ReadingAt(long seconds, bool low) {
        At(seconds);
        core.SetMemoryLow(low);
    }
    TempDir dir;
    SchedulerCore core{dir};
};

TEST_F(Scheduler, ThrottlingStartsAtOnceAndEndsSixtySecondsAfterTheLatestHighReading) {
    ReadingAt(100, true);
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_TRUE(core.memoryLow);
    ReadingAt(130, true);  // repeated high readings are silent but restart the hold-off
    ReadingAt(160, false);
    EXPECT_FALSE(core.memoryLow);
    ReadingAt(189, false);  // 59 s after the latest high reading: still throttling
    EXPECT_EQ(core.Count(kOk), 0);
    ReadingAt(190, false);
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.Count(kOk), 1);
    ReadingAt(300, false);
    EXPECT_EQ(core.Count(kOk), 1);
    EXPECT_EQ(core.StatusDocuments(), (std::vector<std::string>{Status(1, 1000), Status(0, 1000)}));
}

TEST_F(Scheduler, FirstTickAnnouncesTheStateAndReadsMemoryOncePerSecond) {
    core.resident = kLimit;  // exactly the limit is not low
    core.Tick();
    EXPECT_EQ(core.memoryLimit, kLimit);
    EXPECT_EQ(core.readings, 1);
    EXPECT_EQ(core.StatusDocuments(), (std::vector<std::string>{Status(0, 1000)}));
    core.Tick();
    core.Tick();
    EXPECT_EQ(core.readings, 1);  // same wall-clock second
    core.SetWallClock(1001);
    core.resident = kLimit + 1;
    core.Tick();
    EXPECT_EQ(core.readings, 2);
    EXPECT_TRUE(core.memoryLow);
    EXPECT_EQ(core.StatusDocuments(), (std::vector<std::string>{Status(0, 1000), Status(1, 1001)}));
}

TEST_F(Scheduler, ThrottlingOffMeansNoReadingAndNoBroadcast) {
    core.throttling = false;
    core.resident = 4 * kLimit;
    for (long second = 1000; second < 1005; ++second) {
        core.SetWallClock(second);
        core.Tick();
    }
    EXPECT_EQ(core.readings, 0);
    EXPECT_TRUE(core.StatusDocuments().empty());
    EXPECT_FALSE(core.memoryLow);
}

TEST_F(Scheduler, ClockJumpsOfTwoSecondsOrMoreAreReported) {
    core.throttling = false;
    for (std::time_t wall : {1000, 1001, 4601, 1001, 1000, 998}) {
        core.SetWallClock(wall);
        core.Tick();
    }
    EXPECT_EQ(core.Texts(), (std::vector<std::string>{"system time changed by 3600 seconds",
                                                      "system time changed by -3600 seconds",
                                                      "system time changed by -2 seconds"}));
}

// The clock watch compares the wall clock's progress with the time that really passed: a tick
// that a busy event loop held back is no clock change, a jump during one still is.
TEST_F(Scheduler, ABlockedEventLoopIsNoClockChangeButAJumpMeanwhileIs) {
    core.throttling = false;
    core.Tick();
    core.SetWallClock(1003);  // a handler held the loop for three seconds
    At(5003);
    core.Tick();
    core.SetWallClock(1013);  // four seconds later the clock reads ten more
    At(5007);
    core.Tick();
    EXPECT_EQ(core.Texts(), (std::vector<std::string>{"system time changed by 6 seconds"}));
}

TEST_F(Scheduler, NoTickAfterTheStopSequenceCancelsTheTimer) {
    InstallPlugin(dir, "status_watcher");
    core.StartInBackground();
    ASSERT_TRUE(WaitFor([&] { return core.readings.load() >= 1; }));
    core.Stop();
    const int readings = core.readings;
    // A tick that still ran would read the memory again: its wall-clock second is new.
    core.SetWallClock(1001);
    // A cancelled timer leaves the loop without work at once; a live one keeps re-arming.
    EXPECT_TRUE(core.EventLoopRunsDry(std::chrono::seconds(10)));
    EXPECT_EQ(core.readings, readings);
}

// The real executable: a plugin grows the core past its memory limit; video is refused as
// throttled and the status document announces it.

TEST(MemoryThrottling, VideoIsRefusedWhileTheCoreIsOverItsLimit) {
    if (UnderEmulation())
        GTEST_SKIP() << "the emulator's own resident size is read, not the core's";
    TempDir dir;
    const std::string core = InstallCore(dir);
    InstallPlugin(dir, "memory_hog");
    ClearJournal();
    Child child = Spawn(core, {}, dir / "work");
    ASSERT_TRUE(WaitFor([] { return Journaled("memory_hog frame 5"); }, std::chrono::seconds(60)))
        << ::testing::PrintToString(JournalLines());
    ASSERT_TRUE(WaitFor([] { return Journaled("memory_hog throttling 1"); }));
    SendStopSignal(child, SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.output;
    EXPECT_TRUE(Journaled("memory_hog frame 0"));       // admitted before the core grew
    EXPECT_TRUE(Journaled("memory_hog throttling 0"));  // the first tick's announcement
    EXPECT_NE(child.output.find("available system memory is low, throttling video"),
              std::string::npos)
        << child.output;
}

}  // namespace
}  // namespace testkit
