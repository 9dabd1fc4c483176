// Finding, ordering, loading and opening plugins, through the real loader and real shared
// objects laid out as on the device.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>

#include "plugins/plugin_paths.h"
#include "support/test_core.h"

namespace testkit {
namespace {

namespace fs = boost::filesystem;

std::string Loaded(const std::string& fileName) { return "0 Core: Loaded plugin: " + fileName; }

class Loader : public PluginHostTest {
protected:
    Lines LoadedLines() const { return core->CoreLines("Core: Loaded plugin: "); }
    // A file that is no shared object at all.
    void WriteGarbage(const std::string& fileName, const std::string& subdir = "plugins") {
        fs::create_directories(dir / subdir);
        WriteFile(PathOf(fileName, subdir), "not a shared object in " + subdir);
    }
};

// ---- Order ------------------------------------------------------------------------------------

class MarkedPlugin : public Loader, public ::testing::WithParamInterface<const char*> {};

TEST_P(MarkedPlugin, LoadsFirstThenPluginsThenProtectedPluginsInByteOrder) {
    Install("alpha", "protected-plugins", "b.so");
    Install("beta", "protected-plugins", "a.so");
    Install("gamma", "plugins", "c.so");
    Install("delta", GetParam(), "x_zolmak.so");
    EXPECT_TRUE(core->LoadPlugins());
    EXPECT_EQ(TableNames(), (Lines{"x_zolmak.so", "c.so", "a.so", "b.so"}));
    EXPECT_EQ(LoadedLines(),
              (Lines{Loaded("x_zolmak.so"), Loaded("c.so"), Loaded("a.so"), Loaded("b.so")}));
    EXPECT_EQ(Callers("load"), (Lines{"delta", "gamma", "beta", "alpha"}));
}

INSTANTIATE_TEST_SUITE_P(EitherDirectory, MarkedPlugin,
                         ::testing::Values("plugins", "protected-plugins"));

TEST_F(Loader, SortsFileNamesAsBytesNotAsText) {
    // Upper case before lower, '.' before '_' before letters, a byte above 0x7F last.
    Install("alpha", "plugins", "b.so");
    Install("beta", "plugins", "\xC3\xA9.so");
    Install("gamma", "plugins", "ab.so");
    Install("delta", "plugins", "a.so");
    Install("unsigned_key", "plugins", "B.so");
    Install("signed_key", "plugins", "a_b.so");
    core->LoadPlugins();
    EXPECT_EQ(TableNames(), (Lines{"B.so", "a.so", "a_b.so", "ab.so", "b.so", "\xC3\xA9.so"}));
}

TEST(PluginPathLess, ComparesElementByElementWithPrefixesFirst) {
    // As whole strings "/d/b-c.so" would sort first, since '-' is below '/'.
    EXPECT_TRUE(PluginPathLess("/d/b/c.so", "/d/b-c.so"));
    EXPECT_FALSE(PluginPathLess("/d/b-c.so", "/d/b/c.so"));
    EXPECT_TRUE(PluginPathLess("/d/plugins", "/d/plugins/a.so"));
    EXPECT_TRUE(PluginPathLess("/d/plugins/z.so", "/d/protected-plugins/a.so"));
    EXPECT_FALSE(PluginPathLess("/d/plugins/a.so", "/d/plugins/a.so"));
}

TEST(PluginPathLess, StaysAStrictWeakOrderingWithSeveralMarkedPaths) {
    const std::vector<fs::path> paths{"/d/plugins/zolmak.so",      "/d/protected-plugins/zolmak.so",
                                      "/d/plugins/a_zolmak_b.so",  "/d/zolmak/plugins/x.so",
                                      "/d/plugins/a.so",           "/d/plugins/z.so",
                                      "/d/protected-plugins/a.so", "/d/protected-plugins/B.so"};
    const auto less = PluginPathLess;
    const auto equivalent = [&](const fs::path& a, const fs::path& b) {
        return !less(a, b) && !less(b, a);
    };
    for (const fs::path& a : paths) {
        EXPECT_FALSE(less(a, a)) << a;
        for (const fs::path& b : paths) {
            EXPECT_FALSE(less(a, b) && less(b, a)) << a << " " << b;
            for (const fs::path& c : paths) {
                EXPECT_FALSE(less(a, b) && less(b, c) && !less(a, c)) << a << b << c;
                EXPECT_FALSE(equivalent(a, b) && equivalent(b, c) && !equivalent(a, c))
                    << a << b << c;
            }
        }
    }
    std::vector<fs::path> sorted(paths.rbegin(), paths.rend());
    std::sort(sorted.begin(), sorted.end(), PluginPathLess);
    const std::vector<fs::path> unmarked(sorted.begin() + 4, sorted.end());
    for (auto it = sorted.begin(); it != sorted.begin() + 4; ++it)
        EXPECT_NE(it->string().find("zolmak"), std::string::npos) << *it;
    EXPECT_EQ(unmarked,
              (std::vector<fs::path>{"/d/plugins/a.so", "/d/plugins/z.so",
                                     "/d/protected-plugins/B.so", "/d/protected-plugins/a.so"}));
}

// ---- Directory oddities -----------------------------------------------------------------------

TEST_F(Loader, TakesOnlyRegularFilesEndingInDotSoAndFollowsLinks) {
    fs::create_directories(PathOf("x.so"));
    fs::create_directories(PathOf("sub"));
    Install("alpha", "plugins", "x.so.1");
    Install("beta", "plugins", "X.SO");
    Install("gamma", "plugins/sub", "deep.so");
    Install("delta", "store", "delta.so");
    fs::create_symlink("../store/delta.so", PathOf("y.so"));
    fs::create_directories(dir / "protected-plugins");
    fs::create_symlink("../store/missing.so", PathOf("dangling.so", "protected-plugins"));
    EXPECT_TRUE(core->LoadPlugins());
    EXPECT_EQ(TableNames(), Lines{"y.so"});
    EXPECT_EQ(core->CoreLines(), Lines{Loaded("y.so")});
    EXPECT_TRUE(core->failedPlugins.empty());
    EXPECT_EQ(core->moduleNames.at(0x00130000u), "y");
}

TEST_F(Loader, MissingDirectoriesLoadNothingAndSayNothing) {
    WriteFile(dir / "plugins", "a file where the directory should be");
    EXPECT_FALSE(core->LoadPlugins());
    EXPECT_TRUE(core->plugins.empty());
    EXPECT_TRUE(core->Lines().empty());
    EXPECT_TRUE(core->failedPlugins.empty());
}

TEST_F(Loader, LoadsFromProtectedPluginsAlone) {
    Install("alpha", "protected-plugins");
    EXPECT_TRUE(core->LoadPlugins());
    EXPECT_EQ(TableNames(), Lines{"alpha.so"});
}

// ---- Refusals ---------------------------------------------------------------------------------

TEST_F(Loader, RecordsAFileThatCannotBeMapped) {
    WriteGarbage("garbage.so");
    void* handle = dlopen(PathOf("garbage.so").c_str(), RTLD_NOW);
    ASSERT_EQ(handle, nullptr);
    const std::string reason = dlerror();
    EXPECT_FALSE(core->LoadPlugins());
    EXPECT_EQ(core->CoreLines(), Lines{"100 Core: Failed to load plugin 'garbage.so': " + reason});
    EXPECT_EQ(core->failedPlugins, (std::map<std::string, std::string>{{"garbage.so", reason}}));
}

TEST_F(Loader, KeepsTheLaterReasonForTheSameFileNameInBothDirectories) {
    WriteGarbage("same.so");
    WriteGarbage("same.so", "protected-plugins");
    core->LoadPlugins();
    ASSERT_EQ(core->failedPlugins.size(), 1u);
    const std::string reason = core->failedPlugins.at("same.so");
    EXPECT_NE(reason.find(PathOf("same.so", "protected-plugins")), std::string::npos) << reason;
    EXPECT_EQ(core->CoreLines("Failed to load plugin 'same.so'").size(), 2u);
}

struct Refusal {
    const char* plugin;
    const char* message;  // "<level> <text>" after the Loaded line
    bool loadCalled;
};

// Names the generated test cases (and keeps addresses out of them).
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.plugin; }

class RefusedPlugin : public Loader, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedPlugin, IsLoggedReleasedAndNeverCalledAgain) {
    const std::string fileName = std::string(GetParam().plugin) + ".so";
    Install(GetParam().plugin);
    EXPECT_FALSE(core->LoadPlugins());
    EXPECT_EQ(core->CoreLines(), (Lines{Loaded(fileName), GetParam().message}));
    EXPECT_FALSE(Mapped(PathOf(fileName)));
    EXPECT_TRUE(core->moduleNames.empty());
    EXPECT_TRUE(core->failedPlugins.empty());
    core->OpenPlugins();
    CloseAndUnload();
    EXPECT_EQ(JournalOf(GetParam().plugin), GetParam().loadCalled ? Lines{LoadEntry()} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(
    EveryReason, RefusedPlugin,
    ::testing::Values(
        Refusal{"no_load", "100 Core: Failed to load plugin: no_load.so (missing symbol)", false},
        Refusal{"load_fails", "100 plugin load_fails.so load returned 7 error 0", true},
        Refusal{"load_error", "100 plugin load_error.so load returned 0 error 3", true},
        Refusal{"module256",
                "100 plugin module256.so ID 0x01000000 exceeds the log level array size, set "
                "LogLevelArraySize to 0xfff",
                true}));

// A second plugin with alpha's identifier, from either directory, is refused after its Load.
class DuplicateIdentifier
    : public Loader,
      public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(DuplicateIdentifier, IsRefusedAndReleasedWhileTheFirstStays) {
    const auto [plugin, subdir] = GetParam();
    const std::string fileName = std::string(plugin) + ".so";
    Install("alpha");
    Install(plugin, subdir);
    EXPECT_TRUE(core->LoadPlugins());
    EXPECT_EQ(TableNames(), Lines{"alpha.so"});
    EXPECT_EQ(core->CoreLines(),
              (Lines{Loaded("alpha.so"), Loaded(fileName),
                     "50 plugin " + fileName + " ID 0x00100000 already loaded"}));
    EXPECT_TRUE(Mapped(PathOf("alpha.so")));
    EXPECT_FALSE(Mapped(PathOf(fileName, subdir)));
}

INSTANTIATE_TEST_SUITE_P(SameIdOrSameFile, DuplicateIdentifier,
                         ::testing::Values(std::make_pair("duplicate", "plugins"),
                                           std::make_pair("alpha", "protected-plugins")));

// The core's own identifier is entered by Init, so only the real process shows the refusal.
TEST(LoaderProcess, RefusesAPluginThatClaimsTheCoresIdentifier) {
    TempDir dir;
    InstallCore(dir);
    InstallPlugin(dir, "core_id");
    InstallPlugin(dir, "alpha");
    const CoreRun run = StartAndStop(dir, SIGTERM);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_NE(run.output.find("plugin core_id.so ID 0x80000000 already loaded"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("plugin alpha.so ID"), std::string::npos) << run.output;
}

// ---- Identifiers, levels and names ------------------------------------------------------------

// Every entry of both level tables, as "<module>:<log>/<default>" for those not both unset.
Lines SetLevels(TestCore& core) {
    Lines set;
    for (uint32_t m = 0; m < LevelTable::kSize; ++m) {
        const int32_t log = core.logLevels.Get(m);
        const int32_t fallback = core.defaultLogLevels.Get(m);
        if (log != -1 || fallback != -1)
            set.push_back(std::to_string(m) + ":" + std::to_string(log) + "/" +
                          std::to_string(fallback));
    }
    return set;
}

TEST_F(Loader, AcceptsModuleNumber255AndIgnoresBitsAbove27WithoutTouchingLevels) {
    Install("module255");  // declares default level 30
    Install("high_bits");  // 0xF01C0000: module number 0x1C
    EXPECT_TRUE(core->LoadPlugins());
    EXPECT_EQ(TableNames(), (Lines{"high_bits.so", "module255.so"}));
    EXPECT_TRUE(SetLevels(*core).empty());
    EXPECT_EQ(core->moduleNames.at(0x00FF0000u), "module255");
    EXPECT_EQ(core->moduleNames.at(0xF01C0000u), "high_bits");
}

struct LevelCase {
    const char* plugin;
    uint32_t module;
    int32_t configured;  // the module's entry of the log level table before loading, or -1
    Lines levels;        // as SetLevels reports them afterwards
};

void PrintTo(const LevelCase& level, std::ostream* out) {
    *out << level.plugin << (level.configured == -1 ? "" : " configured ")
         << (level.configured == -1 ? "" : std::to_string(level.configured));
}

class DefaultLevel : public Loader, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(DefaultLevel, FillsOnlyWhatConfigurationLeftUnset) {
    if (GetParam().configured != -1) core->logLevels.Set(GetParam().module, GetParam().configured);
    Install(GetParam().plugin);
    ASSERT_TRUE(core->LoadPlugins());
    EXPECT_EQ(SetLevels(*core), GetParam().levels);
}

INSTANTIATE_TEST_SUITE_P(Declared, DefaultLevel,
                         ::testing::Values(LevelCase{"level40", 0x19, -1, {"25:40/40"}},
                                           LevelCase{"level40", 0x19, 20, {"25:20/40"}},
                                           LevelCase{"level_minus1", 0x1A, 20, {"26:20/-1"}},
                                           LevelCase{"level_minus1", 0x1A, -1, {}},
                                           LevelCase{"level101", 0x1B, -1, {}},
                                           LevelCase{"ld_level_minus2", 0x24, -1, {}},
                                           LevelCase{"gamma", 0x12, -1, {}},
                                           LevelCase{"core_module", 0, -1, {"0:30/30"}}));

TEST_F(Loader, NamesEachModuleByTheLowerCaseStemOfItsFile) {
    Install("alpha", "plugins", "LibCam.so");
    Install("beta", "plugins", "a.b.so");
    core->LoadPlugins();
    EXPECT_EQ(core->moduleNames,
              (std::map<uint32_t, std::string>{{0x00100000u, "libcam"}, {0x00110000u, "a.b"}}));
    EXPECT_EQ(TableNames(), (Lines{"LibCam.so", "a.b.so"}));
}

class FrontPlugin : public Loader, public ::testing::WithParamInterface<const char*> {};

TEST_P(FrontPlugin, StandsFirstWhereverItsFileSorts) {
    Install("alpha", "plugins", "b.so");
    Install("beta", "plugins", "c.so");
    Install("gamma", "protected-plugins", "n.so");
    Install("front", "plugins", GetParam());
    core->LoadPlugins();
    std::vector<uint32_t> ids;
    for (const PLUGININFO& plugin : core->plugins) ids.push_back(plugin.id());
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x00060000u, 0x00100000u, 0x00110000u, 0x00120000u}));
}

