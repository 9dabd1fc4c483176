// Many threads on the event bus at once: raisers, subscribers that keep blocks and give them
// back from other threads, request threads under back-pressure, and a stop in the middle.
// Under the sanitizers a block freed twice or never freed fails the run; the counts below
// show that every accepted event reached every subscriber exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "support/plugin_harness.h"

namespace testkit {
namespace {

constexpr uint32_t kRaisers = 4;
constexpr uint32_t kStopAfter = 2000;      // accepted events before the stop is requested
constexpr uint32_t kRaiserLimit = 100000;  // raisers go on until refused, at most this long
constexpr uint32_t kRequestEvery = 20;     // a direct request after this many events
constexpr uint32_t kTaggedPerRequest = 4;  // tagged events each request thread raises
constexpr uint32_t kRequestRaiser = 99;    // raiser number in the request threads' payloads
constexpr uint32_t kServer = 0x003B0000;   // bus_server
constexpr uint32_t kHolderA = 0x00300000;  // bus_a
constexpr uint32_t kHolderB = 0x00310000;  // bus_b

struct Header {
    uint32_t raiser;
    uint32_t sequence;
};

// A payload whose every byte follows from its header, so a subscriber can check it.
std::vector<char> Payload(uint32_t raiser, uint32_t sequence) {
    std::vector<char> bytes(sizeof(Header) + (raiser * 131 + sequence * 7) % 300);
    const Header header{raiser, sequence};
    std::memcpy(bytes.data(), &header, sizeof header);
    for (std::size_t i = sizeof header; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(raiser + sequence + i);
    return bytes;
}

bool Intact(const void* data, uint32_t length) {
    if (data == nullptr || length < sizeof(Header)) return false;
    Header header;
    std::memcpy(&header, data, sizeof header);
    const std::vector<char> expected = Payload(header.raiser, header.sequence);
    return expected.size() == length && std::memcmp(expected.data(), data, length) == 0;
}

// Blocks kept by subscribers, given back by threads of their own.
class Releasers {
public:
    explicit Releasers(int count) {
        for (int i = 0; i < count; ++i) threads.emplace_back([this] { Run(); });
    }
    void Keep(void* block, uint32_t holder) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            kept.emplace_back(block, holder);
        }
        changed.notify_one();
    }
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finishing = true;
        }
        changed.notify_all();
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }
    ~Releasers() {
        if (!threads.empty()) Finish();
    }

    std::atomic<uint32_t> released{0};
    std::atomic<uint32_t> refused{0};

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return finishing || !kept.empty(); });
            if (kept.empty()) return;
            const auto hold = kept.front();
            kept.pop_front();
            lock.unlock();
            ++(Release(hold.first, hold.second) == DVR_RESULT_OK ? released : refused);
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<void*, uint32_t>> kept;
    bool finishing = false;
    std::vector<std::thread> threads;
};

// What one subscriber saw: every (raiser, sequence) at most once, every payload intact.
struct Seen {
    std::mutex mutex;
    std::set<std::pair<uint32_t, uint32_t>> events;
    std::atomic<uint32_t> duplicates{0};
    std::atomic<uint32_t> damaged{0};
    std::atomic<uint32_t> withoutData{0};

    void Add(const _WriteParmsIn& in) {
        if (in.data == nullptr) {
            ++withoutData;
            return;
        }
        if (!Intact(in.data, in.length)) {
            ++damaged;
            return;
        }
        Header header;
        std::memcpy(&header, in.data, sizeof header);
        std::lock_guard<std::mutex> lock(mutex);
        if (!events.emplace(header.raiser, header.sequence).second) ++duplicates;
    }
    std::size_t Size() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size() + withoutData;
    }
};

