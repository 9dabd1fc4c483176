// The event dispatch on the raiser's side, with the delivery loop not running: what each kind of
// event answers and what it leaves in the delivery queue.
#include <cstdlib>
#include <cstring>

#include "support/test_core.h"

namespace testkit {
namespace {

constexpr uint32_t kSource = 0x00300000;
constexpr uint32_t kOther = 0x00300001;  // same module number, another stream

_EventParmsIn Frame(uint32_t source, uint8_t keyFrame) {
    _EventParmsIn frame = Event(source, DVR_CLASS_0, DVR_CODE_VIDEO_FRAME);
    frame.keyFrame = keyFrame;
    return frame;
}

using Dispatch = CoreTest;

TEST_F(Dispatch, VideoStreamRunsFromKeyFrameForAtMost766Frames) {
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    for (int frame = 1; frame <= 766; ++frame)
        ASSERT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK) << "frame " << frame;
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_TOO_LONG);
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK);
    // Only admitted frames were queued: the key frame, 766 followers, the key frame, one more.
    EXPECT_EQ(core.Queued().size(), 769u);
}

TEST_F(Dispatch, KeyFrameRestartsTheCount) {
    ASSERT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    for (int frame = 0; frame < 700; ++frame) ASSERT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK);
    ASSERT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    for (int frame = 0; frame < 766; ++frame) ASSERT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_TOO_LONG);
}

TEST_F(Dispatch, MemoryLowRefusesEveryStreamUntilAKeyFrameAfterItClears) {
    ASSERT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    core.memoryLow = true;
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_THROTTLED);  // drops the running stream
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_THROTTLED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_THROTTLED);
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_TRUE(core.Streams().empty());
    core.memoryLow = false;
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK);
    EXPECT_EQ(core.Queued().size(), 3u);
}

TEST_F(Dispatch, StreamsAreKeptPerIdentifierAndOnlyVideoFramesAreAdmitted) {
    ASSERT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Frame(kOther, 0)), DVR_RESULT_STREAM_NOT_STARTED);
    EXPECT_EQ(Raise(Frame(kOther, 2)), DVR_RESULT_STREAM_NOT_STARTED);  // only 1 is a key frame
    EXPECT_EQ(Raise(Frame(kSource, 0)), DVR_RESULT_OK);
    // Code bit 24 without class bit 0, and class bit 0 without code bit 24, are not frames.
    EXPECT_EQ(Raise(Event(kOther, DVR_CLASS_1, DVR_CODE_VIDEO_FRAME)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Event(kOther, DVR_CLASS_0, 0x00FFFFFF)), DVR_RESULT_OK);
    const auto streams = core.Streams();
    EXPECT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams.count(kSource), 1u);
}

TEST_F(Dispatch, QueuedEventCarriesAPrivateCopyAndLeavesTheInputAlone) {
    char* buffer = static_cast<char*>(std::malloc(5));
    std::memcpy(buffer, "hello", 5);
    _EventParmsIn in = Event(kSource, DVR_CLASS_1 | DVR_CLASS_7, 0x1234, buffer, 5, 0);
    std::memset(in.reserved32, 0xA5, sizeof in.reserved32);
    std::memset(in.reserved51, 0x5A, sizeof in.reserved51);
    in.level = 42;
    const _EventParmsIn before = in;
    _EventParmsOut out{sizeof out, 1, 99};
    EXPECT_EQ(FlatPluginEvent(&in, &out), 0);
    EXPECT_EQ(out.result, DVR_RESULT_OK);
    EXPECT_EQ(std::memcmp(&in, &before, sizeof in), 0);
    const auto raised = reinterpret_cast<uintptr_t>(buffer);
    std::free(buffer);  // the raiser's buffer stays the raiser's

    const auto queued = core.Queued();
    ASSERT_EQ(queued.size(), 1u);
    const _EventParmsIn& copy = queued.front();
    EXPECT_NE(reinterpret_cast<uintptr_t>(copy.data), raised);
    EXPECT_EQ(Bytes(copy.data, copy.length), "hello");
    EXPECT_EQ(
        std::memcmp(&copy.source, &before.source, sizeof before - offsetof(_EventParmsIn, source)),
        0);
}

TEST_F(Dispatch, EventsWithoutUsableDataAreQueuedWithoutData) {
    char text[] = "ignored";
    EXPECT_EQ(Raise(Event(kSource, DVR_CLASS_1, 1, nullptr, 5)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Event(kSource, DVR_CLASS_1, 2, text, 0)), DVR_RESULT_OK);
    const auto queued = core.Queued();
    ASSERT_EQ(queued.size(), 2u);
    for (const _EventParmsIn& event : queued) {
        EXPECT_EQ(event.data, nullptr);
        EXPECT_EQ(event.length, 0u);
    }
}