INSTANTIATE_TEST_SUITE_P(LoadedFirstMiddleOrLast, FrontPlugin,
                         ::testing::Values("a.so", "m.so", "z.so"));

// ---- Timing and opening -----------------------------------------------------------------------

// A clock that moves on by `step` at every reading, so each timed call takes exactly `step`.
class SteppingCore : public TestCore {
public:
    SteppingCore(const TempDir& dir, std::chrono::nanoseconds step) : TestCore(dir), step(step) {}
    TimePoint now() override { return TimePoint(step * ++readings); }

private:
    const std::chrono::nanoseconds step;
    std::atomic<int64_t> readings{0};
};

class CallTiming : public Loader,
                   public ::testing::WithParamInterface<std::pair<int64_t, int64_t>> {
protected:
    std::unique_ptr<TestCore> MakeCore() override {
        return std::make_unique<SteppingCore>(dir, std::chrono::nanoseconds(GetParam().first));
    }
};

TEST_P(CallTiming, TruncatesToWholeMilliseconds) {
    Install("alpha");
    Install("open_fails");
    LoadAndOpen();
    ASSERT_EQ(core->plugins.size(), 2u);
    for (const PLUGININFO& plugin : core->plugins) {
        EXPECT_EQ(plugin.loadTimeMs, GetParam().second) << plugin.fileName;
        EXPECT_EQ(plugin.openTimeMs, GetParam().second) << plugin.fileName;
    }
}

