// The level gate, level queries and the core's formatted logging, through the real event
// dispatch, the lines the sink is given captured by the test core. And the real log sink: the
// system log for level 100, and the exact lines on a terminal, both in a child process set up
// for it and from the core executable itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>

#include "log/core_log.h"
#include "support/test_core.h"

namespace {

using SyslogCalls = std::vector<std::pair<int, std::string>>;

std::mutex syslogMutex;
SyslogCalls syslogCalls;

void RecordSyslog(int priority, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::lock_guard<std::mutex> lock(syslogMutex);
    syslogCalls.emplace_back(priority, text);
}

SyslogCalls TakeSyslogCalls() {
    std::lock_guard<std::mutex> lock(syslogMutex);
    return std::exchange(syslogCalls, {});
}

}  // namespace

// The core library is linked into this executable, so its calls of syslog bind to these
// definitions instead of the C library's (the second one is what a fortified build calls).
extern "C" void syslog(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    RecordSyslog(priority, format, arguments);
    va_end(arguments);
}

extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    RecordSyslog(priority, format, arguments);
    va_end(arguments);
}

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

class LevelGate : public CoreTest, public ::testing::WithParamInterface<GateCase> {};

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

using Logging = CoreTest;

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

using LogSubscribers = PluginHostTest;

TEST_F(LogSubscribers, GetWhatTheGatePassesWithTheCoresTextCutTo511) {
    Recorder& received = Record("bus_log");
    core->StartInBackground();
    EXPECT_EQ(Raise(LogMessage(kModule, 0, "not passed")), DVR_RESULT_OK);  // gate leaves 0
    EXPECT_EQ(Raise(LogMessage(kModule, 25, "passed")), DVR_RESULT_OK);
    const std::string long_(600, 'y');
    LogFormatted(kModule, FlatPluginEvent, 30, "%s", long_.c_str());
    core->Stop();

    std::vector<WriteCall> items;  // the module's, without the core's own lines
    for (const WriteCall& call : received.writes.Items())
        if (call.in.source == kModule) items.push_back(call);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].bytes, std::string("passed", 7));
    EXPECT_EQ(items[1].in.length, 512u);
    EXPECT_EQ(items[1].bytes, std::string(511, 'y') + '\0');
    EXPECT_EQ(items[1].in.code, DVR_CODE_CORE_LOG);
    EXPECT_TRUE(core->Written(kModule, 30, std::string(511, 'y')));
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

// ---- The sink ---------------------------------------------------------------------------------

// A core that writes its lines with the real sink.
class SinkCore : public dvrcore {
public:
    using dvrcore::dvrcore;
    using dvrcore::logLevels;
    using dvrcore::moduleNames;
};

TEST(LogSink, OnlyLevel100ReachesTheSystemLogAsCritical) {
    TempDir dir;
    SinkCore core(dir / "dvrcore");
    TakeSyslogCalls();
    core.WriteLog(DVR_CORE_ID, 100, "disk %s failed 100%");  // text, not a format
    core.WriteLog(DVR_CORE_ID, 99, "not critical");
    core.WriteLog(DVR_CORE_ID, 0, "chatter");
    core.WriteLog(DVR_CORE_ID, 100, nullptr);
    EXPECT_EQ(Raise(LogMessage(0x00400000, 100, "plugin fatal")), DVR_RESULT_OK);
    EXPECT_EQ(Raise(LogMessage(0x00400000, 50, "plugin warning")), DVR_RESULT_OK);
    EXPECT_EQ(TakeSyslogCalls(),
              (SyslogCalls{{LOG_CRIT, "disk %s failed 100%"}, {LOG_CRIT, "plugin fatal"}}));
}

// The UTC times of every second from `from` to `to`, as the sink prints them.
std::set<std::string> TimesBetween(std::time_t from, std::time_t to) {
    std::set<std::string> times;
    for (std::time_t second = from; second <= to; ++second) {
        std::tm utc{};
        gmtime_r(&second, &utc);
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", utc.tm_hour, utc.tm_min, utc.tm_sec);
        times.insert(text);
    }
    return times;
}

