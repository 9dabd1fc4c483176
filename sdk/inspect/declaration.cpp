#include "sdk/inspect/declaration.h"

#include <boost/filesystem/path.hpp>
#include <cctype>
#include <cstdio>

#include "log/level_table.h"

const char* const kExportNames[kExportCount] = {"Load", "Unload", "Open",  "Close",
                                                "Read", "Write",  "Seek", "IOCTL"};

const uint32_t kMaskClasses[DVR_SUBSCRIPTION_CLASSES] = {0x1,  0x2,  0x4,  0x8,  0x10,
                                                         0x20, 0x40, 0x80, 0x400};

namespace {

struct KnownCode {
    int mask;
    uint32_t code;
    const char* name;
};

// Codes with a meaning of their own, named where a mask takes them.
const KnownCode kKnownCodes[] = {
    {0, DVR_CODE_VIDEO_FRAME, "video frames"},
    {DVR_MASK_STATUS, DVR_CODE_DOCUMENT, "the memory status document"},
    {DVR_MASK_LOG, DVR_CODE_LOG_MESSAGE, "plugin log messages"},
    {DVR_MASK_LOG, DVR_CODE_CORE_LOG, "core log messages"},
};

constexpr uint32_t kCodeBit24 = 0x01000000u;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The code bits a queued event may carry and still match: bits 24..30 of a code sit one place
// higher in the mask, and bit 31 never counts.
uint32_t QueuedCodeBits(uint32_t mask) {
    return ((mask >> 1) & 0x7F000000u) | (mask & 0x00FFFFFFu) | 0x80000000u;
}

// The same for direct requests, whose code bits 24..31 sit one place lower in the mask.
uint32_t RequestCodeBits(uint32_t mask) {
    return (mask & 0x00FFFFFFu) | ((mask & 0x7F800000u) << 1);
}

std::string Codes(int index, uint32_t allowed) {
    if (allowed == 0xFFFFFFFFu) return "every code";
    if ((allowed & 0x7FFFFFFFu) == 0) return "code 0 only";
    std::string text = "codes within " + Hex(allowed & 0x7FFFFFFFu);
    std::string names;
    for (const KnownCode& known : kKnownCodes) {
        if (known.mask != index || (known.code & ~allowed) != 0) continue;
        names += (names.empty() ? "" : ", ") + std::string(known.name);
    }
    return names.empty() ? text : text + " (" + names + ")";
}

std::string MaskName(int index) {
    char text[48];
    std::snprintf(text, sizeof text, "masks[%d] (class 0x%X)", index, kMaskClasses[index]);
    return text;
}

void MaskWarnings(const _LoadParmsOut& declared, std::vector<std::string>& warnings) {
    for (int i = 0; i < DVR_SUBSCRIPTION_CLASSES; ++i) {
        const uint32_t mask = declared.masks[i];
        // masks[5] is the close key as well: a value there needs no subscription.
        if (mask == 0 || i == DVR_MASK_CLOSE_KEY) continue;
        if (declared.wantsWrite == 0 && declared.wantsReader == 0) {
            warnings.push_back(MaskName(i) + " takes nothing: neither wantsWrite nor wantsReader "
                                             "is set");
        } else if (declared.wantsReader == 0 && (mask & kCodeBit24) != 0 &&
                   (mask & (kCodeBit24 << 1)) == 0) {
            // The raw code where its subscription code belongs: video frames never arrive.
            warnings.push_back(MaskName(i) + " holds bit 24, which no queued event reaches: code " +
                               Hex(kCodeBit24) + " is subscribed as DVR_SUBSCRIPTION_CODE, " +
                               Hex(DVR_SUBSCRIPTION_CODE(kCodeBit24)));
        }
    }
}

}  // namespace

std::vector<std::string> ExportNames(uint32_t exports) {
    std::vector<std::string> names;
    for (int i = 0; i < kExportCount; ++i)
        if ((exports & (1u << i)) != 0) names.push_back(kExportNames[i]);
    return names;
}

std::string LoggedName(const std::string& fileName) {
    std::string stem = boost::filesystem::path(fileName).stem().string();
    for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return stem.substr(0, 6);
}

std::string MaskMeaning(const _LoadParmsOut& declared, int index) {
    const uint32_t mask = declared.masks[index];
    std::string meaning;
    if (declared.wantsWrite != 0) meaning = "events: " + Codes(index, QueuedCodeBits(mask));
    if (declared.wantsReader != 0)
        meaning += (meaning.empty() ? "" : "; ") + std::string("requests: ") +
                   Codes(index, RequestCodeBits(mask));
    return meaning.empty() ? "nothing (neither wantsWrite nor wantsReader)" : meaning;
}

std::vector<std::string> Warnings(const _LoadParmsOut& declared, uint32_t exports) {
    std::vector<std::string> warnings;
    if (DVR_MODULE_NUMBER(declared.id) == LevelTable::kSize)
        warnings.push_back("module number 255 has no log level: defaultLogLevel and configured "
                           "levels are ignored");
    if (!IsValidLevel(declared.defaultLogLevel))
        warnings.push_back("defaultLogLevel " + std::to_string(declared.defaultLogLevel) +
                           " is outside -1..100 and is ignored");
    if (declared.wantsWrite != 0 && (exports & kExportWrite) == 0)
        warnings.push_back("wantsWrite is set but Write is not exported: no event arrives");
    if (declared.wantsReader != 0 && (exports & kExportRead) == 0)
        warnings.push_back("wantsReader is set but Read is not exported: no reader thread, no "
                           "direct requests");
    if (declared.wantsWorker != 0 && (exports & kExportIoctl) == 0)
        warnings.push_back("wantsWorker is set but IOCTL is not exported: no worker thread");
    MaskWarnings(declared, warnings);
    return warnings;
}
