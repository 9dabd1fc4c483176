// The core's configuration: product.xml and core.xml read at start, core.xml rewritten and
// broadcast, and delta documents from plugins. And the real executable started in an empty
// working directory: the documents it leaves behind and what the next start makes of them.
#include <signal.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>

#include "config/xml_layer.h"
#include "support/test_core.h"

namespace testkit {
namespace {

// Plugins whose configuration calls are watched, and the parts of the core's documents.

// A test plugin whose texts received through IOCTL code 2 (update configuration) are collected
// from the moment the core loads it.
class ConfigurationTap {
public:
    ConfigurationTap(const TempDir& dir, const std::string& name)
        : plugin(dir, name, Hooks(texts)) {}
    std::vector<std::string> Texts() const { return texts.Items(); }
    bool Received(const std::string& text) const { return Has(Texts(), text); }

private:
    static PluginHooks Hooks(Shared<std::string>& texts) {
        PluginHooks hooks;
        hooks.ioctl = [&texts](_IoctlParmsIn* in, _IoctlParmsOut*) {
            if (in->code == DVR_IOCTL_UPDATE_CONFIG && in->data != nullptr)
                texts.Add(Bytes(in->data, in->length));
            return 0;
        };
        return hooks;
    }

    Shared<std::string> texts;
    Plugin plugin;
};

// A Plugin row of the core's documents, for a load and an open that took 0 ms.
std::string Row(int32_t id, const std::string& fileName, int openCode = 0, int level = -1,
                int fallback = -1) {
    return "<Plugin ID=\"" + std::to_string(id) + "\" Filename=\"" + fileName +
           "\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"" +
           std::to_string(openCode) + "\" LogLevel=\"" + std::to_string(level) +
           "\" LogLevelDefault=\"" + std::to_string(fallback) + "\" />";
}

std::string CoreRow(int level = -1) { return Row(INT32_MIN, "dvrcore", 0, level); }

// A document as the core saves it, with its own module around `rows` and `modules` after it,
// one element per line; core.xml starts with the Memory element.
std::string SavedDocument(const std::string& start, const std::string& modulesTag,
                          const std::vector<std::string>& rows,
                          const std::vector<std::string>& modules) {
    std::string document = "<?xml ?>\n<Norv Delta=\"0\">\n" + start + "    " + modulesTag +
                           "\n        <Module ID=\"-2147483648\" Name=\"Core\" "
                           "Version=\"19.12.6.0\">\n";
    for (const std::string& row : rows) document += "            " + row + "\n";
    document += "        </Module>\n";
    for (const std::string& module : modules) document += "        " + module + "\n";
    return document + "    </Modules>\n</Norv>\n";
}
std::string CoreXml(int throttling, const std::vector<std::string>& rows) {
    return SavedDocument(
        "    <Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) + "\" />\n",
        "<Modules>", rows, {});
}
std::string PluginsXml(const std::vector<std::string>& rows,
                       const std::vector<std::string>& modules = {}) {
    return SavedDocument("", "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">", rows,
                         modules);
}

// A document as a broadcast carries it: the saved form without its line breaks and indents.
// (A loop: GCC 12 warns inside <regex> under the sanitizers.)
std::string Compact(const std::string& saved) {
    std::string compact;
    for (std::size_t i = 0; i < saved.size(); ++i) {
        if (saved[i] != '\n')
            compact += saved[i];
        else
            while (i + 1 < saved.size() && saved[i + 1] == ' ') ++i;
    }
    return compact;
}

// ---- Reading the configuration -------------------------------------------------------------

constexpr uint32_t kAlpha = 0x00100000u;    // module 0x10
constexpr uint32_t kLevel40 = 0x00190000u;  // module 0x19, declares level 40

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
    const std::string backup = LevelDocument(25, INT32_MIN, " Delta=\"0\"");
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
    core.ParseConfig(LevelDocument(7));
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
    WriteFile("core.xml", LevelDocument(20, INT32_MIN, ""));
    Start();
    ASSERT_EQ(core.logLevels.Get(0), 20);
    SendDelta(LevelDocument(0));

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
    SendDelta(LevelDocument(30));
    ASSERT_TRUE(WaitFor([&] { return CoreDocuments(beta) == 2; }));
    SendDelta(LevelDocument(30));
    SendDelta(LevelDocument(55, kLevel40));
    ASSERT_TRUE(WaitFor([&] { return Level40DocumentArrived(55); }));
    EXPECT_EQ(CoreDocuments(beta), 3) << "start, the first delta and the marker";
    EXPECT_EQ(core.logLevels.Get(0), 30);
}

TEST_F(RunningCore, OnlyADeltaOfOneIsApplied) {
    Start();
    SendDelta(LevelDocument(90, INT32_MIN, " Delta=\"2\""));
    SendDelta(LevelDocument(91, INT32_MIN, ""));
    SendDelta(LevelDocument(56, kLevel40));
    ASSERT_TRUE(WaitFor([&] { return Level40DocumentArrived(56); }));
    EXPECT_EQ(CoreDocuments(beta), 2) << "start and the marker";
    EXPECT_EQ(core.logLevels.Get(0), -1);
}

// ---- The first start -------------------------------------------------------------------------

const std::string kCoreXml = CoreXml(1, {CoreRow()});
const std::string kPluginsXml = PluginsXml({CoreRow()});

// Starts the core without a supervisor, waits until it has started and stops it; then checks
// the documents it left.
void RunCore(const TempDir& dir) {
    const CoreRun run = StartAndStop(dir, SIGTERM);
    EXPECT_TRUE(run.started) << run.output;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_EQ(ReadFile(dir / "work/core.xml"), kCoreXml);
    EXPECT_EQ(ReadFile(dir / "work/plugins.xml"), kPluginsXml);
}

TEST(FirstStart, LeavesDocumentsThatTheNextStartReadsBackUnchanged) {
    TempDir dir;
    InstallCore(dir);
    RunCore(dir);
    {
        WorkingDirectory inWork(dir / "work");
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
    RunCore(dir);
}

// plugins.xml and its broadcast: every plugin in the table, the supervisor, and the files that
// the dynamic loader refused.

class StatusDocument : public ReadConfiguration {
protected:
    void SetUp() override {
        ReadConfiguration::SetUp();
        core.SetClock(dvrcore::TimePoint{});
    }
    void TearDown() override { core.UnloadPlugins(); }

    // The core's Module element of plugins.xml as read back.
    const TiXmlElement* CoreModule(XmlDocument& document) {
        EXPECT_TRUE(document.LoadFile("plugins.xml")) << document.ErrorDesc();
        TiXmlHandle root(document.RootElement());
        return root.FirstChildElement("Modules").FirstChildElement("Module").ToElement();
    }
};

TEST_F(StatusDocument, ListsPluginsTheSupervisorAndRefusedFiles) {
    for (const char* plugin : {"open_fails", "high_bits", "module255"})
        InstallPlugin(files.dir, plugin);
    WriteFile(files.dir / "plugins/x.so", "not a shared object");
    WriteFile(files.dir / "plugins/a.so", "");
    core.SetSupervisor("corvaned-bin", "4.2.0");
    core.LoadPlugins();
    ASSERT_EQ(core.failedPlugins.size(), 2u);
    const std::string failedA = core.failedPlugins["a.so"];
    const std::string failedX = core.failedPlugins["x.so"];
    core.OpenPlugins();

    const std::string expected =
        PluginsXml({CoreRow(), Row(0xF01C0000, "high_bits.so"), Row(0x00FF0000, "module255.so"),
                    Row(0x001F0000, "open_fails.so", 5),
                    "<Library Name=\"corvaned\" Filename=\"corvaned-bin\" Version=\"4.2.0\" />",
                    Row(1, "a.so", 79), Row(2, "x.so", 79)},
                   {"<Module ID=\"1\" Name=\"a.so\" Version=\"" + failedA + "\" />",
                    "<Module ID=\"2\" Name=\"x.so\" Version=\"" + failedX + "\" />"});
    EXPECT_EQ(ReadFile("plugins.xml"), expected);
    EXPECT_EQ(core.QueuedDocuments(DVR_CLASS_CONFIG), std::vector<std::string>{Compact(expected)});
}

TEST_F(StatusDocument, NamesTheSupervisorOnlyWhenItGaveAVersion) {
    core.OpenPlugins();
    XmlDocument absent;
    const TiXmlElement* module = CoreModule(absent);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->FirstChildElement("Library"), nullptr) << "no identity";

    core.SetSupervisor("corvaned-bin", "");
    core.WriteStatusDocument();
    XmlDocument nameOnly;
    module = CoreModule(nameOnly);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->FirstChildElement("Library"), nullptr) << "a file name without version";
}

