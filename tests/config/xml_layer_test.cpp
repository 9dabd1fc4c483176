// The XML layer's documents: the maximum parse depth, loads that must fail cleanly, and the
// element builders.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "config_support.h"

namespace testkit {
namespace {

const std::string kTooDeep =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";

// The number of elements in the chain of first child elements from `top` down.
int ChainLength(const TiXmlElement* top) {
    int length = 0;
    for (const TiXmlElement* e = top; e != nullptr; e = e->FirstChildElement()) ++length;
    return length;
}

void ExpectTooDeep(const XmlDocument& document) {
    EXPECT_TRUE(document.Error());
    EXPECT_EQ(document.ErrorId(), 17);
    EXPECT_EQ(document.ErrorDesc(), kTooDeep);
    EXPECT_EQ(document.ErrorRow(), 0) << "no error location is recorded";
}

TEST(ParseDepth, HundredLevelsParseFromTextAndFromFile) {
    const std::string text = Nested(100);
    XmlDocument parsed;
    parsed.Parse(text.c_str());
    EXPECT_FALSE(parsed.Error()) << parsed.ErrorDesc();
    EXPECT_EQ(ChainLength(parsed.RootElement()), 100);

    TempDir dir;
    WriteFile(dir / "deep.xml", text);
    XmlDocument loaded;
    EXPECT_TRUE(loaded.LoadFile(dir / "deep.xml")) << loaded.ErrorDesc();
    EXPECT_EQ(ChainLength(loaded.RootElement()), 100);
}

TEST(ParseDepth, HundredAndOneLevelsFailWithErrorSeventeenFromTextAndFromFile) {
    const std::string text = "<?xml ?>\n" + Nested(101);
    XmlDocument parsed;
    EXPECT_EQ(parsed.Parse(text.c_str()), nullptr);
    ExpectTooDeep(parsed);

    TempDir dir;
    WriteFile(dir / "deep.xml", text);
    XmlDocument loaded;
    EXPECT_FALSE(loaded.LoadFile(dir / "deep.xml"));
    ExpectTooDeep(loaded);
    WriteFile(dir / "deep.xml.bak", text);
    XmlDocument withBackup;
    EXPECT_FALSE(LoadDocumentWithBackup(withBackup, dir / "deep.xml"));
    ExpectTooDeep(withBackup);
}

TEST(ParseDepth, AnyMarkupCountsAsALevelButCharacterDataDoesNot) {
    for (const char* inner :
         {"<!-- note -->", "<![CDATA[x]]>", "<?xml ?>", "<!DOCTYPE x>", "<b/>"}) {
        XmlDocument document;
        document.Parse(Nested(100, inner).c_str());
        EXPECT_EQ(document.ErrorId(), 17) << inner;
    }
    XmlDocument text;
    text.Parse(Nested(100, "plain text &amp; more").c_str());
    EXPECT_FALSE(text.Error()) << text.ErrorDesc();
}

TEST(ParseDepth, OnlyNestingCountsNotTheNumberOfSiblings) {
    std::string wide = "<r>";
    for (int i = 0; i < 500; ++i) wide += Nested(99);
    wide += "</r>";
    XmlDocument document;
    document.Parse(wide.c_str());
    EXPECT_FALSE(document.Error()) << document.ErrorDesc();
}

TEST(ParseDepth, AMillionLevelsFailCleanlyWithoutExhaustingTheStack) {
    std::string text;
    for (int i = 0; i < 1000000; ++i) text += "<a>";
    XmlDocument document;
    document.Parse(text.c_str());
    ExpectTooDeep(document);
}

TEST(ParseDepth, WhatCameBeforeTheTooDeepMarkupStaysInTheDocument) {
    const std::string text = "<r><first x=\"1\"/>" + Nested(99, "<b/>") + "<last/></r>";
    XmlDocument document;
    document.Parse(text.c_str());
    ExpectTooDeep(document);
    const TiXmlElement* root = document.RootElement();
    ASSERT_NE(root, nullptr);
    const TiXmlElement* first = root->FirstChildElement("first");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->Attribute("x"), "1");
    EXPECT_EQ(1 + ChainLength(root->FirstChildElement("a")), 100)
        << "the elements down to the deepest allowed level";
    EXPECT_EQ(root->FirstChildElement("last"), nullptr) << "nothing after the offending markup";
}

TEST(ParseDepth, CopiesKeepTheLimit) {
    XmlDocument original;
    XmlDocument copy(original);
    EXPECT_EQ(copy.MaxParseDepth(), 100);
    copy.Parse(Nested(101).c_str());
    EXPECT_EQ(copy.ErrorId(), 17);
}

TEST(ParseDepth, ABrokenUtf8SequenceAtTheEndEndsTheText) {
    // The lead byte announces three more bytes than the text has.
    XmlDocument document;
    document.Parse("\xEF\xBB\xBF<a>x\xF0");
    EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE);
    ASSERT_NE(document.RootElement(), nullptr);
    EXPECT_STREQ(document.RootElement()->GetText(), "x\xF0");
}

