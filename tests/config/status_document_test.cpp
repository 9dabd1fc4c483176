// plugins.xml and its broadcast: every plugin in the table, the supervisor, and the files that
// the dynamic loader refused.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/xml_layer.h"
#include "config_support.h"

namespace testkit {
namespace {

class StatusDocument : public ::testing::Test {
protected:
    CoreDirectory files;
    TestCore core{files.dir};

    void SetUp() override {
        core.version = "19.12.6.0";
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
    int link[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, link), 0);
    {
        TestCore core(files.dir);
        ASSERT_TRUE(core.OpenChannel(link[0]));
        const std::string packet = SupervisorPacket(0, 7,
                                                    std::string("corvaned\0"
                                                                "2.4.1",
                                                                14));
        ASSERT_EQ(send(link[1], packet.data(), packet.size(), 0),
                  static_cast<ssize_t>(packet.size()));
        core.SetClock(dvrcore::TimePoint{});
        core.StartInBackground();
        EXPECT_EQ(
            ReadFile("plugins.xml"),
            PluginsXml({CoreRow(),
                        "<Library Name=\"corvaned\" Filename=\"corvaned\" Version=\"2.4.1\" />"}));
        core.Stop();
    }
    // Closed only now: losing the supervisor while running would make the core linger.
    close(link[1]);
}

}  // namespace
}  // namespace testkit
