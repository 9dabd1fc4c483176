// What core.xml and plugins.xml share: the bare declaration with the Norv root, and the core's
// Module element with the core's own Plugin row and one row per loaded plugin.
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
