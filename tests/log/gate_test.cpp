// The level gate, level queries and the core's formatted logging, through the real event
// dispatch. The lines the sink is given are captured by the test core.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "log/core_log.h"
#include "plugins/bus_harness.h"

namespace {

using bus::Event;
using testkit::Raise;
using testkit::TempDir;
using testkit::TestCore;

constexpr uint32_t kModule = 0x00400000;  // module number 0x40, not loaded
constexpr int32_t kUntouched = 77;         // a result the core must leave alone

_EventParmsIn Message(uint32_t source, int32_t level, const void* text, uint32_t length) {
    _EventParmsIn event = Event(source, DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE, text, length);
    event.level = level;
    return event;
}

// The event points at `text`, which must outlive it.
_EventParmsIn Message(uint32_t source, int32_t level, const char* text) {
    return Message(source, level, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

int32_t Query(uint32_t source) {
    return Raise(Event(source, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY), kUntouched);
}

std::size_t QueueSize(TestCore& core) {
    std::lock_guard<std::mutex> lock(core.deliveryMutex);
    return core.deliveryQueue.size();
}

bool Written(const TestCore& core, uint32_t module, int32_t level, const std::string& text) {
    for (const testkit::LogLine& line : core.Lines())
        if (line.module == module && line.level == static_cast<uint32_t>(level) &&
            line.text == text)
            return true;
    return false;
}

struct GateCase {
    int32_t moduleLevel;  // -1: never set
    int32_t messageLevel;
    bool written;
    bool passed;
};

void PrintTo(const GateCase& c, std::ostream* out) {
    *out << "module level " << c.moduleLevel << ", message level " << c.messageLevel;
}

std::string GateName(const ::testing::TestParamInfo<GateCase>& info) {
    const GateCase& c = info.param;
    return (c.moduleLevel < 0 ? std::string("Unset") : "Level" + std::to_string(c.moduleLevel)) +
           "Message" + std::to_string(c.messageLevel);
}

class LevelGate : public ::testing::TestWithParam<GateCase> {
protected:
    TempDir dir;
    TestCore core{dir};
};

TEST_P(LevelGate, WritesAndPassesAccordingToTheModuleLevel) {
    const GateCase c = GetParam();
    if (c.moduleLevel >= 0) core.logLevels.Set(DVR_MODULE_NUMBER(kModule), c.moduleLevel);
    const std::string text = "message at " + std::to_string(c.messageLevel);
    const int32_t result = Raise(Message(kModule, c.messageLevel, text.c_str()), kUntouched);
    EXPECT_EQ(Written(core, kModule, c.messageLevel, text), c.written);
    EXPECT_EQ(result, c.passed ? DVR_RESULT_OK : kUntouched);
    EXPECT_EQ(QueueSize(core), c.passed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Matrix, LevelGate,
                         ::testing::Values(GateCase{-1, 0, true, false},
                                           GateCase{-1, 25, true, true},
                                           GateCase{-1, 100, true, true},
                                           GateCase{0, 0, true, true},
                                           GateCase{0, 25, true, true},
                                           GateCase{50, 25, false, false},
                                           GateCase{50, 49, false, false},
                                           GateCase{50, 50, true, true},
                                           GateCase{50, 100, true, true},
                                           GateCase{100, 99, false, false},
                                           GateCase{100, 100, true, true}),
                         GateName);

class Logging : public ::testing::Test {
protected:
    TempDir dir;
    TestCore core{dir};
};

TEST_F(Logging, ModulesWithoutATableEntryCountAsUnset) {
    for (uint32_t source : {0x00FF0000u, 0x01000000u, 0x0FFF0000u}) {
        core.logLevels.Set(DVR_MODULE_NUMBER(source), 60);  // no entry: changes nothing
        EXPECT_EQ(Query(source), -1) << std::hex << source;
        EXPECT_EQ(Raise(Message(source, 0, "quiet"), kUntouched), kUntouched);
        EXPECT_EQ(Raise(Message(source, 25, "loud"), kUntouched), DVR_RESULT_OK);
        EXPECT_TRUE(Written(core, source, 0, "quiet"));
        EXPECT_TRUE(Written(core, source, 25, "loud"));
    }
    EXPECT_EQ(QueueSize(core), 3u);
}

TEST_F(Logging, LevelQueriesAnswerTheModuleNumbersLevel) {
    EXPECT_EQ(Query(kModule), -1);
    core.logLevels.Set(DVR_MODULE_NUMBER(kModule), 30);
    EXPECT_EQ(Query(kModule), 30);
    EXPECT_EQ(Query(kModule | 0x7), 30);  // another identifier of the same module
    EXPECT_EQ(Query(DVR_CORE_ID), -1);
    core.logLevels.Set(0, 0);
    EXPECT_EQ(Query(DVR_CORE_ID), 0);
    EXPECT_EQ(QueryLogLevel(kModule, FlatPluginEvent), 30);
    EXPECT_EQ(QueueSize(core), 0u);  // queries are answered, never queued
    // With code bit 1 as well, it is a message, not a query.
    _EventParmsIn both = Message(kModule, 40, "both bits");
    both.code = DVR_CODE_LOG_MESSAGE | DVR_CODE_LEVEL_QUERY;
    EXPECT_EQ(Raise(both, kUntouched), DVR_RESULT_OK);
    EXPECT_TRUE(Written(core, kModule, 40, "both bits"));
}

TEST_F(Logging, TextIsReadOnlyWithinItsLengthAndQueuedAsRaised) {
    EXPECT_EQ(Raise(Message(kModule, 30, "abcdef", 3)), DVR_RESULT_OK);
    EXPECT_TRUE(Written(core, kModule, 30, "abc"));
    const std::string long_(600, 'x');
    EXPECT_EQ(Raise(Message(kModule, 30, long_.data(), 600)), DVR_RESULT_OK);
    EXPECT_TRUE(Written(core, kModule, 30, long_)) << "a plugin's text is its own length";
    std::lock_guard<std::mutex> lock(core.deliveryMutex);
    ASSERT_EQ(core.deliveryQueue.size(), 2u);
    EXPECT_EQ(bus::Bytes(core.deliveryQueue[0].data, core.deliveryQueue[0].length), "abc");
    EXPECT_EQ(core.deliveryQueue[1].length, 600u);
}

TEST(LogSubscribers, GetWhatTheGatePassesWithTheCoresTextCutTo511) {
    TempDir dir;
    bus::Shared<bus::Received> received;
    bus::Hooks hooks;
    hooks.write = [&received](_WriteParmsIn* in, _WriteParmsOut*) {
        if (in->source == kModule) received.Add(bus::FromWrite(*in));
        return 0;
    };
    bus::Plugin subscriber(dir, "bus_log", hooks);
    TestCore running(dir);
    running.StartInBackground();
    EXPECT_EQ(Raise(Message(kModule, 0, "not passed")), DVR_RESULT_OK);  // gate leaves 0
    EXPECT_EQ(Raise(Message(kModule, 25, "passed")), DVR_RESULT_OK);
    const std::string long_(600, 'y');
    LogFormatted(kModule, FlatPluginEvent, 30, "%s", long_.c_str());
    running.Stop();

    const auto items = received.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].bytes, std::string("passed", 7));
    EXPECT_EQ(items[1].length, 512u);
    EXPECT_EQ(items[1].bytes, std::string(511, 'y') + '\0');
    EXPECT_EQ(items[1].code, DVR_CODE_CORE_LOG);
    EXPECT_TRUE(Written(running, kModule, 30, std::string(511, 'y')));
}

// An event entry standing in for the core: answers level queries with a set level and
// keeps every record it is given.
struct FakeEntry {
    static int32_t level;
    static std::vector<_EventParmsIn> events;
    static std::vector<std::string> texts;
    static std::vector<_EventParmsOut> outputs;

    static int32_t Entry(_EventParmsIn* in, _EventParmsOut* out) {
        events.push_back(*in);
        outputs.push_back(*out);
        texts.push_back(bus::Bytes(in->data, in->length));
        if (in->code == DVR_CODE_LEVEL_QUERY) out->result = level;
        return 0;
    }
    static void Reset(int32_t answer) {
        level = answer;
        events.clear();
        texts.clear();
        outputs.clear();
    }
};
int32_t FakeEntry::level = -1;
std::vector<_EventParmsIn> FakeEntry::events;
std::vector<std::string> FakeEntry::texts;
std::vector<_EventParmsOut> FakeEntry::outputs;

TEST(FormattedLogging, AsksTheLevelFirstAndFormatsOnlyWhatPasses) {
    FakeEntry::Reset(50);
    LogFormatted(kModule, FakeEntry::Entry, 25, "dropped %d", 1);
    ASSERT_EQ(FakeEntry::events.size(), 1u);
    _EventParmsIn query{};
    query.size = sizeof query;
    query.version = 1;
    query.source = kModule;
    query.classFlags = DVR_CLASS_LOG;
    query.code = DVR_CODE_LEVEL_QUERY;
    EXPECT_EQ(std::memcmp(&FakeEntry::events[0], &query, sizeof query), 0);
    const _EventParmsOut preset{sizeof(_EventParmsOut), 1, 0};
    EXPECT_EQ(std::memcmp(&FakeEntry::outputs[0], &preset, sizeof preset), 0);

    FakeEntry::Reset(50);
    LogFormatted(kModule, FakeEntry::Entry, 50, "kept %d", 2);
    ASSERT_EQ(FakeEntry::events.size(), 2u);
    _EventParmsIn message{};
    message.size = sizeof message;
    message.version = 1;
    message.length = 7;
    message.data = FakeEntry::events[1].data;
    message.source = kModule;
    message.classFlags = DVR_CLASS_LOG;
    message.code = DVR_CODE_CORE_LOG;
    message.level = 50;
    EXPECT_EQ(std::memcmp(&FakeEntry::events[1], &message, sizeof message), 0);
    EXPECT_EQ(FakeEntry::texts[1], std::string("kept 2", 7));
    EXPECT_EQ(std::memcmp(&FakeEntry::outputs[1], &preset, sizeof preset), 0);
}

TEST(FormattedLogging, ShouldLogFollowsTheAnsweredLevel) {
    struct Case {
        int32_t answer;
        int32_t level;
        bool expected;
    };
    for (const Case c : {Case{-1, 0, true}, Case{0, 0, true}, Case{50, 49, false},
                         Case{50, 50, true}, Case{100, 99, false}, Case{-7, 0, true}}) {
        FakeEntry::Reset(c.answer);
        EXPECT_EQ(ShouldLog(kModule, FakeEntry::Entry, c.level), c.expected)
            << c.answer << " " << c.level;
        EXPECT_EQ(QueryLogLevel(kModule, FakeEntry::Entry), c.answer);
    }
}

TEST(FormattedLogging, EmptyTextOrMissingEntryLogsNothingAndLongTextIsCut) {
    FakeEntry::Reset(-1);
    LogFormatted(kModule, FakeEntry::Entry, 100, "%s", "");
    EXPECT_EQ(FakeEntry::events.size(), 1u);  // the query only
    LogFormatted(kModule, nullptr, 100, "%s", "nowhere");

    FakeEntry::Reset(-1);
    const std::string long_(600, 'z');
    LogFormatted(kModule, FakeEntry::Entry, 0, "%s", long_.c_str());
    ASSERT_EQ(FakeEntry::events.size(), 2u);
    EXPECT_EQ(FakeEntry::events[1].length, 512u);
    EXPECT_EQ(FakeEntry::texts[1], std::string(511, 'z') + '\0');
}

}  // namespace
