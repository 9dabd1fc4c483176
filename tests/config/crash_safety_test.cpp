// A save killed at any moment never costs the file: a child process saves core.xml over and
// over and is killed with SIGKILL at random points; loading with the backup fallback must then
// give back one of the two complete documents.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "config_support.h"

namespace testkit {
namespace {

// Two documents of clearly different lengths, so that a cut-off one shows.
void Build(XmlDocument& document, int plugins) {
    document.LinkEndChild(new TiXmlDeclaration());
    auto* root = new TiXmlElement("Norv");
    root->SetAttribute("Delta", 0);
    document.LinkEndChild(root);
    auto* modules = new TiXmlElement("Modules");
    root->LinkEndChild(modules);
    TiXmlElement* core = AppendModuleElement(*modules, 0x80000000u, "Core", "19.12.6.0");
    for (int i = 0; i < plugins; ++i)
        AppendPluginElement(*core, 0x00100000u + (i << 16), "plugin.so", i, i, 0, 40, 40);
}

std::string Printed(const TiXmlDocument& document) {
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

// Saves the two documents in turn, writing one byte to `progress` after each save.
[[noreturn]] void SaveForever(const std::string& path, int progress) {
    XmlDocument documents[2];
    Build(documents[0], 3);
    Build(documents[1], 60);
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
    XmlDocument small, large;
    Build(small, 3);
    Build(large, 60);
    const std::string expected[2] = {Printed(small), Printed(large)};

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

}  // namespace
}  // namespace testkit
