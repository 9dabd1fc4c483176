// The core's configuration: product.xml and core.xml at start, core.xml rewritten and sent to
// every plugin, and delta documents from plugins that change log levels at run time. Missing
// or malformed files and attributes leave the values they would have set as they were.
#include <sys/stat.h>

#include <cstdio>

#include "config/document_parts.h"
#include "config/xml_layer.h"
#include "core/dvrcore.h"
#include "log/core_log.h"

namespace {

const char kProductFile[] = "product.xml";
const char kCoreFile[] = "core.xml";
const char kKeptCoreFile[] = "core.xml.bad";

// Calls apply(module number, level) for each Plugin row of Modules/Module with an integer ID
// and LogLevel, in document order; rows whose module number has no table entry are skipped.
template <typename Apply>
void ForEachConfiguredLevel(const TiXmlElement& root, Apply apply) {
    const TiXmlElement* modules = root.FirstChildElement("Modules");
    if (modules == nullptr) return;
    for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* row = module->FirstChildElement("Plugin"); row != nullptr;
             row = row->NextSiblingElement("Plugin")) {
            int id = 0;
            int level = 0;
            if (QueryInt32Attribute(*row, "ID", &id) != TIXML_SUCCESS ||
                QueryInt32Attribute(*row, "LogLevel", &level) != TIXML_SUCCESS)
                continue;
            const uint32_t number = DVR_MODULE_NUMBER(static_cast<uint32_t>(id));
            if (number < LevelTable::kSize) apply(number, level);
        }
    }
}

}  // namespace

void dvrcore::ReadConfiguration() {
    XmlDocument product;
    const TiXmlElement* root =
        LoadDocumentWithBackup(product, kProductFile) ? product.RootElement() : nullptr;
    const TiXmlElement* identity = root != nullptr ? root->FirstChildElement("Product") : nullptr;
    if (identity != nullptr) {
        if (const char* family = identity->Attribute("Family")) productFamily = family;
        if (const char* text = identity->Attribute("Version")) version = text;
    }

    XmlDocument core;
    root = LoadDocumentWithBackup(core, kCoreFile) ? core.RootElement() : nullptr;
    if (root == nullptr) {
        KeepUnreadableConfiguration();
        return;
    }
    const TiXmlElement* memory = root->FirstChildElement("Memory");
    int throttle = 0;
    if (memory != nullptr && QueryInt32Attribute(*memory, "Throttling", &throttle) == TIXML_SUCCESS)
        throttling = throttle != 0;
    ForEachConfiguredLevel(*root, [this](uint32_t module, int level) {
        if (IsValidLevel(level)) logLevels.Set(module, level);
    });
}

// The first save at start replaces a core.xml that could not be read with the defaults. A file
// that is there but broken (a hand edit gone wrong) still holds the user's settings: it is
// kept beside, under a name that nothing reads.
void dvrcore::KeepUnreadableConfiguration() {
    struct stat status {};
    if (stat(kCoreFile, &status) != 0 || !S_ISREG(status.st_mode)) return;
    if (std::rename(kCoreFile, kKeptCoreFile) == 0)
        CoreLog(100, "%s cannot be read, kept as %s", kCoreFile, kKeptCoreFile);
}

// The levels are composed at once, on the caller's thread; the file work runs on the saver's.
void dvrcore::WriteConfiguration() {
    XmlDocument document;
    ComposeConfiguration(document);
    configurationSaver.Submit(document, true);
}

void dvrcore::ComposeConfiguration(XmlDocument& document) {
    TiXmlElement& root = AppendRoot(document);
    TiXmlElement* memory = AppendElement(root, "Memory");
    memory->SetAttribute("ID", static_cast<int32_t>(DVR_CORE_ID));
    memory->SetAttribute("Throttling", throttling ? 1 : 0);
    // After start this runs on the event-loop thread, which reads the table under the lock.
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    AppendCoreModule(*AppendElement(root, "Modules"), version, executablePath, plugins,
                     logLevels, defaultLogLevels);
}

// A failed save leaves the previous file in place while plugins already use the new levels.
// It is reported once and retried by the scheduler, so that a setting outlives a passing fault
// of the storage instead of going back to its old value at the next start.
// Plugins get the document after its save, whether it held or not, with the product added.
void dvrcore::SaveConfiguration(XmlDocument& document, bool broadcast) {
    if (SaveDocumentSafely(document, kCoreFile)) {
        if (configurationUnsaved.exchange(false)) CoreLog(25, "saved %s", kCoreFile);
    } else if (!configurationUnsaved.exchange(true)) {
        CoreLog(100, "failed to save %s: %s", kCoreFile, document.ErrorDesc());
    }
    if (!broadcast) return;
    TiXmlElement* product = AppendElement(*document.RootElement(), "Product");
    product->SetAttribute("Family", productFamily);
    product->SetAttribute("Version", version);
    BroadcastDocument(document, DVR_CLASS_CONFIG);
}

void dvrcore::RetryConfigurationSave() {
    if (!configurationUnsaved) return;
    XmlDocument document;
    ComposeConfiguration(document);
    configurationSaver.Submit(document, false);
}

void dvrcore::ParseConfig(const std::string& text) {
    // Not checked: what the parser attached before an error is applied as it stands.
    XmlDocument document;
    document.Parse(text.c_str());
    const TiXmlElement* root = document.RootElement();
    int delta = 0;
    if (root == nullptr || QueryInt32Attribute(*root, "Delta", &delta) != TIXML_SUCCESS ||
        delta != 1)
        return;
    bool changed = false;
    ForEachConfiguredLevel(*root, [this, &changed](uint32_t module, int level) {
        if (level == logLevels.Get(module) || !IsValidLevel(level)) return;
        logLevels.Set(module, level);
        changed = true;
    });
    if (changed) WriteConfiguration();
}
