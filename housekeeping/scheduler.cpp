#include <tinyxml.h>

#include <boost/asio/post.hpp>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "core/dvrcore.h"
#include "housekeeping/resident_memory.h"
#include "log/core_log.h"

namespace {
constexpr auto kTickPeriod = std::chrono::milliseconds(100);
constexpr auto kThrottleHoldOff = std::chrono::seconds(60);
}  // namespace

void dvrcore::StartScheduler() {
    schedulerTimer.async_wait([this](const boost::system::error_code& error) { Scheduler(error); });
}

// Each tick re-arms the timer on the event-loop thread; a cancel from any other thread would
// race with that, so it runs there as well.
void dvrcore::CancelScheduler() {
    boost::asio::post(eventLoop, [this] {
        schedulerStopped = true;  // also stops a tick that had already expired
        schedulerTimer.cancel();
    });
}

std::time_t dvrcore::WallClock() { return std::time(nullptr); }

uint64_t dvrcore::ResidentBytes() { return ReadResidentBytes(); }

void dvrcore::Scheduler(const boost::system::error_code& error) {
    if (error || schedulerStopped) return;
    const std::time_t second = WallClock();
    const TimePoint reading = now();
    const bool firstTick = lastWallSecond == 0;
    if (!firstTick) {
        const int32_t change = ClockChange(second, reading);
        if (change > 1 || change < -1) CoreLog(50, "system time changed by %d seconds", change);
    } else if (throttling) {
        BroadcastStatus();  // plugins learn the initial state
    }
    if (throttling && (firstTick || second != lastWallSecond))
        SetMemoryLow(ResidentBytes() > memoryLimit);
    if (second != lastWallSecond) RetryConfigurationSave();
    lastWallSecond = second;
    lastTickTime = reading;
    schedulerTimer.expires_after(kTickPeriod);
    StartScheduler();
}

// How far the wall clock moved beyond the time that really passed since the last tick: a tick
// held back by a busy event loop is no clock change. Clamped: a clock set across the whole
// range of time_t does not fit the message.
int32_t dvrcore::ClockChange(std::time_t second, TimePoint reading) const {
    const double passed = std::chrono::duration<double>(reading - lastTickTime).count();
    const double change = std::round(std::difftime(second, lastWallSecond) - passed);
    return static_cast<int32_t>(std::clamp(change, double{INT32_MIN}, double{INT32_MAX}));
}

void dvrcore::SetMemoryLow(bool low) {
    const TimePoint reading = now();
    memoryLow = low;
    if (low) {
        if (lowMemoryTime == TimePoint::max()) {
            CoreLog(50, "available system memory is low, throttling video");
            BroadcastStatus();
        }
        lowMemoryTime = reading;
    } else if (lowMemoryTime != TimePoint::max() && reading - kThrottleHoldOff >= lowMemoryTime) {
        CoreLog(50, "available system memory ok, not throttling video");
        BroadcastStatus();
        lowMemoryTime = TimePoint::max();
    }
}

void dvrcore::BroadcastStatus() {
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    auto* root = new TiXmlElement("Norv");
    document.LinkEndChild(root);
    auto* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", static_cast<int>(static_cast<int32_t>(DVR_CORE_ID)));
    memory->SetAttribute("Throttling", memoryLow ? 1 : 0);
    memory->SetAttribute("Time", static_cast<int>(WallClock()));
    root->LinkEndChild(memory);
    BroadcastDocument(document, DVR_CLASS_STATUS);
}
