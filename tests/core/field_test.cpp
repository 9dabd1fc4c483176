// A core in the field: plugins that stall, crash or free their state in Close, a reserved
// identifier, and what the core tells its supervisor about itself. Against the real executable.
#include <sys/wait.h>
#include <tinyxml.h>

#include <csignal>
#include <cstring>

#include "support/testkit.h"

namespace {

using testkit::Exists;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizers keep their own crash handlers
#else
constexpr bool kSanitized = false;
#endif

using Field = testkit::InstalledCoreTest;

TEST_F(Field, AStalledWriteIsReportedByNameAndItsReturnTimed) {
    Install("stall_write");
    testkit::Child child = Run();
    ASSERT_TRUE(child.WaitForOutput("plugin stall_write.so write has not returned for 2 s"))
        << child.output;
    testkit::WriteFile(dir / "work/release-write", "");
    ASSERT_TRUE(child.WaitForOutput("plugin stall_write.so write returned after ")) << child.output;
    testkit::SendStopSignal(child, SIGTERM);
    EXPECT_EQ(child.Wait(), 0);
}

struct Crash : Field, ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(Crash, IsReportedWithPluginEntryThreadAndOffsetThenEndsTheProcessBySignal) {
    if (kSanitized) GTEST_SKIP() << "sanitizer builds keep the sanitizers' handlers";
    const std::string plugin = GetParam().first;
    Install(plugin);
    testkit::Child child = Run();
    const int status = child.Wait();
    const std::string expected = "crashed with signal 11 (SIGSEGV) in plugin " + plugin + ".so, " +
                                 GetParam().second + ", at " + plugin + ".so+0x";
    EXPECT_NE(child.output.find(expected), std::string::npos) << child.output;
    if (!testkit::UnderEmulation()) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Field, Crash,
    ::testing::Values(std::make_pair("crash_write", "write, on the main thread"),
                      std::make_pair("crash_worker", "worker, on the worker thread")));

TEST_F(Field, IdentifierZeroIsRefusedAsReservedAndListedInPluginsXml) {
    Install("id_zero");
    Install("raiser");
    const testkit::CoreRun run = testkit::StartAndStop(dir, SIGTERM);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("plugin id_zero.so ID 0x00000000 is reserved"), std::string::npos);
    TiXmlDocument status;
    ASSERT_TRUE(status.LoadFile((dir / "work/plugins.xml").c_str()));
    TiXmlHandle modules = TiXmlHandle(status.RootElement()).FirstChildElement("Modules");
    const TiXmlElement* failed = modules.ChildElement("Module", 1).ToElement();
    ASSERT_NE(failed, nullptr);
    EXPECT_STREQ(failed->Attribute("Name"), "id_zero.so");
}

// The raiser raises three events that the taker takes, the first of which it keeps, and one
// video frame without a key frame, which is refused.
TEST_F(Field, StatisticsCountWhatPluginsDid) {
    Install("raiser");
    Install("taker");
    testkit::SupervisedCore supervised(dir);
    ASSERT_TRUE(supervised.child.WaitForOutput(testkit::kStarted)) << supervised.child.output;
    TiXmlElement taker("none");
    for (int attempt = 0; attempt < 200; ++attempt) {
        ASSERT_TRUE(supervised.Send(0, 9, ""));
        const std::string answer = supervised.Receive(9);
        ASSERT_GT(answer.size(), 16u);
        uint32_t header[4];
        std::memcpy(header, answer.data(), sizeof header);
        EXPECT_EQ(header[0], answer.size());
        EXPECT_EQ(header[1], 0u);
        EXPECT_EQ(header[3], 0xABCDu);
        TiXmlDocument document;
        document.Parse(answer.substr(16).c_str());
        TiXmlHandle statistics =
            TiXmlHandle(document.RootElement()).FirstChildElement("Statistics");
        const TiXmlElement* raiser = statistics.ChildElement("Plugin", 0).ToElement();
        const TiXmlElement* row = statistics.ChildElement("Plugin", 1).ToElement();
        ASSERT_NE(raiser, nullptr) << answer;
        ASSERT_NE(row, nullptr) << answer;
        // The core's counters are read before the rows, and an event counts as delivered once
        // its last subscriber returns: wait for both (the core's own events count too).
        int delivered = 0;
        statistics.ToElement()->QueryIntAttribute("Delivered", &delivered);
        if (std::string(row->Attribute("Writes")) != "3" || delivered < 3) continue;
        EXPECT_STREQ(raiser->Attribute("Name"), "raiser.so");
        EXPECT_STREQ(raiser->Attribute("Raised"), "3");
        EXPECT_STREQ(raiser->Attribute("Refused"), "1");
        EXPECT_STREQ(row->Attribute("ID"), "4456448");
        EXPECT_STREQ(row->Attribute("Kept"), "1");
        EXPECT_STREQ(row->Attribute("KeptBytes"), "100");
        EXPECT_STREQ(row->Attribute("Failures"), "0");
        EXPECT_STREQ(statistics.ToElement()->Attribute("Stalls"), "0");
        EXPECT_EQ(supervised.Stop(), 0);
        return;
    }
    FAIL() << "the taker never counted three writes, or the core three deliveries";
}

// A packet for a plugin whose Close has begun is consumed without a call: the plugin may have
// freed what its IOCTL would use.
TEST_F(Field, AClosingPluginGetsNoSupervisorPackets) {
    Install("frees_at_close");
    testkit::SupervisedCore supervised(dir);
    ASSERT_TRUE(supervised.child.WaitForOutput(testkit::kStarted)) << supervised.child.output;
    ASSERT_TRUE(supervised.Send(0, 8, ""));
    ASSERT_TRUE(testkit::WaitFor([&] { return Exists(dir / "work/closing"); }));
    const uint32_t target = 0x045u << 20;
    ASSERT_TRUE(supervised.Send(target, 0x30, ""));
    // Handled in order on the event loop: once the statistics answer comes, so has the packet.
    ASSERT_TRUE(supervised.Send(0, 9, ""));
    ASSERT_FALSE(supervised.Receive(9).empty());
    testkit::WriteFile(dir / "work/release-close", "");
    EXPECT_EQ(supervised.Stop(), 0);
    EXPECT_FALSE(Exists(dir / "work/ioctl-after-close"));
}

}  // namespace
