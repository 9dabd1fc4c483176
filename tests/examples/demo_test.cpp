// The demo end to end: the example supervisor starts the real core with the example plugins,
// runs it for a few seconds and stops it; the console output and the working directory then
// tell what happened.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/testkit.h"

namespace testkit {
namespace {

namespace fs = boost::filesystem;

#if defined(EXAMPLE_SUPERVISOR) && defined(EXAMPLE_PLUGIN_DIR)

struct DemoRun {
    TempDir dir;
    std::string output;  // the supervisor's console, which the core shares
    int status = -1;     // the supervisor's wait status; it exits as the core did
    std::string Work(const std::string& name) const { return dir / "work/" + name; }
};

// The example plugins beside a copy of the core, as scripts/run.sh lays them out.
void LayOut(const DemoRun& run) {
    InstallCore(run.dir);
    for (fs::directory_iterator it(EXAMPLE_PLUGIN_DIR), end; it != end; ++it) {
        if (it->path().extension() == ".so")
            fs::copy_file(it->path(), fs::path(run.dir / "plugins") / it->path().filename());
    }
}

std::unique_ptr<DemoRun> RunDemo() {
    auto run = std::make_unique<DemoRun>();
    LayOut(*run);
    std::vector<std::string> args = {"--core", run->dir / "dvrcore", "--seconds", "5", "--demo"};
    // An emulated supervisor cannot start an emulated core by itself: hand it the launcher.
    if (UnderEmulation()) args.insert(args.end(), {"--launcher", DVRCORE_LAUNCHER});
    Child child = Spawn(EXAMPLE_SUPERVISOR, args, run->dir / "work");
    run->status = child.Wait(std::chrono::seconds(90));
    run->output = child.output;
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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
    const std::vector<std::string> index = Lines(ReadFile(run.Work("recording.idx")));
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

void ExpectCollectedLogLines(const DemoRun& run) {
    const std::string log = ReadFile(run.Work("scribe.log"));
    EXPECT_NE(log.find("successfully started core version"), std::string::npos) << log;
    EXPECT_NE(log.find("streaming 10 frames per second"), std::string::npos) << log;
}

void ExpectStatusDocument(const DemoRun& run) {
    const std::string document = ReadFile(run.Work("plugins.xml"));
    for (const char* plugin : {"camera.so", "recorder.so", "scribe.so", "admin.so"})
        EXPECT_NE(document.find(std::string("Filename=\"") + plugin + "\""), std::string::npos)
            << plugin << " missing from\n"
            << document;
    EXPECT_NE(document.find("example-supervisor"), std::string::npos) << document;
}

// One run serves every check: the demo takes seconds.
TEST(Demo, RunsAndStopsCleanly) {
    const std::unique_ptr<DemoRun> run = RunDemo();
    ExpectCleanExit(*run);
    ExpectRecording(*run);
    ExpectCollectedLogLines(*run);
    // The admin plugin answers the demo's first command, a status request.
    EXPECT_NE(run->output.find("message from module 0x053 (type 0x20): admin:"), std::string::npos)
        << run->output;
    ExpectStatusDocument(*run);
}

#else

TEST(Demo, NeedsTheExamples) {
    GTEST_SKIP() << "configured with DVRCORE_EXAMPLES=OFF: no example plugins to run";
}

#endif

}  // namespace
}  // namespace testkit