TEST_F(StatusDocument, TotalsWrapAndTimesKeepTheirLow32Bits) {
    InstallPlugin(files.dir, "alpha");
    InstallPlugin(files.dir, "level40");
    core.LoadPlugins();
    ASSERT_EQ(core.plugins.size(), 2u);
    core.plugins[0].loadTimeMs = 0x7FFFFFFF;
    core.plugins[0].openTimeMs = 0x100000003LL;
    core.plugins[1].loadTimeMs = 5;
    core.plugins[1].openTimeMs = -2;
    core.WriteStatusDocument();

    XmlDocument document;
    const TiXmlElement* module = CoreModule(document);
    ASSERT_NE(module, nullptr);
    const TiXmlElement* modules = module->Parent()->ToElement();
    EXPECT_STREQ(modules->Attribute("TotalLoadTimeMs"), "-2147483644");
    EXPECT_STREQ(modules->Attribute("TotalOpenTimeMs"), "1");
    const TiXmlElement* alpha = module->FirstChildElement("Plugin")->NextSiblingElement("Plugin");
    ASSERT_NE(alpha, nullptr);
    EXPECT_STREQ(alpha->Attribute("LoadTimeMs"), "2147483647");
    EXPECT_STREQ(alpha->Attribute("OpenTimeMs"), "3");
    const TiXmlElement* level40 = alpha->NextSiblingElement("Plugin");
    ASSERT_NE(level40, nullptr);
    EXPECT_STREQ(level40->Attribute("OpenTimeMs"), "-2");
    EXPECT_STREQ(level40->Attribute("LogLevel"), "40");
    EXPECT_STREQ(level40->Attribute("LogLevelDefault"), "40");
}

TEST(StatusDocumentWithSupervisor, TheIdentityFromTheChannelNamesTheLibrary) {
    CoreDirectory files;
    // Destroyed after the core: losing the supervisor while running would make the core linger.
    Link link;
    TestCore core(files.dir);
    ASSERT_TRUE(core.OpenChannel(link.HandOver()));
    ASSERT_TRUE(link.Send(IdentityPacket("2.4.1")));
    core.SetClock(dvrcore::TimePoint{});
    core.StartInBackground();
    EXPECT_EQ(
        ReadFile("plugins.xml"),
        PluginsXml(
            {CoreRow(), "<Library Name=\"corvaned\" Filename=\"corvaned\" Version=\"2.4.1\" />"}));
    core.Stop();
}

}  // namespace
}  // namespace testkit