TEST(ParseDepth, FollowsTheEncodingThatTheDeclarationSettles) {
    // In UTF-8 the byte C3 starts a two-byte character and so swallows the "<" of the end tag;
    // an encoding name that is empty as a C string counts as UTF-8.
    const std::string body = "<a>\xC3</a>";
    for (const char* declared : {"", "encoding=\"utf-8\"", "encoding=\"&#0;\""}) {
        XmlDocument document;
        document.Parse(("<?xml " + std::string(declared) + "?>" + body).c_str());
        EXPECT_EQ(document.ErrorId(), TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE) << declared;
    }
    XmlDocument legacy;
    legacy.Parse(("<?xml encoding=\"latin1\"?>" + body).c_str());
    EXPECT_FALSE(legacy.Error()) << legacy.ErrorDesc();
}

TEST(FileLoad, ADirectoryOrFifoInPlaceOfTheFileFailsToOpen) {
    TempDir dir;
    mkdir((dir / "directory.xml").c_str(), 0755);
    mkdir((dir / "directory.xml/inside").c_str(), 0755);
    mkfifo((dir / "fifo.xml").c_str(), 0644);
    for (const char* name : {"directory.xml", "fifo.xml", "missing.xml"}) {
        XmlDocument document;
        EXPECT_FALSE(document.LoadFile(dir / name)) << name;
        EXPECT_EQ(document.ErrorId(), 2) << name;
        EXPECT_STREQ(document.ErrorDesc(), "Failed to open file") << name;
    }
}

TEST(FileLoad, EmptyAndMalformedFilesReportTheLibrarysErrors) {
    TempDir dir;
    WriteFile(dir / "empty.xml", "");
    WriteFile(dir / "broken.xml", "<a><b></a>");
    XmlDocument empty;
    EXPECT_FALSE(empty.LoadFile(dir / "empty.xml"));
    EXPECT_EQ(empty.ErrorId(), TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
    EXPECT_STREQ(empty.ErrorDesc(), "Error document empty.");
    XmlDocument broken;
    EXPECT_FALSE(broken.LoadFile(dir / "broken.xml"));
    EXPECT_EQ(broken.ErrorId(), TiXmlBase::TIXML_ERROR_READING_END_TAG);
    EXPECT_STREQ(broken.ErrorDesc(), "Error reading end tag.");
}

std::string Compact(const TiXmlNode& node) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    node.Accept(&printer);
    return printer.Str();
}

TEST(ElementBuilders, WriteTheirAttributesInOrderWithSignedIdentifiers) {
    TiXmlElement parent("Modules");
    parent.LinkEndChild(new TiXmlElement("Existing"));
    TiXmlElement* module = AppendModuleElement(parent, 0x80000000u, "Core", "19.12.6.0");
    AppendPluginElement(*module, 0x80000000u, "dvrcore", 0, 0, 0, -1, -1);
    AppendPluginElement(*module, 0xF01C0000u, "x.so", 12, -3, 5, 40, 100);
    EXPECT_EQ(Compact(parent),
              "<Modules><Existing />"
              "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\">"
              "<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />"
              "<Plugin ID=\"-266600448\" Filename=\"x.so\" Opened=\"1\" LoadTimeMs=\"12\" "
              "OpenTimeMs=\"-3\" OpenCode=\"5\" LogLevel=\"40\" LogLevelDefault=\"100\" />"
              "</Module></Modules>");
}

TEST(IntegerAttributes, ReadAsTheLibraryDoesWithinThirtyTwoBitsAndRefuseBeyond) {
    TiXmlElement row("Plugin");
    const auto read = [&row](const char* text) {
        row.SetAttribute("Value", text);
        int value = 12345;
        const int result = QueryInt32Attribute(row, "Value", &value);
        return std::make_pair(result, value);
    };
    using Read = std::pair<int, int>;
    EXPECT_EQ(read("50"), Read(TIXML_SUCCESS, 50));
    EXPECT_EQ(read(" +7"), Read(TIXML_SUCCESS, 7));
    EXPECT_EQ(read("-2147483648"), Read(TIXML_SUCCESS, INT32_MIN));
    EXPECT_EQ(read("2147483647"), Read(TIXML_SUCCESS, INT32_MAX));
    EXPECT_EQ(read("30 loud"), Read(TIXML_SUCCESS, 30)) << "what follows the digits is ignored";
    // 2^32 + 50 would read as 50 through a 64-bit scanf and be refused through a 32-bit one.
    EXPECT_EQ(read("4294967346"), Read(TIXML_WRONG_TYPE, 12345));
    EXPECT_EQ(read("2147483648"), Read(TIXML_WRONG_TYPE, 12345));
    EXPECT_EQ(read("-2147483649"), Read(TIXML_WRONG_TYPE, 12345));
    EXPECT_EQ(read("99999999999999999999999"), Read(TIXML_WRONG_TYPE, 12345));
    EXPECT_EQ(read("loud"), Read(TIXML_WRONG_TYPE, 12345));
    EXPECT_EQ(read(""), Read(TIXML_WRONG_TYPE, 12345));
    int value = 12345;
    EXPECT_EQ(QueryInt32Attribute(row, "Missing", &value), TIXML_NO_ATTRIBUTE);
    EXPECT_EQ(value, 12345);
}

}  // namespace
}  // namespace testkit