INSTANTIATE_TEST_SUITE_P(Durations, CallTiming,
                         ::testing::Values(std::make_pair(int64_t{1999999}, int64_t{1}),
                                           std::make_pair(int64_t{999999}, int64_t{0}),
                                           std::make_pair(int64_t{2000000}, int64_t{2})));

TEST_F(Loader, OpensInTableOrderAndKeepsOnlyTheResult) {
    Install("alpha", "plugins", "a.so");
    Install("open_fails", "plugins", "b.so");
    Install("front", "protected-plugins", "z.so");
    core->LoadPlugins();
    for (const PLUGININFO& plugin : core->plugins) EXPECT_EQ(plugin.openCode, 0);
    const std::size_t linesBefore = core->Lines().size();
    core->OpenPlugins();
    EXPECT_EQ(Callers("open"), (Lines{"front", "alpha", "open_fails"}));
    EXPECT_EQ(core->Lines().size(), linesBefore);
    EXPECT_EQ(TableNames(), (Lines{"z.so", "a.so", "b.so"}));
    EXPECT_EQ(core->plugins[0].openCode, 0);
    EXPECT_EQ(core->plugins[2].openCode, 5);
}

// The worker and reader threads that the core runs for plugins that ask for them; closing and
// unloading: the close order, the messages, the joins before each Unload and the one library
// that stays mapped.

