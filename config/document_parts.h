// The element builders of the core's documents: the bare declaration with the Norv root, the
// Module and Plugin rows, and the core's Module with its own row and one per loaded plugin.
#pragma once

#include <tinyxml.h>

#include <cstdint>
#include <string>
#include <vector>

#include "log/level_table.h"
#include "plugins/plugininfo.h"

// Times are kept in 64 bits but written as their low 32 bits, taken as signed.
inline int32_t Low32(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

// Appends the core's Module to `modules`, holding the core's row and then one row per plugin
// record in table order; returns the Module element.
TiXmlElement* AppendCoreModule(TiXmlElement& modules, const std::string& version,
                               const std::string& executablePath,
                               const std::vector<PLUGININFO>& plugins,
                               const LevelTable& levels, const LevelTable& defaults);

// A new element appended as the parent's last child.
TiXmlElement* AppendElement(TiXmlNode& parent, const char* name);

// The declaration and the root element <Norv Delta="0">; returns the root.
TiXmlElement& AppendRoot(TiXmlDocument& document);

// Appends <Module ID Name Version> as the parent's last child and returns it.
TiXmlElement* AppendModuleElement(TiXmlElement& parent, uint32_t id, const std::string& name,
                                  const std::string& version);

// Appends <Plugin ID Filename Opened LoadTimeMs OpenTimeMs OpenCode LogLevel LogLevelDefault>
// as the parent's last child. Identifiers are written in signed decimal.
void AppendPluginElement(TiXmlElement& parent, uint32_t id, const std::string& fileName,
                         int32_t loadTimeMs, int32_t openTimeMs, int32_t openCode,
                         int32_t logLevel, int32_t defaultLogLevel);

