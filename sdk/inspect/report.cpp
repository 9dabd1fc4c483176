#include "sdk/inspect/report.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "log/level_table.h"
#include "sdk/inspect/declaration.h"

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string LevelText(int32_t level) {
    if (level == 0) return "0 (declares none)";
    if (level == -1) return "-1 (every line)";
    return std::to_string(level) + (IsValidLevel(level) ? "" : " (ignored)");
}

const char* YesNo(uint8_t flag) { return flag != 0 ? "yes" : "no"; }

// Whether the file was mapped: its exports are known.
bool Mapped(const Findings& findings) {
    return findings.stage != Stage::Mapping && findings.stage != Stage::Unmapped;
}

void TextDeclaration(std::ostream& out, const Findings& findings) {
    const _LoadParmsOut& d = findings.declared;
    out << "identifier     " << Hex(d.id) << " (module number " << DVR_MODULE_NUMBER(d.id)
        << ")\n"
        << "log level      " << LevelText(d.defaultLogLevel) << "\n"
        << "worker thread  " << YesNo(d.wantsWorker) << "\n"
        << "reader thread  " << YesNo(d.wantsReader) << "\n"
        << "write          " << YesNo(d.wantsWrite) << "\n"
        << "close key      " << d.masks[DVR_MASK_CLOSE_KEY] << "\n"
        << "masks\n";
    for (int i = 0; i < DVR_SUBSCRIPTION_CLASSES; ++i) {
        char head[48];
        std::snprintf(head, sizeof head, "  [%d] class 0x%-4X %s  ", i, kMaskClasses[i],
                      Hex(d.masks[i]).c_str());
        out << head << MaskMeaning(d, i) << "\n";
    }
    for (const std::string& warning : Warnings(d, findings.exports))
        out << "warning        " << warning << "\n";
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string StringArray(const std::vector<std::string>& items) {
    std::string array = "[";
    for (const std::string& item : items) array += (array.size() > 1 ? ", " : "") + Quote(item);
    return array + "]";
}

std::string Masks(const _LoadParmsOut& declared) {
    std::string array = "[";
    for (int i = 0; i < DVR_SUBSCRIPTION_CLASSES; ++i)
        array += (i > 0 ? ", " : "") + std::to_string(declared.masks[i]);
    return array + "]";
}

const char* Bool(uint8_t flag) { return flag != 0 ? "true" : "false"; }

void JsonDeclaration(std::ostream& out, const Findings& findings) {
    const _LoadParmsOut& d = findings.declared;
    out << ", \"identifier\": " << d.id << ", \"moduleNumber\": " << DVR_MODULE_NUMBER(d.id)
        << ", \"logLevel\": " << d.defaultLogLevel << ", \"wantsWorker\": " << Bool(d.wantsWorker)
        << ", \"wantsReader\": " << Bool(d.wantsReader) << ", \"wantsWrite\": "
        << Bool(d.wantsWrite) << ", \"closeKey\": " << d.masks[DVR_MASK_CLOSE_KEY]
        << ", \"masks\": " << Masks(d)
        << ", \"warnings\": " << StringArray(Warnings(d, findings.exports));
}

}  // namespace

std::string TextReport(const std::string& fileName, const Findings& findings,
                       const Verdict& verdict) {
    std::ostringstream out;
    out << "plugin         " << fileName << "\n"
        << "name           " << LoggedName(fileName) << "\n";
    if (Mapped(findings)) {
        out << "exports       ";
        for (const std::string& name : ExportNames(findings.exports)) out << " " << name;
        out << "\n";
    }
    if (Declared(findings)) TextDeclaration(out, findings);
    out << "verdict        " << verdict.text << "\n";
    if (!verdict.run.empty()) out << "run            " << verdict.run << "\n";
    return out.str();
}

std::string JsonReport(const std::string& fileName, const Findings& findings,
                       const Verdict& verdict) {
    std::ostringstream out;
    out << "{\"file\": " << Quote(fileName) << ", \"name\": " << Quote(LoggedName(fileName))
        << ", \"exports\": "
        << (Mapped(findings) ? StringArray(ExportNames(findings.exports)) : "null");
    if (Declared(findings)) {
        JsonDeclaration(out, findings);
    } else {
        for (const char* key : {"identifier", "moduleNumber", "logLevel", "wantsWorker",
                                "wantsReader", "wantsWrite", "closeKey", "masks", "warnings"})
            out << ", \"" << key << "\": null";
    }
    out << ", \"verdict\": " << Quote(verdict.text);
    if (!verdict.run.empty()) out << ", \"run\": " << Quote(verdict.run);
    out << "}\n";
    return out.str();
}
