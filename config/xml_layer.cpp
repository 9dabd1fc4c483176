#include "config/xml_layer.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config/parse_depth.h"

namespace {

const char kTooDeepText[] =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";

std::string Padded(const char* text, std::size_t length) {
    std::string padded(text, length);
    padded.append(kParsePadding, '\0');
    return padded;
}

// The library returns a position in the text it parsed; report it in the caller's text.
const char* InCallersText(const char* position, const std::string& parsed, const char* text,
                          std::size_t length) {
    if (position == nullptr) return nullptr;
    const auto offset = static_cast<std::size_t>(position - parsed.c_str());
    return text + (offset < length ? offset : length);
}

}  // namespace

const char* XmlDocument::Parse(const char* text, TiXmlParsingData* data,
                               TiXmlEncoding encoding) {
    ownErrorId = 0;
    ownErrorText.clear();
    if (text == nullptr) return TiXmlDocument::Parse(text, data, encoding);
    const std::size_t length = std::strlen(text);
    std::string padded = Padded(text, length);
    const std::size_t excess = FindExcessNesting(padded.c_str(), maxParseDepth, encoding);
    if (excess == std::string::npos)
        return InCallersText(TiXmlDocument::Parse(padded.c_str(), data, encoding), padded, text,
                             length);
    // Cut at the offending markup, the library attaches exactly what it would have attached
    // before meeting it, and fails for want of the rest.
    padded = Padded(text, excess);
    TiXmlDocument::Parse(padded.c_str(), data, encoding);
    RecordError(kErrorTooDeep, kTooDeepText);
    return nullptr;
}

int XmlDocument::ErrorId() const {
    return ownErrorId != 0 ? ownErrorId : TiXmlDocument::ErrorId();
}

const char* XmlDocument::ErrorDesc() const {
    return ownErrorId != 0 ? ownErrorText.c_str() : TiXmlDocument::ErrorDesc();
}

void XmlDocument::ClearError() {
    TiXmlDocument::ClearError();
    ownErrorId = 0;
    ownErrorText.clear();
}

void XmlDocument::RecordError(int id, const std::string& text) {
    // The library's own flag must be set too: its LoadFile reports success from it.
    TiXmlDocument::ClearError();
    SetError(id < TIXML_ERROR_STRING_COUNT ? id : TIXML_ERROR, nullptr, nullptr,
             TIXML_ENCODING_UNKNOWN);
    ownErrorId = id;
    ownErrorText = text;
}

int QueryInt32Attribute(const TiXmlElement& element, const char* name, int* value) {
    const char* text = element.Attribute(name);
    if (text == nullptr) return TIXML_NO_ATTRIBUTE;
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return TIXML_WRONG_TYPE;
    *value = static_cast<int>(number);
    return TIXML_SUCCESS;
}
