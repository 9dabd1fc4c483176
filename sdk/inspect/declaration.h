// What a plugin declares in Load, read the way the core reads it: the name it is logged under,
// what each subscription mask takes, and what the core accepts but is probably a mistake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dvrcore/dvrplugin.h"

// The entry points a plugin file exports: bit i stands for kExportNames[i]. The warnings look
// at these three.
constexpr int kExportCount = 8;
constexpr uint32_t kExportRead = 1u << 4;
constexpr uint32_t kExportWrite = 1u << 5;
constexpr uint32_t kExportIoctl = 1u << 7;
extern const char* const kExportNames[kExportCount];

std::vector<std::string> ExportNames(uint32_t exports);

// The name in the core's log lines: the file name without its extension, in lower case, cut
// to the six columns the lines show.
std::string LoggedName(const std::string& fileName);

// The class bit of each of the nine masks, in header order.
extern const uint32_t kMaskClasses[DVR_SUBSCRIPTION_CLASSES];

// What masks[index] takes, in words: queued events through Write, direct requests through Read.
std::string MaskMeaning(const _LoadParmsOut& declared, int index);

std::vector<std::string> Warnings(const _LoadParmsOut& declared, uint32_t exports);
