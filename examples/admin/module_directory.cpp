#include "module_directory.h"

#include <tinyxml.h>

#include <cctype>
#include <cstdlib>

namespace {

std::string ModuleName(const char* fileName) {
    std::string name = fileName != nullptr ? fileName : "";
    const std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

bool ParseIdentifier(const std::string& text, uint32_t* id) {
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') return false;
    *id = static_cast<uint32_t>(value);  // documents write identifiers signed: 0x80000000 too
    return true;
}

}  // namespace

void ModuleDirectory::Update(const char* text, uint32_t length) {
    TiXmlDocument document;
    document.Parse(std::string(text, length).c_str());
    const TiXmlElement* root = document.RootElement();
    int delta = 0;
    if (root == nullptr) return;
    if (root->QueryIntAttribute("Delta", &delta) == TIXML_SUCCESS && delta != 0) return;
    const TiXmlElement* modules = root->FirstChildElement("Modules");
    if (modules == nullptr) return;  // the memory status document, for one
    std::lock_guard<std::mutex> lock(mutex_);
    for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
             plugin = plugin->NextSiblingElement("Plugin")) {
            int id = 0;
            ModuleEntry entry;
            if (plugin->QueryIntAttribute("ID", &id) != TIXML_SUCCESS) continue;
            entry.id = static_cast<uint32_t>(id);
            entry.name = ModuleName(plugin->Attribute("Filename"));
            plugin->QueryIntAttribute("LogLevel", &entry.level);
            modules_[entry.id] = entry;
        }
    }
}

bool ModuleDirectory::Find(const std::string& key, ModuleEntry* entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t id = 0;
    const bool numeric = ParseIdentifier(key, &id);
    for (const auto& item : modules_) {
        if ((numeric && item.first == id) || (!numeric && item.second.name == key)) {
            *entry = item.second;
            return true;
        }
    }
    if (!numeric) return false;
    entry->id = id;  // a module the documents do not list (yet): its number will do
    entry->name = key;
    return true;
}

std::string ModuleDirectory::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string summary;
    for (const auto& item : modules_) {
        if (!summary.empty()) summary += ", ";
        summary += item.second.name + " " + std::to_string(item.second.level);
    }
    return summary;
}
