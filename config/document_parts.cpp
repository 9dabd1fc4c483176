#include "config/document_parts.h"

#include "config/xml_layer.h"

TiXmlElement* AppendElement(TiXmlNode& parent, const char* name) {
    auto* element = new TiXmlElement(name);
    parent.LinkEndChild(element);
    return element;
}

TiXmlElement& AppendRoot(TiXmlDocument& document) {
    // Bare, as plugins have always parsed it: no version, encoding or standalone.
    document.LinkEndChild(new TiXmlDeclaration());
    TiXmlElement* root = AppendElement(document, "Norv");
    root->SetAttribute("Delta", 0);
    return *root;
}

TiXmlElement* AppendCoreModule(TiXmlElement& modules, const std::string& version,
                               const std::string& executablePath,
                               const std::vector<PLUGININFO>& plugins,
                               const LevelTable& levels, const LevelTable& defaults) {
    TiXmlElement* core = AppendModuleElement(modules, DVR_CORE_ID, "Core", version);
    const std::string fileName = executablePath.substr(executablePath.rfind('/') + 1);
    const uint32_t coreModule = DVR_MODULE_NUMBER(DVR_CORE_ID);
    AppendPluginElement(*core, DVR_CORE_ID, fileName, 0, 0, 0, levels.Get(coreModule),
                        defaults.Get(coreModule));
    // A module number past the tables' end (255) reads as unset (-1) in both.
    for (const PLUGININFO& plugin : plugins) {
        const uint32_t module = DVR_MODULE_NUMBER(plugin.id());
        AppendPluginElement(*core, plugin.id(), plugin.fileName, Low32(plugin.loadTimeMs),
                            Low32(plugin.openTimeMs), plugin.openCode, levels.Get(module),
                            defaults.Get(module));
    }
    return core;
}

TiXmlElement* AppendModuleElement(TiXmlElement& parent, uint32_t id, const std::string& name,
                                  const std::string& version) {
    auto* module = new TiXmlElement("Module");
    module->SetAttribute("ID", static_cast<int32_t>(id));
    module->SetAttribute("Name", name);
    module->SetAttribute("Version", version);
    parent.LinkEndChild(module);
    return module;
}

void AppendPluginElement(TiXmlElement& parent, uint32_t id, const std::string& fileName,
                         int32_t loadTimeMs, int32_t openTimeMs, int32_t openCode,
                         int32_t logLevel, int32_t defaultLogLevel) {
    auto* plugin = new TiXmlElement("Plugin");
    plugin->SetAttribute("ID", static_cast<int32_t>(id));
    plugin->SetAttribute("Filename", fileName);
    plugin->SetAttribute("Opened", 1);
    plugin->SetAttribute("LoadTimeMs", loadTimeMs);
    plugin->SetAttribute("OpenTimeMs", openTimeMs);
    plugin->SetAttribute("OpenCode", openCode);
    plugin->SetAttribute("LogLevel", logLevel);
    plugin->SetAttribute("LogLevelDefault", defaultLogLevel);
    parent.LinkEndChild(plugin);
}