const std::string kLoad = LoadEntry();

using PluginThreads = PluginHostTest;

TEST_F(PluginThreads, WorkerMakesOneIoctlOnItsOwnThreadWithoutWaitingForOpen) {
    TakeGated("threads", "threads");  // wants a worker and a reader
    Install("alpha");                 // exports IOCTL but wants no worker
    core->LoadPlugins();
    ASSERT_TRUE(gate.WaitEntered("threads worker"));
    EXPECT_NE(gate.CallerOf("threads worker"), std::this_thread::get_id());
    EXPECT_EQ(JournalOf("threads"), (Lines{kLoad, "ioctl 1"}));
    EXPECT_TRUE(core->plugins.back().workerThread.joinable());

    // Open does not wait for the worker's call to end.
    core->OpenPlugins();
    EXPECT_EQ(JournalOf("threads"), (Lines{kLoad, "ioctl 1", "open 0"}));
    gate.Open("threads worker");
    gate.Open("threads read");
    core->StartReaderThreads();
    CloseAndUnload();
    EXPECT_EQ(Callers("ioctl"), Lines{"threads"});
}

TEST_F(PluginThreads, ReaderReadsOnceWithoutDataOnItsOwnThread) {
    TakeGated("reader", "reader");  // wants a reader
    Install("alpha");               // exports Read but wants no reader
    LoadAndOpen();
    EXPECT_TRUE(Callers("read").empty());
    core->StartReaderThreads();
    ASSERT_TRUE(gate.WaitEntered("reader read"));
    EXPECT_NE(gate.CallerOf("reader read"), std::this_thread::get_id());
    EXPECT_TRUE(Find("reader.so")->readerThread.joinable());
    EXPECT_FALSE(Find("alpha.so")->readerThread.joinable());
    gate.Open("reader read");
    CloseAndUnload();
    // "read" is the journal's word for a Read with a null data pointer; 0 is its length.
    EXPECT_EQ(Callers("read"), Lines{"reader"});
    EXPECT_EQ(Callers("read", "0"), Lines{"reader"});
    EXPECT_TRUE(Callers("request").empty());
}

