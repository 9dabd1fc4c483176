// A walk over the text that follows TinyXML's parser step by step, with the library's own
// reading primitives, but keeps the open elements in a vector instead of on the stack. Where
// the library's parse would fail, the walk stops too: nothing after that point is ever
// parsed, so nothing after it can be too deep.
#include "config/parse_depth.h"

#include <set>
#include <vector>

namespace {

// The library's reading primitives, made reachable.
class Grammar : public TiXmlBase {
public:
    Grammar() = delete;
    using TiXmlBase::IsAlpha;
    using TiXmlBase::IsWhiteSpace;
    using TiXmlBase::ReadName;
    using TiXmlBase::ReadText;
    using TiXmlBase::SkipWhiteSpace;
    using TiXmlBase::StringEqual;
};

enum class Markup { Declaration, Comment, Cdata, Unknown, Element };
enum class StartTag { Failed, Empty, Open };

bool HasUtf8Mark(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF;
}

class Walk {
public:
    Walk(const char* text, int maxDepth, TiXmlEncoding encoding)
        : text(text), maxDepth(static_cast<std::size_t>(maxDepth < 0 ? 0 : maxDepth)),
          encoding(encoding) {}

    std::size_t Run();

private:
    const char* Skip(const char* p) const { return Grammar::SkipWhiteSpace(p, encoding); }
    bool Equal(const char* p, const char* tag, bool ignoreCase = false) const {
        return Grammar::StringEqual(p, tag, ignoreCase, encoding);
    }
    Markup Identify(const char* p) const;
    const char* Attribute(const char* p, std::string* name, std::string* value) const;
    const char* Declaration(const char* p, std::string* declared) const;
    const char* Leaf(Markup kind, const char* p, std::string* declared) const;
    const char* Text(const char* p) const;
    StartTag ReadStartTag(const char*& p, std::string* endTag) const;
    bool ReadEndTag(const char*& p, const std::string& endTag) const;
    const char* Element(const char* p);
    const char* Content(const char* p, std::vector<std::string>& open);
    void TakeEncoding(const std::string& declared);

