// The top view end to end: the example supervisor on a terminal of its own starts the real core
// with the example plugins; `top` shows the core's statistics in place, with the terminal taking
// keys one by one, until a key is pressed; then the terminal is as before and the supervisor
// goes on taking commands.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/testkit.h"

namespace {

#if defined(EXAMPLE_SUPERVISOR) && defined(EXAMPLE_PLUGIN_DIR)

namespace fs = boost::filesystem;
using std::chrono::seconds;

// Whatever happens in the test, the supervisor stops its core before it goes.
struct StopsAtExit {
    testkit::Child& run;
    ~StopsAtExit() {
        if (run.outFd < 0) return;
        kill(run.pid, SIGTERM);
        if (run.Wait(seconds(60)) == -1) ADD_FAILURE() << "the supervisor had to be killed";
    }
};

bool WaitUntil(testkit::Child& run, const std::function<bool()>& condition) {
    return testkit::WaitFor(
        [&] {
            run.Drain();
            return condition();
        },
        seconds(60));
}

// The view clears the screen before each drawing.
constexpr const char* kClear = "\x1b[H\x1b[2J";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The last drawing that the next one has followed, so that it is whole; empty before that.
std::vector<std::string> LastWholeScreen(const std::string& output, std::size_t from) {
    const std::size_t last = output.rfind(kClear);
    if (last == std::string::npos || last <= from) return {};
    const std::size_t before = output.rfind(kClear, last - 1);
    if (before == std::string::npos || before < from) return {};
    const std::size_t start = before + std::char_traits<char>::length(kClear);
    return Lines(output.substr(start, last - start));
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
    testkit::TempDir dir;
    testkit::InstallCore(dir);
    for (fs::directory_iterator it(EXAMPLE_PLUGIN_DIR), end; it != end; ++it) {
        if (it->path().extension() == ".so")
            fs::copy_file(it->path(), fs::path(dir / "plugins") / it->path().filename());
    }
    std::vector<std::string> args{"--core", dir / "dvrcore"};
    // An emulated supervisor cannot start an emulated core by itself: hand it the launcher.
    if (testkit::UnderEmulation()) args.insert(args.end(), {"--launcher", DVRCORE_LAUNCHER});
    testkit::Child run = testkit::Spawn(EXAMPLE_SUPERVISOR, args, dir / "work", {}, true);
    const StopsAtExit stops{run};
    ASSERT_TRUE(run.WaitForOutput(testkit::kStarted)) << run.output;
    const tcflag_t typing = run.LocalModes();
    ASSERT_TRUE((typing & ICANON) != 0 && (typing & ECHO) != 0);

    const std::size_t topAt = run.output.size();
    run.Type("top\n");
    // Rates need two answers. From then on the camera raises frames and the recorder, which
    // takes them, is written to; the camera has no Write and keeps nothing.
    std::vector<std::string> screen;
    Table table;
    Row camera, recorder;
    const bool shown = WaitUntil(run, [&] {
        screen = LastWholeScreen(run.output, topAt);
        return FindTable(screen, false, &table) && FindRow(table, "camera.so", &camera) &&
               Positive(camera.raised) && FindRow(table, "recorder.so", &recorder) &&
               Positive(recorder.writes);
    });
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
    ASSERT_TRUE(WaitUntil(run, [&] {
        return FindTable(Lines(run.output.substr(statsAt)), true, &table) &&
               FindRow(table, "camera.so", &averaged);
    }))
        << run.output.substr(statsAt);
    EXPECT_EQ(averaged.writes, "0.0");

    run.Type("stop\n");
    const int status = run.Wait(seconds(60));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << run.output;
    EXPECT_NE(run.output.find("the core exited with status 0"), std::string::npos)
        << run.output;
    // The core's last line, relayed before the supervisor says how it ended.
    EXPECT_LT(run.output.find("stopping core version"),
              run.output.find("the core exited with status 0"));
}

#else

TEST(Top, NeedsTheExamples) {
    GTEST_SKIP() << "configured with DVRCORE_EXAMPLES=OFF: no example supervisor to run";
}

#endif

}  // namespace