TEST_F(PluginThreads, PluginWithOnlyLoadGetsNoThreadsAndNoOtherCalls) {
    Install("load_only");  // asks for a worker and a reader, exports Load alone
    ASSERT_TRUE(core->LoadPlugins());
    EXPECT_FALSE(core->plugins[0].workerThread.joinable());
    core->OpenPlugins();
    core->StartReaderThreads();
    EXPECT_FALSE(core->plugins[0].readerThread.joinable());
    CloseAndUnload();
    EXPECT_EQ(JournalOf("load_only"), Lines{kLoad});
}

using Unloader = PluginHostTest;

TEST_F(Unloader, EmptyTableCallsAndLogsNothing) {
    CloseAndUnload();
    EXPECT_TRUE(core->Lines().empty());
}

TEST_F(Unloader, ClosesAndUnloadsByDescendingSixthMaskComparedUnsigned) {
    // Close keys: alpha 5, beta 9, gamma 1, delta 9, signed_key 0x7FFFFFFF,
    // unsigned_key 0x80000000, open_fails 0 (its Open failed: it is closed all the same).
    for (const char* plugin :
         {"alpha", "beta", "gamma", "delta", "signed_key", "unsigned_key", "open_fails"})
        Install(plugin);
    LoadAndOpen();
    core->ClosePlugins();
    const Lines closed = Callers("close");
    ASSERT_EQ(closed.size(), 7u);
    EXPECT_EQ(Lines(closed.begin(), closed.begin() + 2), (Lines{"unsigned_key", "signed_key"}));
    EXPECT_EQ(std::set<std::string>(closed.begin() + 2, closed.begin() + 4),
              (std::set<std::string>{"beta", "delta"}));
    EXPECT_EQ(Lines(closed.begin() + 4, closed.end()), (Lines{"alpha", "gamma", "open_fails"}));
    EXPECT_TRUE(Callers("unload").empty());

    core->UnloadPlugins();
    EXPECT_EQ(Callers("unload"), closed);
    EXPECT_TRUE(core->plugins.empty());
    EXPECT_TRUE(core->CoreLines("close returned").empty());
    EXPECT_TRUE(core->CoreLines("unload returned").empty());
}

