// Whether the core keeps a plugin whose Load has returned, and the message when it does not.
// Shared by the loader and the plugin inspector, so that both say the same.
#pragma once

#include <cstdint>
#include <string>

#include "dvrcore/dvrplugin.h"

struct LoadRefusal {
    int32_t level = 0;  // the level the core logs the refusal at; 0 when the plugin is kept
    std::string text;   // empty when the plugin is kept

    bool refused() const { return !text.empty(); }
};

// The refusal for Load's result and output record, judged alone (not against other plugins).
LoadRefusal JudgeLoad(const std::string& fileName, int32_t result, const _LoadParmsOut& out);
// The refusal of an identifier that another loaded plugin already has.
LoadRefusal DuplicateIdentifier(const std::string& fileName, uint32_t id);
// The loader's messages for files that never reach Load.
std::string UnmappedMessage(const std::string& fileName, const std::string& reason);
std::string MissingLoadMessage(const std::string& fileName);