constexpr char kTime[] = "TT:TT:TT";

std::string Coloured(int colour, const std::string& name, const std::string& text) {
    return "\x1b[3" + std::to_string(colour) + "m" + kTime + "\x1b[36m " + name + "\x1b[0m " + text;
}

std::string Plain(const std::string& name, const std::string& text) {
    return std::string(kTime) + " " + name + " " + text;
}

// Compares a printed line with an expected one whose time is a placeholder; the printed time
// must be one of `times`. Returns a description of the difference, empty when they match.
std::string Mismatch(const std::string& line, const std::string& expected,
                     const std::set<std::string>& times) {
    const std::size_t at = expected.find(kTime);
    const std::size_t width = sizeof kTime - 1;
    if (line.size() != expected.size() || line.compare(0, at, expected, 0, at) != 0 ||
        line.compare(at + width, std::string::npos, expected, at + width, std::string::npos) != 0 ||
        times.count(line.substr(at, width)) == 0)
        return "expected [" + expected + "]\n     got [" + line + "]\n";
    return "";
}

std::vector<std::string> SplitLines(const std::string& text, const std::string& end) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(end, from)) != std::string::npos; from = at + end.size())
        lines.push_back(text.substr(from, at - from));
    if (from < text.size()) lines.push_back(text.substr(from) + " (unterminated)");
    return lines;
}

// Every line that differs from its expected line; empty when all match.
std::string Differences(const std::vector<std::string>& lines,
                        const std::vector<std::string>& expected, std::time_t from,
                        std::time_t to) {
    const auto times = TimesBetween(from, to);
    std::string problems;
    for (std::size_t i = 0; i < std::max(lines.size(), expected.size()); ++i)
        problems += Mismatch(i < lines.size() ? lines[i] : "(none)",
                             i < expected.size() ? expected[i] : "(none)", times);
    return problems;
}

// A child's verdict: its exit status, with the differences on standard error.
int Verdict(const std::string& problems) {
    std::fputs(problems.c_str(), stderr);
    return problems.empty() ? 0 : 1;
}

// Runs in a child process of its own: the sink decides once per process whether standard
// output is a terminal, and here it is a pseudo-terminal in raw mode, so the bytes read back
// are exactly the bytes printed.
int PrintOnTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::fflush(stdout);
    dup2(slave, STDOUT_FILENO);
    fcntl(master, F_SETFL, O_NONBLOCK);

    TempDir dir;
    InstallPlugin(dir, "bus_plain", "plugins", "CameraDriver.so");
    constexpr uint32_t kCamera = 0x00330000;  // bus_plain's identifier
    constexpr uint32_t kUnknown = 0x00770000;
    constexpr uint32_t kQuiet = 0x00780000;
    // Levels of an unknown module and the colours of their lines; 0: printed without colour.
    const std::pair<int32_t, int> kLevelColours[] = {{24, 5}, {25, 2}, {49, 2},  {50, 3},  {74, 3},
                                                     {75, 1}, {99, 1}, {100, 1}, {101, 0}, {-3, 0}};
    const std::time_t from = std::time(nullptr);
    {
        SinkCore core(dir / "dvrcore");
        core.moduleNames[DVR_CORE_ID] = "core";
        core.logLevels.Set(DVR_MODULE_NUMBER(kQuiet), 70);
        core.LoadPlugins();
        Raise(LogMessage(DVR_CORE_ID, 60, "warning from the core"));
        Raise(LogMessage(kCamera, 0, "from the camera"));
        for (const auto& [level, colour] : kLevelColours)
            Raise(LogMessage(kUnknown, level, ("level " + std::to_string(level)).c_str()));
        Raise(LogMessage(kUnknown, 50, nullptr));
        Raise(LogMessage(kQuiet, 60, "below the module level"));
        Raise(LogMessage(kQuiet, 70, "at the module level"));
        std::fflush(stdout);
        core.UnloadPlugins();
    }
    const std::time_t to = std::time(nullptr);
    std::vector<std::string> expected{
        Coloured(5, "core  ", "Core: Loaded plugin: CameraDriver.so"),
        Coloured(3, "core  ", "warning from the core"),
        Coloured(5, "camera", "from the camera"),
    };
    for (const auto& [level, colour] : kLevelColours) {
        const std::string text = "level " + std::to_string(level);
        expected.push_back(colour != 0 ? Coloured(colour, "?     ", text) : Plain("?     ", text));
    }
    expected.push_back(Coloured(3, "?     ", "at the module level"));
    return Verdict(Differences(SplitLines(ReadAvailable(master), "\n"), expected, from, to));
}