TEST_F(Unloader, LogsFailuresWithTheirNumbersAndGoesOn) {
    Install("close_error");   // Close returns 0 and sets error 3
    Install("unload_fails");  // Unload returns -4 and sets error 2
    Install("alpha");
    LoadAndOpen();
    core->ClosePlugins();
    EXPECT_EQ(core->CoreLines("close returned"),
              Lines{"0 plugin close_error.so close returned 0 error 3"});
    core->UnloadPlugins();
    EXPECT_EQ(core->CoreLines("unload returned"),
              Lines{"0 plugin unload_fails.so unload returned -4 error 2"});
    EXPECT_EQ(Callers("unload").size(), 3u);
    EXPECT_FALSE(Mapped(PathOf("unload_fails.so")));
}

TEST_F(Unloader, KeepsOnlyTheResidentPluginsLibraryMapped) {
    Install("resident");  // identifier 0x00470000
    Install("alpha");
    LoadAndOpen();
    ASSERT_TRUE(Mapped(PathOf("resident.so")));
    ASSERT_TRUE(Mapped(PathOf("alpha.so")));
    CloseAndUnload();
    KeepInodeForProcess(PathOf("resident.so"));
    EXPECT_EQ(JournalOf("resident"), (Lines{LoadEntry(), "open 0", "close 0", "unload 0"}));
    EXPECT_TRUE(Mapped(PathOf("resident.so")));
    EXPECT_FALSE(Mapped(PathOf("alpha.so")));
}

TEST_F(Unloader, JoinsEachPluginsThreadsJustBeforeItsUnload) {
    TakeGated("ld_threads_first", "first");  // close key 2: unloaded first
    TakeGated("threads", "second");          // close key 0
    LoadAndOpen();
    core->StartReaderThreads();
    for (const char* call : {"first read", "first worker", "second read", "second worker"})
        ASSERT_TRUE(gate.WaitEntered(call)) << call;
    core->ClosePlugins();
    InBackground([this] { core->UnloadPlugins(); });

    // The worker ends first; the reader still holds the first plugin's Unload back.
    gate.Open("first worker");
    ASSERT_TRUE(gate.WaitEvent("first worker returns"));
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns"}));
    gate.Open("first read");
    // The first Unload comes while the second plugin's threads are still running.
    ASSERT_TRUE(gate.WaitEvent("first unload"));
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns",
                                    "first read returns", "first unload"}));

    gate.Open("second read");
    ASSERT_TRUE(gate.WaitEvent("second read returns"));
    gate.Open("second worker");
    JoinBackground();
    EXPECT_EQ(gate.Events(), (Lines{"first close", "second close", "first worker returns",
                                    "first read returns", "first unload", "second read returns",
                                    "second worker returns", "second unload"}));
    EXPECT_TRUE(core->plugins.empty());
}

