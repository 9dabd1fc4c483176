// Documents on disk: the load that falls back to the backup, and the safe save with each of
// its failures. A save killed at any moment never costs the file: a child process saves
// core.xml over and over and is killed with SIGKILL at random points; loading with the backup
// fallback must then give back one of the two complete documents.
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <random>
#include <utility>

#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "support/testkit.h"

namespace testkit {
namespace {

namespace fs = boost::filesystem;

const std::string kOld = "<Norv Delta=\"0\">\n    <Memory Throttling=\"1\" />\n</Norv>\n";
const std::string kBackup = "<Norv Delta=\"0\">\n    <Memory Throttling=\"0\" />\n</Norv>\n";

std::string ThrottlingOf(const XmlDocument& document) {
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* memory = root != nullptr ? root->FirstChildElement("Memory") : nullptr;
    const char* value = memory != nullptr ? memory->Attribute("Throttling") : nullptr;
    return value != nullptr ? value : "(none)";
}

// <?xml ?><Norv Delta="0"><Memory ID="-2147483648" Throttling="0" /><Modules>... with the core's
// module and `plugins` rows in it.
XmlDocument Built(int plugins = 0) {
    XmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration());
    auto* root = new TiXmlElement("Norv");
    root->SetAttribute("Delta", 0);
    document.LinkEndChild(root);
    auto* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", static_cast<int>(0x80000000u));
    memory->SetAttribute("Throttling", 0);
    root->LinkEndChild(memory);
    auto* modules = new TiXmlElement("Modules");
    root->LinkEndChild(modules);
    TiXmlElement* core = AppendModuleElement(*modules, 0x80000000u, "Core", "19.12.6.0");
    for (int i = 0; i < plugins; ++i)
        AppendPluginElement(*core, 0x00100000u + (i << 16), "plugin.so", i, i, 0, 40, 40);
    return document;
}

const std::string kBuiltText =
    "<?xml ?>\n"
    "<Norv Delta=\"0\">\n"
    "    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n"
    "    <Modules>\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.12.6.0\" />\n"
    "    </Modules>\n"
    "</Norv>\n";

struct BackupCase {
    const char* name;
    const char* file;  // core.xml before the load; null when there is none
    const char* throttling;
    std::string kept;  // core.xml after the load
};

class BackupFallback : public ::testing::TestWithParam<BackupCase> {};

TEST_P(BackupFallback, ReadsTheValidOneAndLeavesNoBackup) {
    TempDir dir;
    if (GetParam().file != nullptr) WriteFile(dir / "core.xml", GetParam().file);
    WriteFile(dir / "core.xml.bak", kBackup);
    XmlDocument document;
    EXPECT_TRUE(LoadDocumentWithBackup(document, dir / "core.xml"));
    EXPECT_EQ(ThrottlingOf(document), GetParam().throttling);
    EXPECT_EQ(ReadFile(dir / "core.xml"), GetParam().kept);
    EXPECT_FALSE(Exists(dir / "core.xml.bak"));
}

INSTANTIATE_TEST_SUITE_P(
    FileAndBackup, BackupFallback,
    ::testing::Values(BackupCase{"MissingFileIsRestored", nullptr, "0", kBackup},
                      BackupCase{"BrokenFileIsReplaced", "<Norv Delta=\"0\"><Memory Thrott", "0",
                                 kBackup},
                      BackupCase{"ValidFileWinsOverAStaleBackup", kOld.c_str(), "1", kOld}),
    [](const ::testing::TestParamInfo<BackupCase>& info) { return info.param.name; });

TEST(LoadWithBackup, FailsWithTheErrorOfTheLastAttemptWhenNeitherLoads) {
    TempDir dir;
    XmlDocument missing;
    EXPECT_FALSE(LoadDocumentWithBackup(missing, dir / "core.xml"));
    EXPECT_EQ(missing.ErrorId(), 2);

    WriteFile(dir / "core.xml", "<a>");
    WriteFile(dir / "core.xml.bak", "");
    XmlDocument broken;
    EXPECT_FALSE(LoadDocumentWithBackup(broken, dir / "core.xml"));
    EXPECT_EQ(broken.ErrorId(), TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY)
        << "the empty backup was tried last";
    EXPECT_EQ(ReadFile(dir / "core.xml"), "<a>") << "nothing is renamed";
    EXPECT_TRUE(Exists(dir / "core.xml.bak"));
}

class SafeSaveWrites : public ::testing::TestWithParam<bool> {};

TEST_P(SafeSaveWrites, TheFileWithFourSpaceIndentationAndLeavesNothingElse) {
    TempDir dir;
    if (GetParam()) {  // an old file, and a side file left by an earlier save
        WriteFile(dir / "core.xml", kOld);
        WriteFile(dir / "core.xml.pending", "<half");
    }
    XmlDocument document = Built();
    EXPECT_TRUE(SaveDocumentSafely(document, dir / "core.xml")) << document.ErrorDesc();
    EXPECT_EQ(ReadFile(dir / "core.xml"), kBuiltText);
    EXPECT_FALSE(Exists(dir / "core.xml.bak"));
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
}

INSTANTIATE_TEST_SUITE_P(CreatesOrReplaces, SafeSaveWrites, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OverAnOldFileAndASideFile" : "Fresh";
                         });

