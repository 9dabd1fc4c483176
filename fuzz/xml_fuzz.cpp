// Fuzz target: configuration text as plugins send it. The input is parsed by the XML layer,
// whose depth walk must agree with what TinyXML itself builds from the same text, and is then
// read by the core as a delta document.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/parse_depth.h"
#include "config/xml_layer.h"
#include "core/dvrcore.h"

namespace {

// Larger texts are not handed to the unguarded library: its recursion is what the layer
// exists to avoid.
constexpr std::size_t kLibraryCheckLimit = 16384;

std::string MakeWorkDirectory() {
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/xml-fuzz-XXXXXX"
                                                        : "/tmp/xml-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
}

class FuzzCore : public dvrcore {
public:
    FuzzCore() : dvrcore(MakeWorkDirectory() + "/dvrcore"), home(open(".", O_RDONLY)) {
        // Refuses the broadcasts, so that nothing piles up in the delivery queue.
        stopRequested = true;
    }

    ~FuzzCore() override {
        for (const char* name : {"/core.xml", "/core.xml.bak", "/core.xml.pending"})
            unlink((WorkDirectory() + name).c_str());
        rmdir(WorkDirectory().c_str());
    }

    // ParseConfig saves core.xml in the working directory when a level changes: the fuzzer's
    // own directory then, and the fuzzer's again afterwards for its relative corpus paths.
    void ParseInWorkDirectory(const std::string& text) {
        if (chdir(WorkDirectory().c_str()) != 0) abort();
        ParseConfig(text);
        if (fchdir(home) != 0) abort();
    }

    void WriteLog(uint32_t, uint32_t, const char*) override {}

private:
    std::string WorkDirectory() const {
        return executablePath.substr(0, executablePath.rfind('/'));
    }

    const int home;
};

// Character data is the only content not introduced by a "<".
bool IsMarkup(const TiXmlNode& node) {
    const TiXmlText* text = node.ToText();
    return text == nullptr || text->CDATA();
}

// The deepest level of markup in the tree (the root element is level 1), counted without
// recursion.
int MarkupDepth(const TiXmlNode& document) {
    int deepest = 0;
    int depth = 0;
    const TiXmlNode* node = document.FirstChild();
    while (node != nullptr) {
        if (IsMarkup(*node) && depth + 1 > deepest) deepest = depth + 1;
        if (node->FirstChild() != nullptr) {
            node = node->FirstChild();
            ++depth;
            continue;
        }
        while (node != nullptr && node->NextSibling() == nullptr) {
            node = node->Parent() == &document ? nullptr : node->Parent();
            --depth;
        }
        if (node != nullptr) node = node->NextSibling();
    }
    return deepest;
}

std::string Printed(const TiXmlDocument& document) {
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

// The layer refuses exactly the texts in which the library would nest too deeply, and
// otherwise builds what the library builds.
void CheckAgainstLibrary(const std::string& text, const XmlDocument& layer) {
    std::string padded = text;
    padded.append(kParsePadding, '\0');
    TiXmlDocument plain;
    plain.Parse(padded.c_str());
    const bool tooDeep = MarkupDepth(plain) > layer.MaxParseDepth();
    if (tooDeep != (layer.ErrorId() == XmlDocument::kErrorTooDeep)) abort();
    if (!tooDeep && (layer.ErrorId() != plain.ErrorId() || Printed(layer) != Printed(plain)))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FuzzCore core;
    const std::string text(reinterpret_cast<const char*>(data), size);
    XmlDocument document;
    document.Parse(text.c_str());
    if (MarkupDepth(document) > document.MaxParseDepth()) abort();
    // The layer, as the library, reads the text up to its first NUL.
    const std::string parsed = text.c_str();
    if (parsed.size() <= kLibraryCheckLimit) CheckAgainstLibrary(parsed, document);
    core.ParseInWorkDirectory(text);
    return 0;
}
