// The real executable started in an empty working directory: the documents it leaves behind
// and what the next start makes of them.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "config_support.h"

namespace {

using testkit::ReadFile;

const char kCoreXml[] =
    "<?xml ?>\n"
    "<Norv Delta=\"0\">\n"
    "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
    "    <Modules>\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">\n"
    "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
    "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
    "        </Module>\n"
    "    </Modules>\n"
    "</Norv>\n";

const char kPluginsXml[] =
    "<?xml ?>\n"
    "<Norv Delta=\"0\">\n"
    "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">\n"
    "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
    "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
    "        </Module>\n"
    "    </Modules>\n"
    "</Norv>\n";

// Starts the core without a supervisor, waits until it has started and stops it.
void RunCore(const std::string& executable, const std::string& work) {
    testkit::Child child = testkit::Spawn(executable, {}, work);
    EXPECT_TRUE(testkit::WaitFor([&] {
        child.Drain();
        return child.output.find("successfully started core version 19.12.6.0") !=
               std::string::npos;
    })) << child.output;
    testkit::SendStopSignal(child, SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.output;
}

TEST(FirstStart, LeavesDocumentsThatTheNextStartReadsBackUnchanged) {
    testkit::TempDir dir;
    const std::string executable = testkit::InstallCore(dir);
    const std::string work = dir / "work";
    RunCore(executable, work);
    EXPECT_EQ(ReadFile(work + "/core.xml"), kCoreXml);
    EXPECT_EQ(ReadFile(work + "/plugins.xml"), kPluginsXml);

    {
        configkit::WorkingDirectory inWork(work);
        testkit::TestCore reader(dir);
        reader.version = "19.12.6.0";
        reader.throttling = false;
        reader.logLevels.Set(0, 60);
        reader.ReadConfiguration();
        EXPECT_TRUE(reader.throttling);
        EXPECT_EQ(reader.logLevels.Get(0), -1) << "an unset level is read back as unset";
        EXPECT_EQ(reader.version, "19.12.6.0");
        EXPECT_EQ(reader.productFamily, "Corvane");
    }

    RunCore(executable, work);
    EXPECT_EQ(ReadFile(work + "/core.xml"), kCoreXml);
    EXPECT_EQ(ReadFile(work + "/plugins.xml"), kPluginsXml);
}

}  // namespace