// Request threads are detached, so nothing joins them: the unloader must still not release a
// plugin whose Read one of them is running.
TEST_F(Unloader, WaitsForRequestsStillInsideThePluginBeforeItsUnload) {
    TakeGated("alpha", "first");    // close key 5: unloaded first
    TakeGated("reader", "reader");  // serves direct requests of class 0x1
    LoadAndOpen();
    const char data[] = "abc";
    ASSERT_EQ(Raise(Event(0, DVR_CLASS_0, 5, data, 3)), DVR_RESULT_OK);
    ASSERT_TRUE(gate.WaitEntered("reader read"));
    core->ClosePlugins();
    InBackground([this] { core->UnloadPlugins(); });
    ASSERT_TRUE(gate.WaitEvent("first unload"));
    gate.Open("reader read");
    JoinBackground();
    EXPECT_EQ(gate.Events(), (Lines{"first close", "reader close", "first unload",
                                    "reader read returns", "reader unload"}));
    EXPECT_EQ(Callers("request", "3"), Lines{"reader"});
}

// The binary interface as plugins meet it: the records the core fills for each entry point,
// and which entry points it calls at all over a whole run.

using Fields = std::vector<uint64_t>;

uint64_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// Each record's fields in order, so that padding never takes part in a comparison.
Fields Of(const _OpenParmsIn& r) {
    return {r.size, r.version, r.reserved[0], r.reserved[1], r.reserved[2]};
}
Fields Of(const _OpenParmsOut& r) { return {r.size, r.version, r.reserved[0], r.reserved[1]}; }
Fields Of(const _CloseParmsIn& r) { return {r.size, r.version, r.reserved}; }
Fields Of(const _CloseParmsOut& r) { return {r.size, r.version, uint64_t(int64_t{r.error})}; }
Fields Of(const _UnloadParmsIn& r) { return {r.size, r.version}; }
Fields Of(const _UnloadParmsOut& r) { return {r.size, r.version, uint64_t(int64_t{r.error})}; }
Fields Of(const _ReadParmsIn& r) {
    return {r.size,          r.version,       r.reserved8, r.one,           r.reserved13[0],
            r.reserved13[1], r.reserved13[2], r.length,    Address(r.data), r.tag};
}
Fields Of(const _ReadParmsOut& r) {
    return {r.size, r.version, r.reserved[0], r.reserved[1], r.reserved[2]};
}
Fields Of(const _IoctlParmsIn& r) {
    return {r.size, r.version, r.code, r.kind, r.one, r.length, Address(r.data)};
}
Fields Of(const _IoctlParmsOut& r) {
    return {r.size, r.version, r.code, uint64_t(int64_t{r.error}), r.pending, r.eight, r.one};
}

// What a plugin saw in one call: the fields of both records and the calling thread.
struct Witnessed {
    std::string entry;
    std::pair<Fields, Fields> fields;
    std::thread::id thread;
};

