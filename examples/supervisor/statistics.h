// statistics.h - the core's statistics answer read into numbers.
//
// The answer is a small XML document the core writes itself:
//   <Norv><Statistics Uptime=".." ...><Plugin ID=".." Name=".." ... />...</Statistics></Norv>
// A supervisor needs only the attributes of two elements, so it reads start tags with a reader
// of its own instead of linking an XML library. The reader still takes whatever a conforming
// writer may produce there: either quote, spaces around '=', the five named entities and
// character references, comments, a declaration, and elements it does not know.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

struct PluginStatistics {
    uint32_t id = 0;
    std::string name;
    uint64_t writes = 0, failures = 0, ioctls = 0, ioctlFailures = 0;
    uint64_t busyMs = 0;  // the delivery thread's time inside this plugin's Write, sampled
    uint64_t raised = 0, refused = 0;
    uint64_t kept = 0, keptBytes = 0, keptPeak = 0;
};

struct Statistics {
    uint64_t uptime = 0;    // whole seconds
    uint64_t resident = 0;  // bytes
    bool throttling = false;
    uint64_t delivered = 0, queueLength = 0, queuePeak = 0, stalls = 0, bytesCopied = 0;
    bool truncated = false;  // the core left plugins out to keep the answer within a packet
    std::vector<PluginStatistics> plugins;  // in the core's table order
};

namespace statistics_text {

using Attributes = std::map<std::string, std::string>;

struct Tag {
    std::string name;
    Attributes attributes;
    bool end = false;         // </name>
    bool selfClosed = false;  // <name ... />
};

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':';
}

inline void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// An attribute value with its references resolved; false on a reference XML does not allow.
inline bool Unescape(const std::string& raw, std::string* out) {
    static const std::map<std::string, char> named = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    out->clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            *out += raw[i];
            continue;
        }
        const std::size_t semicolon = raw.find(';', i);
        if (semicolon == std::string::npos) return false;
        const std::string name = raw.substr(i + 1, semicolon - i - 1);
        i = semicolon;
        if (name.size() >= 2 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            const std::string digits = name.substr(hex ? 2 : 1);
            if (digits.empty() || digits.size() > 8) return false;
            char* end = nullptr;
            const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
            if (*end != '\0' || code == 0 || code > 0x10FFFF) return false;
            AppendUtf8(static_cast<uint32_t>(code), out);
        } else {
            const auto it = named.find(name);
            if (it == named.end()) return false;
            *out += it->second;
        }
    }
    return true;
}

// Reads the tags of a document in order; text between them is skipped.
class TagReader {
public:
    explicit TagReader(const std::string& text) : text_(text) {}

    // False at the end of the text, or with `error` set when the text is not well formed.
    bool Next(Tag* tag, std::string* error) {
        for (;;) {
            at_ = text_.find('<', at_);
            if (at_ == std::string::npos) return false;
            if (Skip("<?", "?>", error) || Skip("<!--", "-->", error) || Skip("<!", ">", error))
                continue;
            if (!error->empty()) return false;
            return ReadTag(tag, error);
        }
    }

private:
    // Steps over a declaration, comment or doctype at `at_`; true when there was one.
    bool Skip(const char* open, const char* close, std::string* error) {
        if (text_.compare(at_, std::char_traits<char>::length(open), open) != 0) return false;
        const std::size_t end = text_.find(close, at_);
        if (end == std::string::npos) {
            *error = std::string("unterminated ") + open;
            at_ = text_.size();
            return false;
        }
        at_ = end + std::char_traits<char>::length(close);
        return true;
    }

    void SkipSpace() {
        while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
    }

    std::string Name() {
        const std::size_t start = at_;
        while (at_ < text_.size() && IsNameChar(text_[at_])) ++at_;
        return text_.substr(start, at_ - start);
    }

    bool ReadTag(Tag* tag, std::string* error) {
        *tag = Tag();
        ++at_;  // '<'
        if (at_ < text_.size() && text_[at_] == '/') {
            tag->end = true;
            ++at_;
        }
        tag->name = Name();
        if (tag->name.empty()) return Fail("a tag without a name", error);
        for (;;) {
            SkipSpace();
            if (at_ >= text_.size()) return Fail("unterminated <" + tag->name, error);
            const char c = text_[at_];
            if (c == '>') {
                ++at_;
                return true;
            }
            if (c == '/' && !tag->end && text_.compare(at_, 2, "/>") == 0) {
                tag->selfClosed = true;
                at_ += 2;
                return true;
            }
            if (tag->end) return Fail("stray text in </" + tag->name, error);
            if (!ReadAttribute(tag, error)) return false;
        }
    }

    bool ReadAttribute(Tag* tag, std::string* error) {
        const std::string name = Name();
        if (name.empty()) return Fail("bad attribute in <" + tag->name, error);
        SkipSpace();
        if (at_ >= text_.size() || text_[at_] != '=')
            return Fail("attribute " + name + " without a value", error);
        ++at_;
        SkipSpace();
        if (at_ >= text_.size() || (text_[at_] != '"' && text_[at_] != '\''))
            return Fail("attribute " + name + " without quotes", error);
        const char quote = text_[at_++];
        const std::size_t close = text_.find(quote, at_);
        if (close == std::string::npos) return Fail("unterminated value of " + name, error);
        std::string value;
        if (!Unescape(text_.substr(at_, close - at_), &value))
            return Fail("bad reference in " + name, error);
        at_ = close + 1;
        if (!tag->attributes.emplace(name, value).second)
            return Fail("attribute " + name + " twice", error);
        return true;
    }