TEST_F(Dispatch, CommandsAreRecognisedOnlyAsWholeWords) {
    char block[4] = "abc";
    // 0x201 is class 0x1 plus a stray bit, not a release; 0x1000 from a plugin is no tag
    // command; both are ordinary queued events.
    EXPECT_EQ(Raise(Event(kSource, DVR_CMD_RELEASE | DVR_CLASS_0, 1, block, 3)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Event(kSource, DVR_CMD_CLOSE_TAG, 0)), DVR_RESULT_OK);
    const auto queued = core.Queued();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(Bytes(queued[0].data, queued[0].length), "abc");
    // The real commands act at once and queue nothing.
    EXPECT_EQ(Raise(Event(0, DVR_CMD_CLOSE_TAG, 0, nullptr, 0, 7)), DVR_RESULT_OK);
    EXPECT_EQ(Raise(Event(kSource, DVR_CMD_RELEASE, 0, nullptr)), DVR_RESULT_OK);
    EXPECT_EQ(core.Queued().size(), 2u);
}

TEST_F(Dispatch, SendWithoutSupervisorFreesTheBlockAndRefuses) {
    void* block = std::malloc(64);
    std::memset(block, 1, 64);
    // The block is the core's from here on; a leak or a second free shows under the sanitizer.
    EXPECT_EQ(Raise(Event(kSource, DVR_CMD_SEND, 0, block, 64)), DVR_RESULT_REFUSED);
    EXPECT_EQ(Raise(Event(kSource, DVR_CMD_SEND, 0, nullptr, 0)), DVR_RESULT_REFUSED);
    EXPECT_TRUE(core.Queued().empty());
}

TEST_F(Dispatch, ReleaseOfABlockTheCoreDoesNotHoldFreesNothing) {
    char* foreign = static_cast<char*>(std::malloc(8));
    std::memcpy(foreign, "foreign", 8);
    EXPECT_EQ(Release(foreign, kSource), DVR_RESULT_REFUSED);
    EXPECT_STREQ(foreign, "foreign");
    std::free(foreign);  // still ours: a free by the core would make this a double free

    // A queued block is not held until the delivery loop takes it.
    ASSERT_EQ(Raise(Event(kSource, DVR_CLASS_1, 1, "queued", 7)), DVR_RESULT_OK);
    void* queued = core.Queued().front().data;
    EXPECT_EQ(Release(queued, kSource), DVR_RESULT_REFUSED);
    EXPECT_EQ(Release(queued, DVR_CORE_ID), DVR_RESULT_REFUSED);
    EXPECT_STREQ(static_cast<const char*>(core.Queued().front().data), "queued");
    EXPECT_EQ(Release(nullptr, kSource), DVR_RESULT_OK);
}

TEST_F(Dispatch, StoppingRefusesQueuedEventsButStillAnswersTheRest) {
    core.logLevels.Set(DVR_MODULE_NUMBER(kSource), 20);
    core.RequestStop();
    EXPECT_EQ(Raise(Event(kSource, DVR_CLASS_1, 1, "x", 1)), DVR_RESULT_REFUSED);
    EXPECT_EQ(Raise(Frame(kSource, 1)), DVR_RESULT_REFUSED);
    EXPECT_TRUE(core.Streams().empty());
    EXPECT_EQ(Raise(Event(kSource, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY)), 20);
    EXPECT_EQ(Raise(Event(0, DVR_CMD_CLOSE_TAG, 0, nullptr, 0, 3)), DVR_RESULT_OK);

    _EventParmsIn message = Event(kSource, DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE, "late", 5);
    message.level = 30;
    EXPECT_EQ(Raise(message), DVR_RESULT_REFUSED);
    EXPECT_TRUE(core.Logged("late"));
    EXPECT_TRUE(core.Queued().empty());
}

// A plugin thread that outlives the core still holds the entry it was given at Load.
TEST(WithoutACore, EveryEventIsRefusedAndASentBlockIsFreed) {
    TempDir dir;
    Plugin alpha(dir, "alpha");
    DvrEventEntry entry = nullptr;
    {
        TestCore core(dir);
        ASSERT_TRUE(core.LoadPlugins());
        entry = alpha.EventEntry();
        core.UnloadPlugins();
    }
    ASSERT_EQ(entry, &FlatPluginEvent);
    const auto raise = [entry](_EventParmsIn in) {
        _EventParmsOut out{sizeof out, 1, 99};
        EXPECT_EQ(entry(&in, &out), DVR_RESULT_REFUSED);
        return out.result;
    };
    char data[] = "kept by the raiser";
    EXPECT_EQ(raise(Event(kSource, DVR_CLASS_1, 1, data, sizeof data)), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(Event(kSource, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY)), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(LogMessage(kSource, 100, "nobody to log it")), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(Event(kSource, DVR_CMD_RELEASE, 0, data)), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(Event(0, DVR_CMD_CLOSE_TAG, 0, nullptr, 0, 5)), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(Event(0, DVR_CLASS_1, 1, data, sizeof data, 6)), DVR_RESULT_REFUSED);
    EXPECT_STREQ(data, "kept by the raiser");
    // Handed over for good: a block the core did not free shows as a leak under the sanitizer.
    void* block = std::malloc(32);
    std::memset(block, 7, 32);
    EXPECT_EQ(raise(Event(kSource, DVR_CMD_SEND, 0, block, 32)), DVR_RESULT_REFUSED);
    EXPECT_EQ(raise(Event(kSource, DVR_CMD_SEND, 0, nullptr, 0)), DVR_RESULT_REFUSED);
    // Nor does a later core receive what was raised while there was none.
    TestCore later(dir);
    EXPECT_TRUE(later.Queued().empty());
    EXPECT_TRUE(later.Lines().empty());
}

}  // namespace
}  // namespace testkit
