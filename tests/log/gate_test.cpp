// The level gate, level queries and the core's formatted logging, through the real event
// dispatch. The lines the sink is given are captured by the test core.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "log/core_log.h"
#include "support/plugin_harness.h"

namespace testkit {
namespace {

constexpr uint32_t kModule = 0x00400000;  // module number 0x40, not loaded
constexpr int32_t kUntouched = 77;        // a result the core must leave alone

int32_t Query(uint32_t source) {
    return Raise(Event(source, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY), kUntouched);
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
    const int32_t result = Raise(LogMessage(kModule, c.messageLevel, text.c_str()), kUntouched);
    EXPECT_EQ(core.Written(kModule, c.messageLevel, text), c.written);
    EXPECT_EQ(result, c.passed ? DVR_RESULT_OK : kUntouched);
    EXPECT_EQ(core.Queued().size(), c.passed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, LevelGate,
    ::testing::Values(GateCase{-1, 0, true, false}, GateCase{-1, 25, true, true},
                      GateCase{-1, 100, true, true}, GateCase{0, 0, true, true},
                      GateCase{0, 25, true, true}, GateCase{50, 25, false, false},
                      GateCase{50, 49, false, false}, GateCase{50, 50, true, true},
                      GateCase{50, 100, true, true}, GateCase{100, 99, false, false},
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
        EXPECT_EQ(Raise(LogMessage(source, 0, "quiet"), kUntouched), kUntouched);
        EXPECT_EQ(Raise(LogMessage(source, 25, "loud"), kUntouched), DVR_RESULT_OK);
        EXPECT_TRUE(core.Written(source, 0, "quiet"));
        EXPECT_TRUE(core.Written(source, 25, "loud"));
    }
    EXPECT_EQ(core.Queued().size(), 3u);
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
    EXPECT_EQ(core.Queued().size(), 0u);  // queries are answered, never queued
    // With code bit 1 as well, it is a message, not a query.
    _EventParmsIn both = LogMessage(kModule, 40, "both bits");
    both.code = DVR_CODE_LOG_MESSAGE | DVR_CODE_LEVEL_QUERY;
    EXPECT_EQ(Raise(both, kUntouched), DVR_RESULT_OK);
    EXPECT_TRUE(core.Written(kModule, 40, "both bits"));
}

TEST_F(Logging, TextIsReadOnlyWithinItsLengthAndQueuedAsRaised) {
    EXPECT_EQ(Raise(LogMessage(kModule, 30, "abcdef", 3)), DVR_RESULT_OK);
    EXPECT_TRUE(core.Written(kModule, 30, "abc"));
    const std::string long_(600, 'x');
    EXPECT_EQ(Raise(LogMessage(kModule, 30, long_.data(), 600)), DVR_RESULT_OK);
    EXPECT_TRUE(core.Written(kModule, 30, long_)) << "a plugin's text is its own length";
    const auto queued = core.Queued();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(Bytes(queued[0].data, queued[0].length), "abc");
    EXPECT_EQ(queued[1].length, 600u);
}

TEST(LogSubscribers, GetWhatTheGatePassesWithTheCoresTextCutTo511) {
    TempDir dir;
    Recorder received;
    PluginHooks hooks;
    hooks.write = [record = received.Write()](_WriteParmsIn* in, _WriteParmsOut* out) {
        return in->source == kModule ? record(in, out) : 0;
    };
    Plugin subscriber(dir, "bus_log", hooks);
    TestCore running(dir);
    running.StartInBackground();
    EXPECT_EQ(Raise(LogMessage(kModule, 0, "not passed")), DVR_RESULT_OK);  // gate leaves 0
    EXPECT_EQ(Raise(LogMessage(kModule, 25, "passed")), DVR_RESULT_OK);
    const std::string long_(600, 'y');
    LogFormatted(kModule, FlatPluginEvent, 30, "%s", long_.c_str());
    running.Stop();

    const auto items = received.writes.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].bytes, std::string("passed", 7));
    EXPECT_EQ(items[1].in.length, 512u);
    EXPECT_EQ(items[1].bytes, std::string(511, 'y') + '\0');
    EXPECT_EQ(items[1].in.code, DVR_CODE_CORE_LOG);
    EXPECT_TRUE(running.Written(kModule, 30, std::string(511, 'y')));
}

// An event entry standing in for the core: answers level queries with a set level and
// keeps every record it is given.
struct FakeEntry {
    inline static int32_t level = -1;
    inline static std::vector<_EventParmsIn> events;
    inline static std::vector<std::string> texts;
    inline static std::vector<_EventParmsOut> outputs;

    static int32_t Entry(_EventParmsIn* in, _EventParmsOut* out) {
        events.push_back(*in);
        outputs.push_back(*out);
        texts.push_back(Bytes(in->data, in->length));
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

TEST(FormattedLogging, AsksTheLevelFirstAndFormatsOnlyWhatPasses) {
    FakeEntry::Reset(50);
    LogFormatted(kModule, FakeEntry::Entry, 25, "dropped %d", 1);
    ASSERT_EQ(FakeEntry::events.size(), 1u);
    const _EventParmsIn query = Event(kModule, DVR_CLASS_LOG, DVR_CODE_LEVEL_QUERY);
    EXPECT_EQ(std::memcmp(&FakeEntry::events[0], &query, sizeof query), 0);
    const _EventParmsOut preset{sizeof(_EventParmsOut), 1, 0};
    EXPECT_EQ(std::memcmp(&FakeEntry::outputs[0], &preset, sizeof preset), 0);

    FakeEntry::Reset(50);
    LogFormatted(kModule, FakeEntry::Entry, 50, "kept %d", 2);
    ASSERT_EQ(FakeEntry::events.size(), 2u);
    _EventParmsIn message = LogMessage(kModule, 50, FakeEntry::events[1].data, 7);
    message.code = DVR_CODE_CORE_LOG;
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
}  // namespace testkit