    const char* const text;
    const std::size_t maxDepth;
    TiXmlEncoding encoding;
    std::size_t excess = std::string::npos;
};

// As TiXmlNode::Identify, for a position at "<".
Markup Walk::Identify(const char* p) const {
    if (Equal(p, "<?xml", true)) return Markup::Declaration;
    if (Equal(p, "<!--")) return Markup::Comment;
    if (Equal(p, "<![CDATA[")) return Markup::Cdata;
    if (Equal(p, "<!")) return Markup::Unknown;
    if (Grammar::IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_')
        return Markup::Element;
    return Markup::Unknown;
}

// As TiXmlAttribute::Parse.
const char* Walk::Attribute(const char* p, std::string* name, std::string* value) const {
    value->clear();
    p = Skip(p);
    if (p == nullptr || *p == '\0') return nullptr;
    p = Grammar::ReadName(p, name, encoding);
    if (p == nullptr || *p == '\0') return nullptr;
    p = Skip(p);
    if (p == nullptr || *p != '=') return nullptr;
    p = Skip(p + 1);
    if (p == nullptr || *p == '\0') return nullptr;
    if (*p == '\'' || *p == '"') {
        const char quote[2] = {*p, '\0'};
        return Grammar::ReadText(p + 1, value, false, quote, false, encoding);
    }
    for (; *p != '\0' && !Grammar::IsWhiteSpace(*p) && *p != '/' && *p != '>'; ++p) {
        if (*p == '\'' || *p == '"') return nullptr;
        value->push_back(*p);
    }
    return p;
}

// As TiXmlDeclaration::Parse; `declared` receives its encoding attribute.
const char* Walk::Declaration(const char* p, std::string* declared) const {
    std::string name, value;
    for (p += 5; p != nullptr && *p != '\0';) {
        if (*p == '>') return p + 1;
        p = Skip(p);
        if (p == nullptr || *p == '\0') break;
        if (Equal(p, "version", true) || Equal(p, "standalone", true)) {
            p = Attribute(p, &name, &value);
        } else if (Equal(p, "encoding", true)) {
            p = Attribute(p, &name, &value);
            *declared = value;
        } else {
            while (*p != '\0' && *p != '>' && !Grammar::IsWhiteSpace(*p)) ++p;
        }
    }
    return nullptr;
}

// Comments, CDATA sections, declarations and unknown markup: nothing nests inside them.
const char* Walk::Leaf(Markup kind, const char* p, std::string* declared) const {
    std::string ignored;
    switch (kind) {
        case Markup::Declaration:
            return Declaration(p, declared);
        case Markup::Comment:
            for (p += 4; *p != '\0' && !Equal(p, "-->");) ++p;
            return *p != '\0' ? p + 3 : p;
        case Markup::Cdata:
            for (p += 9; *p != '\0' && !Equal(p, "]]>");) ++p;
            return Grammar::ReadText(p, &ignored, false, "]]>", false, encoding);
        default:
            for (++p; *p != '\0' && *p != '>';) ++p;
            return *p == '>' ? p + 1 : p;
    }
}

// As TiXmlText::Parse for character data: the position of the "<" that ends it, or null.
const char* Walk::Text(const char* p) const {
    std::string ignored;
    p = Grammar::ReadText(p, &ignored, true, "<", false, encoding);
    return p != nullptr && *p != '\0' ? p - 1 : nullptr;
}

// As TiXmlElement::Parse up to the end of the start tag, for a position at "<".
StartTag Walk::ReadStartTag(const char*& p, std::string* endTag) const {
    std::string name, value;
    p = Grammar::ReadName(Skip(p + 1), &name, encoding);
    if (p == nullptr || *p == '\0') return StartTag::Failed;
    *endTag = "</" + name;
    std::set<std::string> names;
    for (;;) {
        p = Skip(p);
        if (p == nullptr || *p == '\0') return StartTag::Failed;
        if (*p == '/') {
            if (p[1] != '>') return StartTag::Failed;
            p += 2;
            return StartTag::Empty;
        }
        if (*p == '>') {
            ++p;
            return StartTag::Open;
        }
        p = Attribute(p, &name, &value);
        if (p == nullptr || *p == '\0' || !names.insert(name).second) return StartTag::Failed;
    }
}

bool Walk::ReadEndTag(const char*& p, const std::string& endTag) const {
    if (!Equal(p, endTag.c_str())) return false;
    p = Skip(p + endTag.size());
    if (p == nullptr || *p != '>') return false;
    ++p;
    return true;
}

// A top-level element and everything inside it; the position after it, or null.
const char* Walk::Element(const char* p) {
    std::vector<std::string> open(1);
    switch (ReadStartTag(p, &open.back())) {
        case StartTag::Failed:
            return nullptr;
        case StartTag::Empty:
            return p;
        default:
            return Content(Skip(p), open);
    }
}

// As TiXmlElement::ReadValue with the end tag, for the innermost of the open elements.
const char* Walk::Content(const char* p, std::vector<std::string>& open) {
    while (p != nullptr && *p != '\0') {
        std::string ignored;
        if (*p != '<') {
            p = Text(p);
        } else if (Equal(p, "</")) {
            if (!ReadEndTag(p, open.back())) return nullptr;
            open.pop_back();
            if (open.empty()) return p;
        } else if (open.size() >= maxDepth) {
            excess = static_cast<std::size_t>(p - text);
            return nullptr;
        } else if (Identify(p) == Markup::Element) {
            open.emplace_back();
            const StartTag tag = ReadStartTag(p, &open.back());
            if (tag == StartTag::Failed) return nullptr;
            if (tag == StartTag::Empty) open.pop_back();
        } else {
            p = Leaf(Identify(p), p, &ignored);
        }
        p = Skip(p);
    }
    return nullptr;
}

// As the document parse: the first declaration settles an encoding not known before. The
// library reads the name as a C string, so one that starts with an encoded NUL is empty; and
// its comparison must not be handed an empty text.
void Walk::TakeEncoding(const std::string& declared) {
    if (encoding != TIXML_ENCODING_UNKNOWN) return;
    const char* name = declared.c_str();
    const bool utf8 = *name == '\0' || Grammar::StringEqual(name, "UTF-8", true, encoding) ||
                      Grammar::StringEqual(name, "UTF8", true, encoding);
    encoding = utf8 ? TIXML_ENCODING_UTF8 : TIXML_ENCODING_LEGACY;
}

// As TiXmlDocument::Parse.
std::size_t Walk::Run() {
    if (*text == '\0') return excess;
    if (encoding == TIXML_ENCODING_UNKNOWN && HasUtf8Mark(text)) encoding = TIXML_ENCODING_UTF8;
    for (const char* p = Skip(text); p != nullptr && *p == '<';) {
        const Markup kind = Identify(p);
        std::string declared;
        p = kind == Markup::Element ? Element(p) : Leaf(kind, p, &declared);
        if (kind == Markup::Declaration) TakeEncoding(declared);
        p = Skip(p);
    }
    return excess;
}

}  // namespace

std::size_t FindExcessNesting(const char* text, int maxDepth, TiXmlEncoding encoding) {
    return Walk(text, maxDepth, encoding).Run();
}
