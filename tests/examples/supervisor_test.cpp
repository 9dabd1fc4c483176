// The example supervisor end to end, starting the real core with the example plugins. The demo
// runs it for a few seconds and stops it; the console output and the working directory then
// tell what happened. The top view, with the supervisor on a terminal of its own, shows the
// core's statistics in place, with the terminal taking keys one by one, until a key is
// pressed; then the terminal is as before and the supervisor goes on taking commands.
#include <signal.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "support/testkit.h"

namespace testkit {
namespace {

#if defined(EXAMPLE_SUPERVISOR) && defined(EXAMPLE_PLUGIN_DIR)

namespace fs = boost::filesystem;
using std::chrono::seconds;

struct DemoRun {
    TempDir dir;
    std::string output;  // the supervisor's console, which the core shares
    int status = -1;     // the supervisor's wait status; it exits as the core did
    std::string Work(const std::string& name) const { return dir / "work/" + name; }
};

// The example supervisor, with `options`, and the example plugins beside a copy of the core,
// as scripts/run.sh lays them out.
Child SpawnSupervisor(const TempDir& dir, std::vector<std::string> options, bool terminalInput) {
    InstallCore(dir);
    for (fs::directory_iterator it(EXAMPLE_PLUGIN_DIR), end; it != end; ++it)
        if (it->path().extension() == ".so") CopyPlugin(dir, it->path().string());
    options.insert(options.begin(), {"--core", dir / "dvrcore"});
    // An emulated supervisor cannot start an emulated core by itself: hand it the launcher.
    if (UnderEmulation()) options.insert(options.end(), {"--launcher", DVRCORE_LAUNCHER});
    return Spawn(EXAMPLE_SUPERVISOR, options, dir / "work", {}, terminalInput);
}

std::unique_ptr<DemoRun> RunDemo() {
    auto run = std::make_unique<DemoRun>();
    Child child = SpawnSupervisor(run->dir, {"--seconds", "5", "--demo"}, false);
    run->status = child.Wait(std::chrono::seconds(90));
    run->output = child.output;
    return run;
}

void ExpectCleanExit(const DemoRun& run) {
    ASSERT_NE(run.status, -1) << "the demo did not end in time:\n" << run.output;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_NE(run.output.find("the core exited with status 0"), std::string::npos) << run.output;
    // The core's stop line shows that its log reaches this output, where a leak would too.
    EXPECT_NE(run.output.find("stopping core version"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("leaked by plugin"), std::string::npos) << run.output;
}

// Each index line: sequence, K or D, offset, length, source; the lengths add up to the data.
void ExpectRecording(const DemoRun& run) {
    const std::vector<std::string> index = LinesWith(ReadFile(run.Work("recording.idx")), "");
    ASSERT_FALSE(index.empty()) << run.output;
    EXPECT_NE(index.front().find(" K "), std::string::npos) << index.front();
    uint64_t total = 0;
    for (const std::string& line : index) {
        std::istringstream words(line);
        uint64_t sequence = 0, offset = 0, length = 0;
        std::string kind;
        ASSERT_TRUE(words >> sequence >> kind >> offset >> length) << line;
        EXPECT_EQ(offset, total) << line;
        total += length;
    }
    EXPECT_EQ(fs::file_size(run.Work("recording.bin")), total);
}

// One run serves every check: the demo takes seconds.
TEST(Demo, RunsAndStopsCleanly) {
    const std::unique_ptr<DemoRun> run = RunDemo();
    ExpectCleanExit(*run);
    ExpectRecording(*run);
    const std::string log = ReadFile(run->Work("scribe.log"));
    EXPECT_NE(log.find("successfully started core version"), std::string::npos) << log;
    EXPECT_NE(log.find("streaming 10 frames per second"), std::string::npos) << log;
    // The admin plugin answers the demo's first command, a status request.
    EXPECT_NE(run->output.find("message from module 0x053 (type 0x20): admin:"), std::string::npos)
        << run->output;
    const std::string document = ReadFile(run->Work("plugins.xml"));
    for (const char* plugin : {"camera.so", "recorder.so", "scribe.so", "admin.so"})
        EXPECT_NE(document.find(std::string("Filename=\"") + plugin + "\""), std::string::npos)
            << plugin << " missing from\n"
            << document;
    EXPECT_NE(document.find("example-supervisor"), std::string::npos) << document;
}

// ---- The top view ----------------------------------------------------------------------------

// Whatever happens in the test, the supervisor stops its core before it goes.
struct StopsAtExit {
    Child& run;
    ~StopsAtExit() {
        if (run.outFd < 0) return;
        kill(run.pid, SIGTERM);
        if (run.Wait(seconds(60)) == -1) ADD_FAILURE() << "the supervisor had to be killed";
    }
};

// The view clears the screen before each drawing.
constexpr const char* kClear = "\x1b[H\x1b[2J";

std::vector<std::string> ScreenLines(const std::string& text) {
    Lines lines = LinesWith(text, "");
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r') line.pop_back();
    return lines;
}

// The last drawing that the next one has followed, so that it is whole; empty before that.
std::vector<std::string> LastWholeScreen(const std::string& output, std::size_t from) {
    const std::size_t last = output.rfind(kClear);
    if (last == std::string::npos || last <= from) return {};
    const std::size_t before = output.rfind(kClear, last - 1);
    if (before == std::string::npos || before < from) return {};
    const std::size_t start = before + std::char_traits<char>::length(kClear);
    return ScreenLines(output.substr(start, last - start));
}

// The statistics table: the line above the column titles, and the rows under them.
struct Table {
    std::string header;
    std::vector<std::string> rows;
};

// `said`: lines of `stats`, each after the supervisor's prefix, with the core's own lines
// perhaps among them. Otherwise a screen of the view, where a blank line ends the table.
bool FindTable(const std::vector<std::string>& lines, bool said, Table* table) {
    static const std::string prefix = "[supervisor]\x1b[0m ";
    *table = Table();
    std::string previous;
    bool titled = false;
    for (const std::string& line : lines) {
        std::string text = line;
        if (said) {
            const std::size_t at = line.find(prefix);
            if (at == std::string::npos) continue;
            text = line.substr(at + prefix.size());
        }
        if (!titled) {
            titled = text.find("WRITES/S") != std::string::npos;
            if (titled) table->header = previous;
            previous = text;
            continue;
        }
        if (text.empty()) break;
        table->rows.push_back(text);
    }
    return titled;
}

// A plugin's row: name, writes/s, busy, failures, kept, kept bytes (number and unit), raised/s,
// refused/s.
struct Row {
    std::string writes, busy, failures, kept, keptBytes, raised, refused;
};

bool FindRow(const Table& table, const std::string& name, Row* row) {
    for (const std::string& line : table.rows) {
        std::istringstream words(line);
        std::string first, number, unit;
        if (!(words >> first) || first != name) continue;
        if (!(words >> row->writes >> row->busy >> row->failures >> row->kept >> number >> unit >>
              row->raised >> row->refused))
            return false;
        row->keptBytes = number + " " + unit;
        return true;
    }
    return false;
}

bool Positive(const std::string& rate) {
    return !rate.empty() && rate != "-" && std::strtod(rate.c_str(), nullptr) > 0;
}

TEST(Top, ShowsTheCoreLiveUntilAKeyIsPressed) {
    TempDir dir;
    Child run = SpawnSupervisor(dir, {}, true);
    const StopsAtExit stops{run};
    ASSERT_TRUE(run.WaitForOutput(kStarted)) << run.output;
    const tcflag_t typing = run.LocalModes();
    ASSERT_TRUE((typing & ICANON) != 0 && (typing & ECHO) != 0);

    const std::size_t topAt = run.output.size();
    run.Type("top\n");
    // Rates need two answers. From then on the camera raises frames and the recorder, which
    // takes them, is written to; the camera has no Write and keeps nothing.
    std::vector<std::string> screen;
    Table table;
    Row camera, recorder;
    const bool shown = run.WaitUntil(
        [&] {
            screen = LastWholeScreen(run.output, topAt);
            return FindTable(screen, false, &table) && FindRow(table, "camera.so", &camera) &&
                   Positive(camera.raised) && FindRow(table, "recorder.so", &recorder) &&
                   Positive(recorder.writes);
        },
        seconds(60));
    ASSERT_TRUE(shown) << run.output.substr(topAt);
    std::ostringstream shot;
    for (const std::string& line : screen) shot << line << "\n";
    for (const char* part :
         {"uptime ", "resident ", "throttling ", "queue ", ", peak ", "stalls 0"})
        EXPECT_NE(table.header.find(part), std::string::npos) << part << " in\n" << shot.str();
    EXPECT_EQ(camera.writes, "0.0") << shot.str();
    EXPECT_EQ(camera.failures, "0") << shot.str();
    EXPECT_EQ(camera.kept, "0") << shot.str();
    EXPECT_EQ(camera.keptBytes, "0 B") << shot.str();
    Row other;
    EXPECT_TRUE(FindRow(table, "scribe.so", &other)) << shot.str();
    EXPECT_TRUE(FindRow(table, "admin.so", &other)) << shot.str();
    // While the view is open a key needs no Enter and is not echoed.
    EXPECT_EQ(run.LocalModes() & (ICANON | ECHO), 0u);

    const std::size_t keyAt = run.output.size();
    run.Type("q");
    ASSERT_TRUE(run.WaitForOutput("left the top view", keyAt)) << run.output.substr(keyAt);
    EXPECT_EQ(run.LocalModes(), typing);

    // The key was the view's: the next line is a command of its own.
    const std::size_t statsAt = run.output.size();
    run.Type("stats\n");
    Row averaged;
    ASSERT_TRUE(run.WaitUntil(
        [&] {
            return FindTable(ScreenLines(run.output.substr(statsAt)), true, &table) &&
                   FindRow(table, "camera.so", &averaged);
        },
        seconds(60)))
        << run.output.substr(statsAt);
    EXPECT_EQ(averaged.writes, "0.0");

    run.Type("stop\n");
    const int status = run.Wait(seconds(60));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << run.output;
    EXPECT_NE(run.output.find("the core exited with status 0"), std::string::npos) << run.output;
    // The core's last line, relayed before the supervisor says how it ended.
    EXPECT_LT(run.output.find("stopping core version"),
              run.output.find("the core exited with status 0"));
}

#else

TEST(ExampleSupervisor, NeedsTheExamples) {
    GTEST_SKIP() << "configured with DVRCORE_EXAMPLES=OFF: no example supervisor to run";
}

#endif

}  // namespace
}  // namespace testkit
