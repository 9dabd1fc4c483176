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

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// A program on a pseudo-terminal that is its standard input, output and error and its
// controlling terminal, as when someone runs it by hand. testkit::Spawn gives the child a
// terminal for its output only, and the view reads keys from its input.
class TerminalRun {
public:
    TerminalRun(const std::vector<std::string>& argv, const std::string& workDir) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const std::string slave = ptsname(master_);
        const winsize size{40, 120, 0, 0};  // room for the table and some lines under it
        ioctl(master_, TIOCSWINSZ, &size);
        std::vector<std::string> words = argv;
        std::vector<char*> raw;
        for (std::string& word : words) raw.push_back(&word[0]);
        raw.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            setsid();  // a session of its own: the terminal opened next becomes its own
            const int terminal = open(slave.c_str(), O_RDWR);
            if (terminal < 0 || chdir(workDir.c_str()) != 0) _exit(126);
            for (int fd = 0; fd < 3; ++fd) dup2(terminal, fd);
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            execvp(raw[0], raw.data());
            _exit(127);
        }
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }

    // Whatever happens in the test, the supervisor stops its core before it goes.
    ~TerminalRun() {
        if (!ended_) {
            kill(pid_, SIGTERM);
            if (Wait(seconds(60)) == -1) ADD_FAILURE() << "the supervisor had to be killed";
        }
        close(master_);
    }

    void Type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
        return testkit::WaitFor(
            [&] {
                Drain();
                return condition();
            },
            limit);
    }

    bool WaitForText(const std::string& text, std::size_t from = 0) {
        return WaitUntil([&] { return output_.find(text, from) != std::string::npos; },
                         seconds(60));
    }

    // The wait status, or -1 when the program did not end within the limit (it is killed).
    int Wait(std::chrono::milliseconds limit) {
        int status = -1;
        const bool done = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
        if (!done) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status = -1;
        }
        ended_ = true;
        Drain();
        return status;
    }

    // The terminal's modes as the program set them (the master reports its terminal's).
    tcflag_t LocalModes() const {
        termios modes{};
        tcgetattr(master_, &modes);
        return modes.c_lflag;
    }

    const std::string& output() const { return output_; }

private:
    void Drain() {
        char bytes[4096];
        ssize_t n;
        while ((n = read(master_, bytes, sizeof bytes)) > 0)
            output_.append(bytes, static_cast<std::size_t>(n));
    }

    pid_t pid_ = -1;
    int master_ = -1;
    bool ended_ = false;
    std::string output_;
};

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
    std::vector<std::string> argv = Words(DVRCORE_LAUNCHER);
    argv.insert(argv.end(), {EXAMPLE_SUPERVISOR, "--core", dir / "dvrcore"});
    // An emulated supervisor cannot start an emulated core by itself: hand it the launcher.
    if (testkit::UnderEmulation()) argv.insert(argv.end(), {"--launcher", DVRCORE_LAUNCHER});
    TerminalRun run(argv, dir / "work");
    ASSERT_TRUE(run.WaitForText(testkit::kStarted)) << run.output();
    const tcflag_t typing = run.LocalModes();
    ASSERT_TRUE((typing & ICANON) != 0 && (typing & ECHO) != 0);

    const std::size_t topAt = run.output().size();
    run.Type("top\n");
    // Rates need two answers. From then on the camera raises frames and the recorder, which
    // takes them, is written to; the camera has no Write and keeps nothing.
    std::vector<std::string> screen;
    Table table;
    Row camera, recorder;
    const bool shown = run.WaitUntil(
        [&] {
            screen = LastWholeScreen(run.output(), topAt);
            return FindTable(screen, false, &table) && FindRow(table, "camera.so", &camera) &&
                   Positive(camera.raised) && FindRow(table, "recorder.so", &recorder) &&
                   Positive(recorder.writes);
        },
        seconds(60));
    ASSERT_TRUE(shown) << run.output().substr(topAt);
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

    const std::size_t keyAt = run.output().size();
    run.Type("q");
    ASSERT_TRUE(run.WaitForText("left the top view", keyAt)) << run.output().substr(keyAt);
    EXPECT_EQ(run.LocalModes(), typing);

    // The key was the view's: the next line is a command of its own.
    const std::size_t statsAt = run.output().size();
    run.Type("stats\n");
    Row averaged;
    ASSERT_TRUE(run.WaitUntil(
        [&] {
            return FindTable(Lines(run.output().substr(statsAt)), true, &table) &&
                   FindRow(table, "camera.so", &averaged);
        },
        seconds(60)))
        << run.output().substr(statsAt);
    EXPECT_EQ(averaged.writes, "0.0");

    run.Type("stop\n");
    const int status = run.Wait(seconds(60));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << run.output();
    EXPECT_NE(run.output().find("the core exited with status 0"), std::string::npos)
        << run.output();
    // The core's last line, relayed before the supervisor says how it ended.
    EXPECT_LT(run.output().find("stopping core version"),
              run.output().find("the core exited with status 0"));
}

#else

TEST(Top, NeedsTheExamples) {
    GTEST_SKIP() << "configured with DVRCORE_EXAMPLES=OFF: no example supervisor to run";
}

#endif

}  // namespace
