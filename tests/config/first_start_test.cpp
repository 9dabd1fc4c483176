// The real executable started in an empty working directory: the documents it leaves behind
// and what the next start makes of them.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "config_support.h"

namespace testkit {
namespace {

const std::string kCoreXml = CoreXml(1, {CoreRow()});
const std::string kPluginsXml = PluginsXml({CoreRow()});

// Starts the core without a supervisor, waits until it has started and stops it.
void RunCore(const std::string& executable, const std::string& work) {
    Child child = Spawn(executable, {}, work);
    EXPECT_TRUE(child.WaitForOutput(kStarted)) << child.output;
    SendStopSignal(child, SIGTERM);
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child.output;
}

TEST(FirstStart, LeavesDocumentsThatTheNextStartReadsBackUnchanged) {
    TempDir dir;
    const std::string executable = InstallCore(dir);
    const std::string work = dir / "work";
    RunCore(executable, work);
    EXPECT_EQ(ReadFile(work + "/core.xml"), kCoreXml);
    EXPECT_EQ(ReadFile(work + "/plugins.xml"), kPluginsXml);

    {
        WorkingDirectory inWork(work);
        TestCore reader(dir);
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
}  // namespace testkit
