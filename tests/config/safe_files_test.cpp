// Documents on disk: the load that falls back to the backup, and the safe save with each of
// its failures.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <string>

#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "config_support.h"

namespace testkit {
namespace {

namespace fs = boost::filesystem;

const std::string kOld = "<Norv Delta=\"0\">\n    <Memory Throttling=\"1\" />\n</Norv>\n";
const std::string kBackup = "<Norv Delta=\"0\">\n    <Memory Throttling=\"0\" />\n</Norv>\n";

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

std::string ThrottlingOf(const XmlDocument& document) {
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* memory = root != nullptr ? root->FirstChildElement("Memory") : nullptr;
    const char* value = memory != nullptr ? memory->Attribute("Throttling") : nullptr;
    return value != nullptr ? value : "(none)";
}

// <?xml ?><Norv Delta="0"><Memory ID="-2147483648" Throttling="0" /><Modules>...
void BuildDocument(XmlDocument& document) {
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
    AppendModuleElement(*modules, 0x80000000u, "Core", "19.12.6.0");
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
    XmlDocument document;
    BuildDocument(document);
    EXPECT_TRUE(SaveDocumentSafely(document, dir / "core.xml")) << document.ErrorDesc();
    EXPECT_EQ(ReadFile(dir / "core.xml"), kBuiltText);
    EXPECT_FALSE(Exists(dir / "core.xml.bak"));
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
}

INSTANTIATE_TEST_SUITE_P(CreatesOrReplaces, SafeSaveWrites, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OverAnOldFileAndASideFile" : "Fresh";
                         });

TEST(SafeSave, BackupNameTakenByADirectoryFailsTheSwapAndKeepsTheOldFile) {
    TempDir dir;
    WriteFile(dir / "core.xml", kOld);
    fs::create_directories(dir / "core.xml.bak/inside");
    XmlDocument document;
    BuildDocument(document);
    EXPECT_FALSE(SaveDocumentSafely(document, dir / "core.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_STREQ(document.ErrorDesc(), "xml file swap failed");
    EXPECT_EQ(ReadFile(dir / "core.xml"), kOld);
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
}

TEST(SafeSave, BufferedBytesThatFailOnTheWayToStorageAreACloseError) {
    // The side file leads to a device that accepts the bytes into the stream's buffer and
    // refuses them when they are flushed.
    TempDir dir;
    WriteFile(dir / "core.xml", kOld);
    fs::create_symlink("/dev/full", dir / "core.xml.pending");
    XmlDocument document;
    BuildDocument(document);
    EXPECT_FALSE(SaveDocumentSafely(document, dir / "core.xml"));
    EXPECT_EQ(document.ErrorId(), 2);
    EXPECT_EQ(document.ErrorDesc(), "close error " + std::to_string(ENOSPC));
    EXPECT_EQ(ReadFile(dir / "core.xml"), kOld);
    EXPECT_FALSE(Exists(dir / "core.xml.pending"));
    EXPECT_FALSE(Exists(dir / "core.xml.bak"));
}

// Saves into `directory` from a child process that has given up root's right to ignore
// permissions, and returns "<result> <error id> <error text>".
std::string SaveAsUnprivilegedUser(const std::string& directory) {
    int channel[2];
    if (pipe(channel) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string report = "no setuid";
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            XmlDocument document;
            BuildDocument(document);
            const bool saved = SaveDocumentSafely(document, directory + "/core.xml");
            report = std::to_string(saved) + " " + std::to_string(document.ErrorId()) + " " +
                     document.ErrorDesc();
        }
        const ssize_t written = write(channel[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return report;
}

TEST(SafeSave, ADirectoryThatForbidsCreatingFilesIsACreateError) {
    TempDir dir;
    const std::string locked = dir / "locked";
    fs::create_directories(locked);
    WriteFile(locked + "/core.xml", kOld);
    chmod(locked.c_str(), 0555);
    std::string report;
    if (geteuid() == 0) {
        report = SaveAsUnprivilegedUser(locked);
        if (report == "no setuid") GTEST_SKIP() << "running as root without the right to drop it";
    } else {
        XmlDocument document;
        BuildDocument(document);
        const bool saved = SaveDocumentSafely(document, locked + "/core.xml");
        report = std::to_string(saved) + " " + std::to_string(document.ErrorId()) + " " +
                 document.ErrorDesc();
    }
    chmod(locked.c_str(), 0755);
    EXPECT_EQ(report, "0 2 create error 13");
    EXPECT_EQ(ReadFile(locked + "/core.xml"), kOld);
    EXPECT_FALSE(Exists(locked + "/core.xml.pending"));
}

}  // namespace
}  // namespace testkit
