// dvrcore-inspect end to end, on test plugins: it says what the core itself logs of every
// plugin the core refuses, survives a Load that crashes or never returns, runs a plugin's whole
// life on request, and its JSON holds the declaration.
#include <signal.h>
#include <sys/wait.h>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <sstream>

#include "support/testkit.h"

namespace {

namespace fs = boost::filesystem;
using boost::property_tree::ptree;

struct Inspection {
    int status = -1;     // exit status, -1 when it did not exit
    std::string output;  // standard output and error
};

Inspection Inspect(const std::vector<std::string>& args) {
    testkit::Child child = testkit::Spawn(INSPECTOR, args, fs::temp_directory_path().string());
    const int status = child.Wait(std::chrono::seconds(60));
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.output};
}

ptree Json(const std::string& text) {
    std::istringstream in(text);
    ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

// Read as text: the tree keeps every value so, and its numeric translation trips GCC's
// uninitialised-use warning.
uint32_t Number(const ptree& value) { return std::stoul(value.get_value<std::string>()); }
uint32_t Number(const ptree& tree, const char* key) { return Number(tree.get_child(key)); }

std::string Install(const testkit::TempDir& dir, const std::string& from, const char* name) {
    return testkit::CopyPlugin(dir, from + "/" + name + ".so");
}

TEST(Inspect, RefusesWithTheCoresOwnMessage) {
    testkit::TempDir dir;
    testkit::InstallCore(dir);
    std::vector<std::string> files;
    for (const char* name : {"load_fails", "load_error", "core_id", "module256", "no_load"})
        files.push_back(Install(dir, TEST_PLUGIN_DIR, name));
    for (const char* name : {"sdk_id0", "sdk_unresolved"})
        files.push_back(Install(dir, SDK_PLUGIN_DIR, name));
    // The log of the real core, from its start to its stop.
    const testkit::CoreRun run = testkit::StartAndStop(dir, SIGTERM);
    ASSERT_TRUE(run.started) << run.output;
    const std::string& coreLog = run.output;
    for (const std::string& file : files) {
        const Inspection inspection = Inspect({"--json", file});
        EXPECT_EQ(inspection.status, 1) << inspection.output;
        const std::string verdict = Json(inspection.output).get<std::string>("verdict");
        EXPECT_NE(coreLog.find(verdict), std::string::npos) << verdict << "\n" << coreLog;
    }
}

// A Load that crashes, one that never returns, and a file that is no shared object.
TEST(Inspect, SaysWhyALoadFailed) {
    testkit::TempDir dir;
    testkit::WriteFile(dir / "notes.so", "not a plugin\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string verdict;
    } cases[] = {
        {{SDK_PLUGIN_DIR "/sdk_crash.so"}, 1, "plugin sdk_crash.so: Load crashed: signal"},
        {{"--timeout", "1", SDK_PLUGIN_DIR "/sdk_hang.so"},
         1,
         "plugin sdk_hang.so: Load did not return within 1 s"},
        {{dir / "notes.so"}, 2, "Core: Failed to load plugin 'notes.so': "},
    };
    for (const auto& expected : cases) {
        const Inspection inspection = Inspect(expected.args);
        EXPECT_EQ(inspection.status, expected.status) << inspection.output;
        EXPECT_NE(inspection.output.find("verdict        " + expected.verdict), std::string::npos)
            << inspection.output;
    }
}

TEST(Inspect, RunsThePluginsLifeWithItsThreads) {
    const Inspection inspection = Inspect({"--run", TEST_PLUGIN_DIR "/threads.so"});
    EXPECT_EQ(inspection.status, 0) << inspection.output;
    EXPECT_NE(inspection.output.find("worker thread  yes"), std::string::npos);
    EXPECT_NE(inspection.output.find("run            completed; Open returned 0"),
              std::string::npos)
        << inspection.output;
}

TEST(Inspect, JsonHoldsTheDeclarationAndItsWarnings) {
    const Inspection alpha = Inspect({"--json", TEST_PLUGIN_DIR "/alpha.so"});
    ASSERT_EQ(alpha.status, 0) << alpha.output;
    const ptree declared = Json(alpha.output);
    EXPECT_EQ(Number(declared, "identifier"), 0x00100000u);
    EXPECT_EQ(Number(declared, "moduleNumber"), 0x010u);
    EXPECT_EQ(declared.get<std::string>("name"), "alpha");
    EXPECT_EQ(declared.get<std::string>("wantsWrite"), "true");
    EXPECT_EQ(Number(declared, "closeKey"), 5u);
    std::vector<uint32_t> masks;
    for (const auto& mask : declared.get_child("masks")) masks.push_back(Number(mask.second));
    EXPECT_EQ(masks, (std::vector<uint32_t>{0x02FFFFFF, 0, 0, 0, 0, 5, 0xFFFFFFFF, 0, 0}));
    EXPECT_EQ(declared.get<std::string>("verdict"), "accepted");

    const Inspection module255 = Inspect({"--json", TEST_PLUGIN_DIR "/module255.so"});
    ASSERT_EQ(module255.status, 0) << module255.output;
    const ptree warned = Json(module255.output);
    EXPECT_EQ(Number(warned, "logLevel"), 30u);
    ASSERT_EQ(warned.get_child("warnings").size(), 1u);
    const auto warning = warned.get_child("warnings").front().second.get_value<std::string>();
    EXPECT_EQ(warning.rfind("module number 255 has no log level", 0), 0u) << warning;
}

}  // namespace
