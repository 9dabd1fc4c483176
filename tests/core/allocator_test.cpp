// The core's heap settings: freed frames beyond the stated bound go back to the system, frames
// within it are reused without page faults, and a plugin that keeps frames gets them intact
// while they count in the resident size that the throttle reads.
#include <malloc.h>
#include <sys/resource.h>

#include <cstring>

#include "core/allocator.h"
#include "housekeeping/resident_memory.h"
#include "support/test_core.h"

namespace {

using testkit::Plugin;
using testkit::PluginHooks;
using testkit::TempDir;
using testkit::TestCore;

constexpr size_t kKeyFrame = 150u << 10;
constexpr uint64_t kSlack = 2u << 20;  // the test's own allocations and the page tables' share
constexpr uint32_t kCamera = 0x00C00000;

long ThreadPageFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

void Fill(uint8_t* frame, size_t length, size_t index) {
    for (size_t i = 0; i < length; i += 64) frame[i] = static_cast<uint8_t>(index * 31 + i / 64);
}

// Allocates and writes `count` key frames, then frees them in the order they came, as a
// recorder gives frames back.
void PassFrames(size_t count) {
    std::vector<uint8_t*> frames;
    frames.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        frames.push_back(static_cast<uint8_t*>(std::malloc(kKeyFrame)));
        ASSERT_NE(frames.back(), nullptr);
        std::memset(frames.back(), static_cast<int>(i), kKeyFrame);
    }
    for (uint8_t* frame : frames) std::free(frame);
}

TEST(Allocator, FreedFramesBeyondTheBoundGoBackToTheSystem) {
    if (testkit::UnderEmulation()) GTEST_SKIP() << "the emulator's resident size is read";
    if (!kGlibcHeap) GTEST_SKIP() << "a sanitizer's heap, not glibc's";
    ASSERT_TRUE(ConfigureAllocator());
    const uint64_t bound = kFrameAllocator.FreedBytesBound();
    const size_t count = 3 * bound / kKeyFrame;
    std::vector<uint8_t*> frames;
    frames.reserve(count);  // a block allocated above the frames would keep them all
    const uint64_t before = ReadResidentBytes();
    for (size_t i = 0; i < count; ++i) {
        frames.push_back(static_cast<uint8_t*>(std::malloc(kKeyFrame)));
        std::memset(frames.back(), 1, kKeyFrame);
    }
    EXPECT_GE(ReadResidentBytes(), before + count * kKeyFrame * 9 / 10);
    for (uint8_t* frame : frames) std::free(frame);
    EXPECT_LE(ReadResidentBytes(), before + bound + kSlack);
    EXPECT_LE(mallinfo2().keepcost, kFrameAllocator.trimThreshold);
}

TEST(Allocator, FramesWithinTheBoundAreReusedWithoutPageFaults) {
    if (testkit::UnderEmulation()) GTEST_SKIP() << "the emulator's page faults are counted";
    if (!kGlibcHeap) GTEST_SKIP() << "a sanitizer's heap, not glibc's";
    ASSERT_TRUE(ConfigureAllocator());
    const size_t count = kFrameAllocator.FreedBytesBound() / 2 / kKeyFrame;
    PassFrames(count);  // the heap grows to hold them once
    const long before = ThreadPageFaults();
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) PassFrames(count);
    const long pages = static_cast<long>(kRounds * count * kKeyFrame / 4096);
    // glibc's defaults fault on nearly every page here: the trim threshold follows the largest
    // block freed, and each round's frees pass it.
    EXPECT_LT(ThreadPageFaults() - before, pages / 20);
}

TEST(Allocator, KeptFramesReachThePluginIntactAndCountInTheResidentSize) {
    // Under a sanitizer only what the plugin sees is checked: the heap is the sanitizer's.
    const bool measured = kGlibcHeap && !testkit::UnderEmulation();
    if (kGlibcHeap) {
        ASSERT_TRUE(ConfigureAllocator());
    }
    TempDir dir;
    const uint64_t bound = kFrameAllocator.FreedBytesBound();
    const size_t count = 3 * bound / kKeyFrame;
    // Room for every record up front, so that the test itself puts no block above the frames.
    std::mutex mutex;
    std::vector<_WriteParmsIn> kept;
    kept.reserve(count);
    PluginHooks hooks;
    hooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        if (in->classFlags == DVR_CLASS_0 && in->code == DVR_CODE_VIDEO_FRAME) {
            std::lock_guard<std::mutex> lock(mutex);
            kept.push_back(*in);
            out->pending = 1;
        }
        return 0;
    };
    auto keptCount = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return kept.size();
    };
    Plugin plugin(dir, "alpha", hooks);  // takes class 0 codes with bit 24, video frames
    TestCore core(dir);
    // Not what is tested: a sanitizer's shadow memory alone would pass the throttle's limit.
    core.memoryLimit = UINT64_MAX;
    core.StartInBackground();

    // The first burst grows the core's own tables to hold it; those stay where they grew and
    // keep the frames freed below them resident. What the bound promises is that a burst
    // like it, kept and given back again, leaves no more than the bound on top of that.
    std::vector<uint8_t> frame(kKeyFrame);
    uint64_t afterFirst = 0;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < count; ++i) {
            Fill(frame.data(), frame.size(), i);
            _EventParmsIn event =
                testkit::Event(kCamera, DVR_CLASS_0, DVR_CODE_VIDEO_FRAME, frame.data(), kKeyFrame);
            event.keyFrame = 1;
            ASSERT_EQ(testkit::Raise(event), DVR_RESULT_OK) << "frame " << i;
        }
        ASSERT_TRUE(testkit::WaitFor([&] { return keptCount() == count; }));
        // What a plugin keeps is resident, so the throttle sees it.
        if (measured) {
            EXPECT_GE(ReadResidentBytes(), count * kKeyFrame);
        }
        for (size_t i = 0; i < count; ++i) {
            const _WriteParmsIn& in = kept[i];
            EXPECT_EQ(in.size, sizeof in);
            EXPECT_EQ(in.length, kKeyFrame);
            EXPECT_EQ(in.source, kCamera);
            EXPECT_EQ(in.keyFrame, 1);
            Fill(frame.data(), frame.size(), i);
            EXPECT_EQ(std::memcmp(in.data, frame.data(), kKeyFrame), 0) << "frame " << i;
        }
        for (const _WriteParmsIn& in : kept)
            EXPECT_EQ(testkit::Release(in.data, plugin.id()), DVR_RESULT_OK);
        {
            std::lock_guard<std::mutex> lock(mutex);
            kept.clear();
        }
        EXPECT_TRUE(core.Leaks().empty());
        if (round == 0) {
            afterFirst = ReadResidentBytes();
        } else if (measured) {
            EXPECT_LE(ReadResidentBytes(), afterFirst + bound + kSlack);
        }
    }
    core.Stop();
}

}  // namespace