// Saves into `directory`; "<result> <error id> <error text>".
std::string SaveInto(const std::string& directory) {
    XmlDocument document = Built();
    const bool saved = SaveDocumentSafely(document, directory + "/core.xml");
    return std::to_string(saved) + " " + std::to_string(document.ErrorId()) + " " +
           document.ErrorDesc();
}

TEST(SafeSave, BackupNameTakenByADirectoryFailsTheSwapAndKeepsTheOldFile) {
    TempDir dir;
    WriteFile(dir / "core.xml", kOld);
    fs::create_directories(dir / "core.xml.bak/inside");
    EXPECT_EQ(SaveInto(dir.path()), "0 2 xml file swap failed");
    EXPECT_EQ(ReadFile(dir / "core.xml"), kOld);
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
}

TEST(SafeSave, BufferedBytesThatFailOnTheWayToStorageAreACloseError) {
    // The side file leads to a device that accepts the bytes into the stream's buffer and
    // refuses them when they are flushed.
    TempDir dir;
    WriteFile(dir / "core.xml", kOld);
    fs::create_symlink("/dev/full", dir / "core.xml.pending");
    EXPECT_EQ(SaveInto(dir.path()), "0 2 close error " + std::to_string(ENOSPC));
    EXPECT_EQ(ReadFile(dir / "core.xml"), kOld);
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
    EXPECT_FALSE(Exists(dir / "core.xml.bak"));
}

TEST(SafeSave, ADirectoryThatForbidsCreatingFilesIsACreateError) {
    TempDir dir;
    const std::string locked = dir / "locked";
    fs::create_directories(locked);
    WriteFile(locked + "/core.xml", kOld);
    chmod(locked.c_str(), 0555);
    std::string report;
    if (geteuid() == 0) {
        // From a child process that has given up root's right to ignore permissions.
        report = InChild([&] {
            return setgid(65534) == 0 && setuid(65534) == 0 ? SaveInto(locked) : "no setuid";
        });
        if (report == "no setuid") GTEST_SKIP() << "running as root without the right to drop it";
    } else {
        report = SaveInto(locked);
    }
    chmod(locked.c_str(), 0755);
    EXPECT_EQ(report, "0 2 create error 13");
    EXPECT_EQ(ReadFile(locked + "/core.xml"), kOld);
    EXPECT_FALSE(Exists(locked + "/core.xml.pending"));
}

// ---- Crash safety -----------------------------------------------------------------------------

// The text of `node` as the library prints it: indented, or as a stream on one line.
std::string Printed(const TiXmlNode& node, bool stream = false) {
    TiXmlPrinter printer;
    if (stream) printer.SetStreamPrinting();
    node.Accept(&printer);
    return printer.Str();
}

// Saves the two documents in turn, writing one byte to `progress` after each save.
[[noreturn]] void SaveForever(const std::string& path, int progress) {
    XmlDocument documents[2] = {Built(3), Built(60)};
    for (unsigned round = 0;; ++round) {
        SaveDocumentSafely(documents[round % 2], path);
        if (write(progress, "s", 1) != 1) _exit(1);
    }
}

// Waits until the child has finished one to four saves, lets it go on for a random while and
// kills it. False when the child ended by itself.
bool KillDuringALaterSave(pid_t child, int progress, std::mt19937& random) {
    char done[4];
    const size_t saves = std::uniform_int_distribution<size_t>(1, sizeof done)(random);
    size_t got = 0;
    while (got < saves) {
        const ssize_t n = read(progress, done, saves - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    for (int spin = std::uniform_int_distribution<int>(0, 300)(random); spin > 0; --spin)
        sched_yield();
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    return got >= saves && WIFSIGNALED(status);
}

TEST(CrashSafety, AKilledSaveLeavesAWholeOldOrNewDocument) {
    TempDir dir;
    const std::string path = dir / "core.xml";
    const std::string expected[2] = {Printed(Built(3)), Printed(Built(60))};

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 120; ++round) {
        int progress[2];
        ASSERT_EQ(pipe(progress), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(progress[0]);
            SaveForever(path, progress[1]);
        }
        close(progress[1]);
        const bool ran = KillDuringALaterSave(child, progress[0], random);
        close(progress[0]);
        ASSERT_TRUE(ran) << "the child stopped saving";

        XmlDocument loaded;
        ASSERT_TRUE(LoadDocumentWithBackup(loaded, path))
            << "after kill " << round << ": " << loaded.ErrorDesc();
        const std::string text = Printed(loaded);
        ASSERT_TRUE(text == expected[0] || text == expected[1]) << "after kill " << round;
    }
}

// The XML layer's documents: the maximum parse depth, loads that must fail cleanly, and the
// element builders.

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

TEST(ElementBuilders, WriteTheirAttributesInOrderWithSignedIdentifiers) {
    TiXmlElement parent("Modules");
    parent.LinkEndChild(new TiXmlElement("Existing"));
    TiXmlElement* module = AppendModuleElement(parent, 0x80000000u, "Core", "19.12.6.0");
    AppendPluginElement(*module, 0x80000000u, "dvrcore", 0, 0, 0, -1, -1);
    AppendPluginElement(*module, 0xF01C0000u, "x.so", 12, -3, 5, 40, 100);
    EXPECT_EQ(Printed(parent, true),
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
