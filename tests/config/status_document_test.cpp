// plugins.xml and its broadcast: every plugin in the table, the supervisor, and the files that
// the dynamic loader refused.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/xml_layer.h"
#include "config_support.h"

namespace {

using configkit::CoreDirectory;
using configkit::QueuedTexts;
using testkit::ReadFile;
using testkit::TestCore;
using testkit::WriteFile;

class StatusDocument : public ::testing::Test {
protected:
    CoreDirectory files;
    TestCore core{files.dir};

    void SetUp() override {
        core.version = "19.12.6.0";
        core.SetClock(dvrcore::TimePoint{});
    }
    void TearDown() override { core.UnloadPlugins(); }

    void SetSupervisor(const std::string& fileName, const std::string& version) {
        core.supervisor.Store(fileName, &version);
    }

    // The core's Module element of plugins.xml as read back.
    const TiXmlElement* CoreModule(XmlDocument& document) {
        EXPECT_TRUE(document.LoadFile("plugins.xml")) << document.ErrorDesc();
        TiXmlHandle root(document.RootElement());
        return root.FirstChildElement("Modules").FirstChildElement("Module").ToElement();
    }
};

TEST_F(StatusDocument, ListsPluginsTheSupervisorAndRefusedFiles) {
    for (const char* plugin : {"open_fails", "high_bits", "module255"})
        testkit::InstallPlugin(files.dir, plugin);
    WriteFile(files.dir / "plugins/x.so", "not a shared object");
    WriteFile(files.dir / "plugins/a.so", "");
    SetSupervisor("corvaned-bin", "4.2.0");
    core.LoadPlugins();
    ASSERT_EQ(core.failedPlugins.size(), 2u);
    const std::string failedA = core.failedPlugins["a.so"];
    const std::string failedX = core.failedPlugins["x.so"];
    core.OpenPlugins();

    EXPECT_EQ(ReadFile("plugins.xml"),
              "<?xml ?>\n"
              "<Norv Delta=\"0\">\n"
              "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
              "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">\n"
              "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />\n"
              "            <Plugin ID=\"-266600448\" Filename=\"high_bits.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />\n"
              "            <Plugin ID=\"16711680\" Filename=\"module255.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />\n"
              "            <Plugin ID=\"2031616\" Filename=\"open_fails.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"5\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />\n"
              "            <Library Name=\"corvaned\" Filename=\"corvaned-bin\" "
              "Version=\"4.2.0\" />\n"
              "            <Plugin ID=\"1\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
              "            <Plugin ID=\"2\" Filename=\"x.so\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
              "        </Module>\n"
              "        <Module ID=\"1\" Name=\"a.so\" Version=\"" + failedA + "\" />\n"
              "        <Module ID=\"2\" Name=\"x.so\" Version=\"" + failedX + "\" />\n"
              "    </Modules>\n"
              "</Norv>\n");

    const auto queued = QueuedTexts(core);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0],
              "<?xml ?><Norv Delta=\"0\"><Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
              "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">"
              "<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />"
              "<Plugin ID=\"-266600448\" Filename=\"high_bits.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />"
              "<Plugin ID=\"16711680\" Filename=\"module255.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />"
              "<Plugin ID=\"2031616\" Filename=\"open_fails.so\" Opened=\"1\" "
              "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"5\" LogLevel=\"-1\" "
              "LogLevelDefault=\"-1\" />"
              "<Library Name=\"corvaned\" Filename=\"corvaned-bin\" Version=\"4.2.0\" />"
              "<Plugin ID=\"1\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />"
              "<Plugin ID=\"2\" Filename=\"x.so\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />"
              "</Module>"
              "<Module ID=\"1\" Name=\"a.so\" Version=\"" + failedA + "\" />"
              "<Module ID=\"2\" Name=\"x.so\" Version=\"" + failedX + "\" />"
              "</Modules></Norv>");
}

TEST_F(StatusDocument, NamesTheSupervisorOnlyWhenItGaveAVersion) {
    core.OpenPlugins();
    XmlDocument absent;
    const TiXmlElement* module = CoreModule(absent);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->FirstChildElement("Library"), nullptr) << "no identity";

    SetSupervisor("corvaned-bin", "");
    core.WriteStatusDocument();
    XmlDocument nameOnly;
    module = CoreModule(nameOnly);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->FirstChildElement("Library"), nullptr) << "a file name without version";
}

TEST_F(StatusDocument, TotalsWrapAndTimesKeepTheirLow32Bits) {
    testkit::InstallPlugin(files.dir, "alpha");
    testkit::InstallPlugin(files.dir, "level40");
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

// A packet of the supervisor link: 16-byte header (length, target, type, word) and payload.
std::string IdentityPacket(const std::string& fileName, const std::string& version) {
    const std::string payload = fileName + '\0' + version;
    const uint32_t header[4] = {static_cast<uint32_t>(16 + payload.size()), 0, 7, 0};
    std::string packet(reinterpret_cast<const char*>(header), sizeof header);
    return packet + payload;
}

TEST(StatusDocumentWithSupervisor, TheIdentityFromTheChannelNamesTheLibrary) {
    CoreDirectory files;
    int link[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, link), 0);
    {
        TestCore core(files.dir);
        ASSERT_TRUE(core.OpenChannel(link[0]));
        const std::string packet = IdentityPacket("corvaned", "2.4.1");
        ASSERT_EQ(send(link[1], packet.data(), packet.size(), 0),
                  static_cast<ssize_t>(packet.size()));
        core.SetClock(dvrcore::TimePoint{});
        core.StartInBackground();
        EXPECT_EQ(ReadFile("plugins.xml"),
                  "<?xml ?>\n"
                  "<Norv Delta=\"0\">\n"
                  "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
                  "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">\n"
                  "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" "
                  "LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" "
                  "LogLevelDefault=\"-1\" />\n"
                  "            <Library Name=\"corvaned\" Filename=\"corvaned\" "
                  "Version=\"2.4.1\" />\n"
                  "        </Module>\n"
                  "    </Modules>\n"
                  "</Norv>\n");
        core.Stop();
    }
    // Closed only now: losing the supervisor while running would make the core linger.
    close(link[1]);
}

}  // namespace
