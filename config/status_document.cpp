// plugins.xml: what became of every plugin once all were opened, written once per run and
// handed to every plugin as configuration text.
#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "core/dvrcore.h"

namespace {

const char kStatusFile[] = "plugins.xml";
const char kSupervisorName[] = "corvaned";
// The open code of a file that the dynamic loader refused to map.
constexpr int32_t kUnmappedCode = 79;

// Sums wrap as signed 32-bit values do on the target.
void SetTotals(TiXmlElement& modules, const std::vector<PLUGININFO>& plugins) {
    uint32_t load = 0;
    uint32_t open = 0;
    for (const PLUGININFO& plugin : plugins) {
        load += static_cast<uint32_t>(Low32(plugin.loadTimeMs));
        open += static_cast<uint32_t>(Low32(plugin.openTimeMs));
    }
    modules.SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(load));
    modules.SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(open));
}

}  // namespace

void dvrcore::WriteStatusDocument() {
    XmlDocument document;
    TiXmlElement* modules = AppendElement(AppendRoot(document), "Modules");
    TiXmlElement* core = AppendCoreModule(*modules, version, executablePath, plugins, logLevels,
                                          defaultLogLevels);
    SetTotals(*modules, plugins);

    const SupervisorIdentity::Names names = supervisor.Get();
    if (!names.version.empty()) {
        TiXmlElement* library = AppendElement(*core, "Library");
        library->SetAttribute("Name", kSupervisorName);
        library->SetAttribute("Filename", names.fileName);
        library->SetAttribute("Version", names.version);
    }

    // Numbered from 1 in each document; the numbers are not plugin identifiers.
    uint32_t number = 0;
    for (const auto& failed : failedPlugins)
        AppendPluginElement(*core, ++number, failed.first, 0, 0, kUnmappedCode, -1, -1);
    number = 0;
    for (const auto& failed : failedPlugins)
        AppendModuleElement(*modules, ++number, failed.first, failed.second);

    // The library's plain save: no side file, no backup, the result ignored.
    document.SaveFile(kStatusFile);
    BroadcastDocument(document, DVR_CLASS_CONFIG);
}
