// The core's configuration: product.xml and core.xml read at start, core.xml rewritten and
// broadcast, and delta documents from plugins.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>

#include "config_support.h"

namespace testkit {
namespace {

constexpr uint32_t kAlpha = 0x00100000u;    // module 0x10
constexpr uint32_t kLevel40 = 0x00190000u;  // module 0x19, declares level 40

bool Exists(const std::string& path) { return boost::filesystem::exists(path); }

class ReadConfiguration : public ::testing::Test {
protected:
    CoreDirectory files;
    TestCore core{files.dir};

    void SetUp() override { core.version = "19.12.6.0"; }
};

TEST_F(ReadConfiguration, WithoutFilesEverythingKeepsItsDefault) {
    core.ReadConfiguration();
    EXPECT_EQ(core.productFamily, "Corvane");
    EXPECT_EQ(core.version, "19.12.6.0");
    EXPECT_TRUE(core.throttling);
    for (uint32_t module = 0; module < LevelTable::kSize; ++module)
        ASSERT_EQ(core.logLevels.Get(module), -1) << module;
}

struct Product {
    const char* xml;
    const char* family;
    const char* version;
};

void PrintTo(const Product& product, std::ostream* out) { *out << product.xml; }

class ProductXml : public ReadConfiguration, public ::testing::WithParamInterface<Product> {};

TEST_P(ProductXml, NamesTheProductUnderAnyRoot) {
    WriteFile("product.xml", GetParam().xml);
    core.ReadConfiguration();
    EXPECT_EQ(core.productFamily, GetParam().family);
    EXPECT_EQ(core.version, GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    FamilyAndVersion, ProductXml,
    ::testing::Values(
        Product{"<Box><Product Family=\"Halvard\" Version=\"2.0.1\" /></Box>", "Halvard", "2.0.1"},
        // Without a family only the version changes; other elements are not the product.
        Product{"<Box><Other Family=\"No\" /><Product Version=\"3.1\" /></Box>", "Corvane",
                "3.1"}));

TEST_F(ReadConfiguration, CoreXmlSetsThrottlingAndTheValidLevels) {
    WriteFile("core.xml",
              "<Anything Delta=\"0\">\n"
              "  <Memory Throttling=\"0\" />\n"
              "  <Modules>\n"
              "    <Module>\n"
              "      <Plugin ID=\"-2147483648\" LogLevel=\"50\" />\n"
              "      <Plugin ID=\"1638400\" LogLevel=\"101\" />\n"
              "      <Plugin ID=\"1048576\" LogLevel=\"20\" />\n"
              "      <Plugin ID=\"1048576\" LogLevel=\"30\" />\n"
              "      <Plugin ID=\"1114112\" LogLevel=\"loud\" />\n"
              "      <Plugin LogLevel=\"60\" />\n"
              "      <Other ID=\"1179648\" LogLevel=\"60\" />\n"
              "    </Module>\n"
              "    <Module><Plugin ID=\"1245184\" LogLevel=\"5\" /></Module>\n"
              "  </Modules>\n"
              "</Anything>\n");
    core.ReadConfiguration();
    EXPECT_FALSE(core.throttling);
    EXPECT_EQ(core.logLevels.Get(0), 50);
    EXPECT_EQ(core.logLevels.Get(0x19), -1) << "101 is out of range";
    EXPECT_EQ(core.logLevels.Get(0x10), 30) << "a later row wins";
    EXPECT_EQ(core.logLevels.Get(0x11), -1) << "not an integer";
    EXPECT_EQ(core.logLevels.Get(0x12), -1) << "not a Plugin row";
    EXPECT_EQ(core.logLevels.Get(0x13), 5) << "rows of later Module siblings count";
}

TEST_F(ReadConfiguration, AfterACrashMidSaveTheBackupIsReadAndPutBack) {
    const std::string backup =
        "<Norv Delta=\"0\"><Modules><Module>"
        "<Plugin ID=\"-2147483648\" LogLevel=\"25\" /></Module></Modules></Norv>";
    WriteFile("core.xml.bak", backup);
    WriteFile("core.xml.pending", "<Norv Del");
    core.ReadConfiguration();
    EXPECT_EQ(core.logLevels.Get(0), 25);
    EXPECT_EQ(ReadFile("core.xml"), backup);
    EXPECT_FALSE(Exists("core.xml.bak"));
}

TEST_F(ReadConfiguration, ABrokenCoreXmlWithoutBackupIsKeptAsideNotLost) {
    const std::string broken =
        "<Norv Delta=\"0\"><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"25\" />";
    WriteFile("core.xml", broken);
    core.ReadConfiguration();
    EXPECT_EQ(core.logLevels.Get(0), -1);
    EXPECT_FALSE(Exists("core.xml"));
    EXPECT_EQ(ReadFile("core.xml.bad"), broken);
    EXPECT_TRUE(core.Logged("core.xml cannot be read, kept as core.xml.bad"));
}

TEST_F(ReadConfiguration, AMissingCoreXmlIsNoReasonToKeepAnything) {
    core.ReadConfiguration();
    EXPECT_FALSE(Exists("core.xml.bad"));
    EXPECT_TRUE(core.Lines().empty());
}

// Delta texts go straight to the parser here, on a core that is not running: an effective
// delta saves core.xml and leaves its broadcast in the delivery queue.
class ParseConfig : public ReadConfiguration {};

TEST_F(ParseConfig, AppliesWhatTheParserAttachedBeforeAnError) {
    core.ParseConfig(
        "<Norv Delta=\"1\"><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"7\" />" +
        Nested(150));
    EXPECT_EQ(core.logLevels.Get(0), 7);
    core.ParseConfig(
        "<Norv Delta=\"1\"><Modules><Module><Plugin ID=\"1048576\" LogLevel=\"8\" /><Plug");
    EXPECT_EQ(core.logLevels.Get(0x10), 8);
    EXPECT_EQ(core.QueuedDocuments(DVR_CLASS_CONFIG).size(), 2u);
    EXPECT_TRUE(Exists("core.xml"));
}

TEST_F(ParseConfig, ChangesNothingWithoutARootWhoseDeltaIsOne) {
    const std::string rows =
        "<Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"9\" /></Module></Modules>";
    for (const std::string& text :
         {std::string(), std::string("not xml"), std::string("<!-- only a comment -->"),
          "<Norv>" + rows + "</Norv>", "<Norv Delta=\"0\">" + rows + "</Norv>",
          "<Norv Delta=\"2\">" + rows + "</Norv>", "<Norv Delta=\"one\">" + rows + "</Norv>",
          std::string("<Norv Delta=\"1\"><Module><Plugin ID=\"0\" LogLevel=\"9\" /></Module>"
                      "</Norv>")}) {
        core.ParseConfig(text);
        EXPECT_EQ(core.logLevels.Get(0), -1) << text;
    }
    EXPECT_TRUE(core.QueuedDocuments(DVR_CLASS_CONFIG).empty());
    EXPECT_FALSE(Exists("core.xml"));
}

TEST_F(ParseConfig, AFailedSaveIsReportedOnceAndRetriedEachSecondUntilItHolds) {
    // A directory in the side file's place makes every save fail (not empty: the failed save
    // removes its side file).
    ASSERT_TRUE(boost::filesystem::create_directory(files.File("core.xml.pending")));
    WriteFile(files.File("core.xml.pending/keep"), "");
    core.ParseConfig(
        "<Norv Delta=\"1\"><Modules><Module>"
        "<Plugin ID=\"-2147483648\" LogLevel=\"7\" /></Module></Modules></Norv>");
    EXPECT_EQ(core.logLevels.Get(0), 7) << "the level is in use all the same";
    EXPECT_FALSE(Exists("core.xml"));
    core.SetWallClock(1000);
    core.Tick();
    core.SetWallClock(1001);
    core.Tick();
    EXPECT_FALSE(Exists("core.xml"));
    boost::filesystem::remove_all(files.File("core.xml.pending"));
    core.Tick();
    EXPECT_FALSE(Exists("core.xml")) << "retried once per wall-clock second";
    core.SetWallClock(1002);
    core.Tick();
    const std::string saved = ReadFile("core.xml");
    EXPECT_NE(saved.find("<Plugin ID=\"-2147483648\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("LogLevel=\"7\""), std::string::npos) << saved;
    EXPECT_EQ(core.Count("failed to save core.xml: create error 21", 100), 1);
    EXPECT_TRUE(core.Logged("saved core.xml"));
}

// A running core with real plugins whose configuration calls are collected.
class RunningCore : public ::testing::Test {
protected:
    CoreDirectory files;
    ConfigurationTap alpha{files.dir, "alpha"};
    ConfigurationTap beta{files.dir, "beta"};
    ConfigurationTap level40{files.dir, "level40"};
    TestCore core{files.dir};

    void Start() {
        core.SetClock(dvrcore::TimePoint{});  // every load and open takes 0 ms
        core.StartInBackground();
    }

    // Raises a configuration event from alpha, as a plugin sends a delta.
    static void SendDelta(const std::string& text) {
        EXPECT_EQ(Raise(Event(kAlpha, DVR_CLASS_CONFIG, DVR_CODE_DOCUMENT, text.data(),
                              static_cast<uint32_t>(text.size()))),
                  DVR_RESULT_OK);
    }

    static std::string Delta(uint32_t id, int level, const char* delta = " Delta=\"1\"") {
        return std::string("<Norv") + delta + "><Modules><Module><Plugin ID=\"" +
               std::to_string(static_cast<int32_t>(id)) + "\" LogLevel=\"" + std::to_string(level) +
               "\" /></Module></Modules></Norv>";
    }

    // Configuration documents of the core (those with a Memory element) that `tap` received.
    static int CoreDocuments(const ConfigurationTap& tap) {
        int count = 0;
        for (const std::string& text : tap.Texts())
            count += text.rfind("<?xml ?><Norv Delta=\"0\"><Memory", 0) == 0 ? 1 : 0;
        return count;
    }

    // core.xml as the core saves it with these plugins.
    static std::string Saved(int throttling, int coreLevel, int level40) {
        return CoreXml(throttling,
                       {CoreRow(coreLevel), Row(kAlpha, "alpha.so"), Row(0x00110000, "beta.so"),
                        Row(kLevel40, "level40.so", 0, level40, 40)});
    }

    // Whether beta received a core document with level40 at `level`.
    bool Level40DocumentArrived(int level) const {
        const std::string row = Row(kLevel40, "level40.so", 0, level, 40);
        for (const std::string& text : beta.Texts())
            if (text.find("<Memory") != std::string::npos && text.find(row) != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(RunningCore, ConfiguredValuesWinAndAreWrittenBack) {
    WriteFile("core.xml",
              "<Norv><Memory Throttling=\"0\" /><Modules><Module>"
              "<Plugin ID=\"1638400\" LogLevel=\"70\" /></Module></Modules></Norv>");
    Start();
    EXPECT_FALSE(core.throttling);
    EXPECT_EQ(core.logLevels.Get(0x19), 70) << "configured before level40 declared 40";
    EXPECT_EQ(core.defaultLogLevels.Get(0x19), 40);
    EXPECT_EQ(ReadFile("core.xml"), Saved(0, -1, 70));
}

TEST_F(RunningCore, ADeltaRewritesCoreXmlAndReachesEveryPlugin) {
    // Low enough for the start message (level 25) that tells the test the core is running.
    WriteFile("core.xml",
              "<Norv><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"20\" />"
              "</Module></Modules></Norv>");
    Start();
    ASSERT_EQ(core.logLevels.Get(0), 20);
    SendDelta(Delta(DVR_CORE_ID, 0));

    const std::string saved = Saved(1, 0, 40);
    // The broadcast carries the saved document on one line, with the product at its end.
    std::string broadcast = Compact(saved);
    broadcast.insert(broadcast.rfind("</Norv>"),
                     "<Product Family=\"Corvane\" Version=\"19.12.6.0\" />");
    for (const ConfigurationTap* tap : {&alpha, &beta, &level40})
        EXPECT_TRUE(WaitFor([&] { return tap->Received(broadcast); }));
    EXPECT_EQ(core.logLevels.Get(0), 0);
    EXPECT_EQ(ReadFile("core.xml"), saved);
}

// Effective deltas are handled in order, each with its broadcast: once the marker delta's
// document has arrived, any document from the deltas sent before it has arrived too.
TEST_F(RunningCore, ADeltaThatChangesNothingWritesNothing) {
    Start();
    SendDelta(Delta(DVR_CORE_ID, 30));
    ASSERT_TRUE(WaitFor([&] { return CoreDocuments(beta) == 2; }));
    SendDelta(Delta(DVR_CORE_ID, 30));
    SendDelta(Delta(kLevel40, 55));
    ASSERT_TRUE(WaitFor([&] { return Level40DocumentArrived(55); }));
    EXPECT_EQ(CoreDocuments(beta), 3) << "start, the first delta and the marker";
    EXPECT_EQ(core.logLevels.Get(0), 30);
}

TEST_F(RunningCore, OnlyADeltaOfOneIsApplied) {
    Start();
    SendDelta(Delta(DVR_CORE_ID, 90, " Delta=\"2\""));
    SendDelta(Delta(DVR_CORE_ID, 91, ""));
    SendDelta(Delta(kLevel40, 56));
    ASSERT_TRUE(WaitFor([&] { return Level40DocumentArrived(56); }));
    EXPECT_EQ(CoreDocuments(beta), 2) << "start and the marker";
    EXPECT_EQ(core.logLevels.Get(0), -1);
}

}  // namespace
}  // namespace testkit