TEST(BusStress, EveryAcceptedEventReachesEverySubscriberOnceAndEveryBlockIsGivenBack) {
    TempDir dir;
    Releasers releasers(2);
    Seen seenA, seenB, seenC;
    std::atomic<uint32_t> inCallRefusals{0};
    std::atomic<uint32_t> accepted{0};
    std::atomic<uint32_t> refused{0};
    std::atomic<uint32_t> unexpected{0};
    auto count = [&](int32_t result) {
        if (result == DVR_RESULT_OK)
            ++accepted;
        else if (result == DVR_RESULT_REFUSED)
            ++refused;
        else
            ++unexpected;
    };

    PluginHooks aHooks, bHooks, cHooks, serverHooks;
    // bus_a keeps every other block and lets a releaser give it back.
    aHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        seenA.Add(*in);
        if (in->data != nullptr && in->code % 2 == 1) {
            out->pending = 1;
            releasers.Keep(in->data, kHolderA);
        }
        return 0;
    };
    // bus_b keeps every block and gives a third back during the call itself.
    bHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut* out) {
        seenB.Add(*in);
        if (in->data == nullptr) return 0;
        out->pending = 1;
        if (in->code % 3 == 0) {
            if (Release(in->data, kHolderB) != DVR_RESULT_OK) ++inCallRefusals;
        } else {
            releasers.Keep(in->data, kHolderB);
        }
        return 0;
    };
    // bus_c keeps nothing.
    cHooks.write = [&](_WriteParmsIn* in, _WriteParmsOut*) {
        seenC.Add(*in);
        return 0;
    };
    // Each request raises tagged events with data, one in flight.
    serverHooks.read = [&](_ReadParmsIn* in, _ReadParmsOut*) {
        for (uint32_t k = 0; in->tag != 0 && k < kTaggedPerRequest; ++k) {
            const auto payload = Payload(kRequestRaiser, in->tag * kTaggedPerRequest + k);
            count(Raise(Event(kServer, DVR_CLASS_1, in->tag + k, payload.data(),
                              static_cast<uint32_t>(payload.size()), in->tag)));
        }
        return 0;
    };
    Plugin a(dir, "bus_a", aHooks);
    Plugin b(dir, "bus_b", bHooks);
    Plugin c(dir, "bus_c", cHooks);
    Plugin server(dir, "bus_server", serverHooks);
    TestCore core(dir);
    core.StartInBackground();

    // Each raiser goes on until the stop refuses it, so the stop lands in the middle.
    std::vector<std::thread> raisers;
    for (uint32_t raiser = 1; raiser <= kRaisers; ++raiser) {
        raisers.emplace_back([&, raiser] {
            const uint32_t source = 0x00900000 + raiser;
            int32_t result = DVR_RESULT_OK;
            for (uint32_t sequence = 0; sequence < kRaiserLimit; ++sequence) {
                if (sequence % 7 == 0) {
                    result = Raise(Event(source, DVR_CLASS_1, sequence));
                } else {
                    const auto payload = Payload(raiser, sequence);
                    result = Raise(Event(source, DVR_CLASS_1, sequence, payload.data(),
                                         static_cast<uint32_t>(payload.size())));
                }
                count(result);
                if (result != DVR_RESULT_OK) return;
                if (sequence % kRequestEvery == 0)
                    Raise(Event(0, DVR_CLASS_3, 0, nullptr, 0, raiser << 24 | sequence));
            }
        });
    }
    EXPECT_TRUE(WaitFor([&] { return accepted.load() >= kStopAfter; }));
    core.RequestStop();
    for (std::thread& raiser : raisers) raiser.join();
    core.Stop();  // drains the queue and waits for the request threads
    releasers.Finish();

    EXPECT_EQ(unexpected.load(), 0u);
    EXPECT_GE(refused.load(), kRaisers);  // every raiser ran into the stop
    EXPECT_EQ(inCallRefusals.load(), 0u);
    EXPECT_EQ(releasers.refused.load(), 0u);
    for (Seen* seen : {&seenA, &seenB, &seenC}) {
        EXPECT_EQ(seen->Size(), accepted.load());
        EXPECT_EQ(seen->duplicates.load(), 0u);
        EXPECT_EQ(seen->damaged.load(), 0u);
    }
    EXPECT_TRUE(core.Leaks().empty());
}

}  // namespace
}  // namespace testkit