class Interface : public PluginHostTest {
protected:
    template <typename In, typename Out>
    Hook<In, Out> Witnessing(const char* entry) {
        return [this, entry](In* in, Out* out) {
            witness.Add({entry, {Of(*in), Of(*out)}, std::this_thread::get_id()});
            return 0;
        };
    }
    PluginHooks WitnessHooks() {
        PluginHooks hooks;
        hooks.open = Witnessing<_OpenParmsIn, _OpenParmsOut>("open");
        hooks.close = Witnessing<_CloseParmsIn, _CloseParmsOut>("close");
        hooks.unload = Witnessing<_UnloadParmsIn, _UnloadParmsOut>("unload");
        hooks.read = Witnessing<_ReadParmsIn, _ReadParmsOut>("read");
        hooks.ioctl = Witnessing<_IoctlParmsIn, _IoctlParmsOut>("ioctl");
        return hooks;
    }
    // The last call of `entry`; one without an entry name when none came.
    Witnessed Last(const std::string& entry) const {
        Witnessed last;
        for (const Witnessed& call : witness.Items())
            if (call.entry == entry) last = call;
        return last;
    }
    Shared<Witnessed> witness;
};

TEST_F(Interface, CoreFillsEveryRecordItPasses) {
    const Plugin& threads = Take("threads", WitnessHooks());  // a worker and a reader
    LoadAndOpen();
    core->StartReaderThreads();
    ASSERT_TRUE(
        WaitFor([&] { return !Last("ioctl").entry.empty() && !Last("read").entry.empty(); }));
    EXPECT_EQ(threads.EventEntry(), &FlatPluginEvent);
    CloseAndUnload();

    EXPECT_EQ(JournalOf("threads")[0], LoadEntry());
    using Pair = std::pair<Fields, Fields>;
    EXPECT_EQ(Last("open").fields, (Pair{{20, 1, 0, 0, 0}, {16, 1, 0, 0}}));
    EXPECT_EQ(Last("close").fields, (Pair{{12, 1, 0}, {12, 1, 0}}));
    EXPECT_EQ(Last("unload").fields, (Pair{{8, 1}, {12, 1, 0}}));
    EXPECT_EQ(Last("read").fields,
              (Pair{{sizeof(_ReadParmsIn), 1, 0, 1, 0, 0, 0, 0, 0, 0}, {20, 1, 0, 0, 0}}));
    EXPECT_EQ(Last("ioctl").fields,
              (Pair{{sizeof(_IoctlParmsIn), 1, 1, 8, 1, 0, 0}, {28, 1, 1, 0, 0, 8, 1}}));

    const std::thread::id main = std::this_thread::get_id();
    for (const char* entry : {"open", "close", "unload"}) EXPECT_EQ(Last(entry).thread, main);
    EXPECT_NE(Last("read").thread, main);
    EXPECT_NE(Last("ioctl").thread, main);
    EXPECT_NE(Last("read").thread, Last("ioctl").thread);
}

// A whole run: entry points are called only where they exist and where the plugin's flags ask
// for them, and Seek never.
TEST_F(Interface, WholeRunCallsOnlyExportedAndWantedEntryPoints) {
    Install("alpha");          // takes class 0x1 codes up to 0xFF through Write
    Install("no_write_flag");  // its masks take every class 0x1 event, but it wants no Write
    Install("load_only");      // exports Load alone; asks for a worker, a reader and Write
    Install("reader");         // serves direct requests through Read
    core->StartInBackground();
    EXPECT_EQ(Raise(Event(0x00990000u, DVR_CLASS_0, 5)), DVR_RESULT_OK);
    const char request[] = "abc";
    EXPECT_EQ(Raise(Event(0, DVR_CLASS_0, 5, request, 3)), DVR_RESULT_OK);
    ASSERT_TRUE(WaitFor([] { return !Callers("write", "5").empty(); }));
    core->Stop();

    EXPECT_EQ(Callers("write", "5"), (Lines{"alpha", "reader"}));
    const Lines writers = Callers("write");
    EXPECT_EQ(std::count(writers.begin(), writers.end(), "no_write_flag"), 0);
    EXPECT_EQ(Callers("request", "3"), Lines{"reader"});
    EXPECT_TRUE(Callers("seek").empty());
    EXPECT_EQ(JournalOf("load_only"), Lines{LoadEntry()});
    Lines unloaded = Callers("unload");
    std::sort(unloaded.begin(), unloaded.end());
    EXPECT_EQ(unloaded, (Lines{"alpha", "no_write_flag", "reader"}));
}

}  // namespace
}  // namespace testkit