// Runs in a child process of its own, with standard output a pipe.
int PrintWithoutTerminal() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 2;
    std::fflush(stdout);
    dup2(pipeFds[1], STDOUT_FILENO);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    TempDir dir;
    SinkCore core(dir / "dvrcore");
    TakeSyslogCalls();
    Raise(LogMessage(0x00400000, 100, "critical"));
    Raise(LogMessage(0x00400000, 50, "warning"));
    std::fflush(stdout);
    const std::string printed = ReadAvailable(pipeFds[0]);
    const SyslogCalls calls = TakeSyslogCalls();
    std::string problems;
    if (!printed.empty()) problems += "printed [" + printed + "]\n";
    if (calls != SyslogCalls{{LOG_CRIT, "critical"}}) problems += "wrong system log calls\n";
    return Verdict(problems);
}

// Each runs in a child process of its own, which ends with the child's verdict.
struct SinkChild {
    const char* name;
    int (*run)();
};

class LogSinkDeathTest : public ::testing::TestWithParam<SinkChild> {};

TEST_P(LogSinkDeathTest, PrintsWhatTheTerminalOrItsAbsenceCallsFor) {
    if (UnderEmulation())
        GTEST_SKIP() << "a threadsafe death test re-executes the test program, which an emulated "
                        "process cannot";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(GetParam().run()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, LogSinkDeathTest,
    ::testing::Values(
        SinkChild{"ColouredLinesWithUtcTimeAndSixColumnNamesOnATerminal", PrintOnTerminal},
        SinkChild{"NothingWithoutATerminalButStillTheSystemLog", PrintWithoutTerminal}),
    [](const ::testing::TestParamInfo<SinkChild>& info) { return info.param.name; });

TEST(LogSink, CoreExecutablePrintsItsOwnLinesInColourOnATerminal) {
    TempDir dir;
    InstallCore(dir);
    InstallPlugin(dir, "alpha");
    InstallPlugin(dir, "duplicate");  // alpha's identifier again
    WriteFile(dir / "plugins/broken.so", "not a shared object");
    const std::time_t from = std::time(nullptr);
    const CoreRun run = StartAndStop(dir, SIGTERM);
    const std::time_t to = std::time(nullptr);
    EXPECT_TRUE(run.started) << run.output;
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;

    // The terminal turns each line end into CR LF. Lines of the loader's failure carry the
    // dynamic loader's text, which is not ours to fix: compare up to it.
    const std::string failure = "Core: Failed to load plugin 'broken.so': ";
    std::vector<std::string> lines;
    for (std::string line : SplitLines(run.output, "\r\n")) {
        const std::size_t at = line.find(failure);
        lines.push_back(at == std::string::npos ? line : line.substr(0, at + failure.size()));
    }
    const std::vector<std::string> expected{
        Coloured(5, "core  ", "Core: Loaded plugin: alpha.so"),
        Coloured(1, "core  ", failure),
        Coloured(5, "core  ", "Core: Loaded plugin: duplicate.so"),
        Coloured(3, "core  ", "plugin duplicate.so ID 0x00100000 already loaded"),
        Coloured(2, "core  ", "successfully started core version 19.12.6.0"),
        Coloured(2, "core  ", "stopping core version 19.12.6.0..."),
    };
    EXPECT_EQ(Differences(lines, expected, from, to), "") << run.output;
}

}  // namespace
}  // namespace testkit