    bool Fail(const std::string& what, std::string* error) {
        *error = what;
        at_ = text_.size();
        return false;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// The attribute `name` as an unsigned decimal number.
inline bool Unsigned(const Attributes& attributes, const char* name, uint64_t* value,
                     std::string* error) {
    const auto it = attributes.find(name);
    if (it == attributes.end()) {
        *error = std::string("no ") + name;
        return false;
    }
    const std::string& text = it->second;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    // strtoull takes a sign and leading spaces, which a counter never has.
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno == ERANGE) {
        *error = std::string("bad ") + name + " \"" + text + "\"";
        return false;
    }
    *value = number;
    return true;
}

// Counters a core may leave out: zero when absent, an error only when malformed.
inline bool OptionalUnsigned(const Attributes& attributes, const char* name, uint64_t* value,
                             std::string* error) {
    return attributes.count(name) == 0 || Unsigned(attributes, name, value, error);
}

// Identifiers are written as signed decimals: the core's own, 0x80000000, reads -2147483648.
inline bool Identifier(const Attributes& attributes, uint32_t* id, std::string* error) {
    const auto it = attributes.find("ID");
    if (it == attributes.end()) {
        *error = "a plugin without ID";
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || errno == ERANGE || number < INT32_MIN ||
        number > UINT32_MAX) {
        *error = "bad ID \"" + it->second + "\"";
        return false;
    }
    *id = static_cast<uint32_t>(number);
    return true;
}

inline bool ReadCore(const Attributes& a, Statistics* s, std::string* error) {
    uint64_t throttling = 0, truncated = 0;
    if (!Unsigned(a, "Uptime", &s->uptime, error) ||
        !Unsigned(a, "Resident", &s->resident, error) ||
        !Unsigned(a, "Throttling", &throttling, error) ||
        !Unsigned(a, "Delivered", &s->delivered, error) ||
        !Unsigned(a, "QueueLength", &s->queueLength, error) ||
        !Unsigned(a, "QueuePeak", &s->queuePeak, error) ||
        !Unsigned(a, "Stalls", &s->stalls, error) ||
        !OptionalUnsigned(a, "BytesCopied", &s->bytesCopied, error) ||
        !OptionalUnsigned(a, "Truncated", &truncated, error))
        return false;
    s->throttling = throttling != 0;
    s->truncated = truncated != 0;
    return true;
}

inline bool ReadPlugin(const Attributes& a, PluginStatistics* p, std::string* error) {
    const auto name = a.find("Name");
    if (name == a.end()) {
        *error = "a plugin without Name";
        return false;
    }
    p->name = name->second;
    return Identifier(a, &p->id, error) && Unsigned(a, "Writes", &p->writes, error) &&
           Unsigned(a, "Failures", &p->failures, error) &&
           OptionalUnsigned(a, "Ioctls", &p->ioctls, error) &&
           OptionalUnsigned(a, "IoctlFailures", &p->ioctlFailures, error) &&
           OptionalUnsigned(a, "BusyMs", &p->busyMs, error) &&
           Unsigned(a, "Raised", &p->raised, error) && Unsigned(a, "Refused", &p->refused, error) &&
           Unsigned(a, "Kept", &p->kept, error) && Unsigned(a, "KeptBytes", &p->keptBytes, error) &&
           Unsigned(a, "KeptPeak", &p->keptPeak, error);
}

}  // namespace statistics_text

// Reads the answer's text. False, with `error` saying why, when it is not a statistics
// document: elements are checked for nesting, and Statistics must sit in the root Norv.
inline bool ParseStatistics(const std::string& text, Statistics* statistics, std::string* error) {
    using namespace statistics_text;
    *statistics = Statistics();
    error->clear();
    TagReader reader(text);
    std::vector<std::string> open;  // the elements we are inside, outermost first
    bool found = false;
    Tag tag;
    while (reader.Next(&tag, error)) {
        if (tag.end) {
            if (open.empty() || open.back() != tag.name) {
                *error = "</" + tag.name + "> does not close an open element";
                return false;
            }
            open.pop_back();
            continue;
        }
        if (open.empty() && tag.name != "Norv") {
            *error = "the root is <" + tag.name + ">, not <Norv>";
            return false;
        }
        const bool inRoot = open.size() == 1;
        if (tag.name == "Statistics" && inRoot && !found) {
            if (!ReadCore(tag.attributes, statistics, error)) return false;
            found = true;
        } else if (tag.name == "Plugin" && open.size() == 2 && open.back() == "Statistics") {
            PluginStatistics plugin;
            if (!ReadPlugin(tag.attributes, &plugin, error)) return false;
            statistics->plugins.push_back(plugin);
        }
        if (!tag.selfClosed) open.push_back(tag.name);
    }
    if (!error->empty()) return false;
    if (!open.empty()) {
        *error = "<" + open.back() + "> is not closed";
        return false;
    }
    if (!found) *error = "no <Statistics> in <Norv>";
    return found;
}
