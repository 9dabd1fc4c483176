// The XML layer: TinyXML documents with a maximum parse depth, the fallback load and the safe
// save of configuration files, and the attribute reader that every document shares.
#pragma once

#include <tinyxml.h>

#include <cstdint>
#include <string>

// A TinyXML document that refuses to parse markup nested deeper than its maximum parse depth,
// so that hostile text cannot drive the library's recursive parser through the stack.
//
// The library's error table ends at 16 and its error text cannot be set from outside, so the
// layer keeps errors of its own (17, and the safe save's texts) beside the library's; the
// accessors below hide the library's ones to report whichever is in force.
class XmlDocument : public TiXmlDocument {
public:
    static constexpr int kDefaultMaxParseDepth = 100;
    static constexpr int kErrorTooDeep = 17;

    XmlDocument() = default;
    XmlDocument(const XmlDocument&) = default;
    XmlDocument& operator=(const XmlDocument&) = default;

    const char* Parse(const char* text, TiXmlParsingData* data = nullptr,
                      TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING) override;
    // The library's file load, for regular files only: the library reads a directory as a
    // file of absurd size and dies allocating for it, and a FIFO would block the core.
    bool LoadFile(const std::string& path);

    int MaxParseDepth() const { return maxParseDepth; }
    int ErrorId() const;
    const char* ErrorDesc() const;
    void ClearError();
    // Records an error with a text of the layer's own in place of the library's.
    void RecordError(int id, const std::string& text);

private:
    int maxParseDepth = kDefaultMaxParseDepth;
    int ownErrorId = 0;
    std::string ownErrorText;
};

// Loads the file at `path`, or else its backup (`path` + ".bak"), which then takes the file's
// place. True when one of the two loaded.
bool LoadDocumentWithBackup(XmlDocument& document, const std::string& path);

// Writes the document through a side file (`path` + ".pending") that replaces the file only
// once it is complete and on storage, keeping the old file as a backup until then. On failure
// records error 2 with a text saying what failed and returns false.
bool SaveDocumentSafely(XmlDocument& document, const std::string& path);

// The attribute as a 32-bit integer, read like the library's QueryIntAttribute (leading blanks
// and a sign, then decimal digits; what follows them is ignored) but the same on every target:
// a number outside the 32-bit range is TIXML_WRONG_TYPE instead of whatever the platform's
// scanf makes of it.
int QueryInt32Attribute(const TiXmlElement& element, const char* name, int* value);
