// admin.cpp - example plugin: answers the supervisor and changes log levels, in C++.
//
// The supervisor addresses a packet to a module number; the core hands it to the IOCTL of the
// plugin with that number (code 4) on the core's event-loop thread, even before Open. The
// packet, header included, is valid only during the call. We answer with messages (class
// exactly 0x2000: a malloc block that passes to the core, which writes it to the supervisor)
// and change log levels with a delta document (class 0x100): the core applies it, rewrites
// core.xml and sends the new document to every plugin but us (IOCTL code 2), from which we
// learn that the change took effect.
//
// Packets (see example_protocol.h): STATUS, answered with a summary; SET_LEVEL with the text
// "<module> <level>", the module by name ("camera") or identifier ("0x00500000").
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include <dvrcore/dvrplugin.h>
#include "example_protocol.h"
#include "module_directory.h"

namespace {

DvrEventEntry raiseEvent;
ModuleDirectory directory;
std::atomic<unsigned> packetsHandled{0};
std::mutex requestedMutex;
std::map<uint32_t, int> requestedLevels;  // changes we asked for and have not seen applied

_EventParmsIn Event(uint32_t classFlags, uint32_t code) {
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.source = EXAMPLE_ADMIN_ID;
    in.classFlags = classFlags;
    in.code = code;
    return in;
}

int32_t Raise(_EventParmsIn& in) {
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    raiseEvent(&in, &out);
    return out.result;
}

void Log(int32_t level, const std::string& text) {
    _EventParmsIn in = Event(DVR_CLASS_LOG, DVR_CODE_LOG_MESSAGE);
    in.level = level;
    in.length = static_cast<uint32_t>(text.size() + 1);
    in.data = const_cast<char*>(text.c_str());  // the core copies it
    Raise(in);
}

// The block passes to the core whatever the result: no free here.
void TellSupervisor(const std::string& text) {
    _EventParmsIn in = Event(DVR_CMD_SEND, 0);
    in.data = example_text_message(EXAMPLE_ADMIN_ID, text.c_str(), &in.length);
    if (in.data != nullptr) Raise(in);
}

// The core reads ID and LogLevel of each Plugin element; Module's attributes are not read.
std::string DeltaDocument(uint32_t id, int level) {
    std::ostringstream text;
    text << "<Norv Delta=\"1\"><Modules><Module><Plugin ID=\"" << static_cast<int32_t>(id)
         << "\" LogLevel=\"" << level << "\"/></Module></Modules></Norv>";
    return text.str();
}

std::string SetLevel(const std::string& request) {
    std::istringstream words(request);
    std::string key;
    int level = 0;
    ModuleEntry module;
    if (!(words >> key >> level) || level < -1 || level > 100) return "usage: <module> <-1..100>";
    if (!directory.Find(key, &module)) return "no module named " + key;

    const std::string document = DeltaDocument(module.id, level);
    _EventParmsIn in = Event(DVR_CLASS_CONFIG, DVR_CODE_DOCUMENT);
    in.data = const_cast<char*>(document.data());  // copied by the core
    in.length = static_cast<uint32_t>(document.size());
    if (Raise(in) != DVR_RESULT_OK) return "the core is stopping";
    {
        std::lock_guard<std::mutex> lock(requestedMutex);
        requestedLevels[module.id] = level;
    }
    return "asked the core to set the log level of " + module.name + " to " +
           std::to_string(level);
}

std::string Status() {
    const std::string modules = directory.Summary();
    return "admin: " + std::to_string(packetsHandled.load()) + " packets handled; log levels: " +
           (modules.empty() ? "no core document yet" : modules);
}

void HandlePacket(const uint8_t* packet, uint32_t length) {
    DvrPacketHeader header;
    if (length < sizeof header) return;
    std::memcpy(&header, packet, sizeof header);
    const std::string payload(reinterpret_cast<const char*>(packet) + sizeof header,
                              length - sizeof header);
    ++packetsHandled;
    if (header.type == EXAMPLE_PACKET_STATUS) {
        TellSupervisor(Status());
    } else if (header.type == EXAMPLE_PACKET_SET_LEVEL) {
        TellSupervisor(SetLevel(payload));
    } else {
        TellSupervisor("admin: unknown packet type " + std::to_string(header.type));
    }
}

// After a new core.xml: report the requested levels that it now shows.
void ReportAppliedLevels() {
    std::lock_guard<std::mutex> lock(requestedMutex);
    for (auto it = requestedLevels.begin(); it != requestedLevels.end();) {
        ModuleEntry module;
        if (directory.Find(std::to_string(it->first), &module) && module.level == it->second) {
            const std::string text =
                "log level of " + module.name + " is now " + std::to_string(module.level);
            Log(25, text);
            TellSupervisor("admin: " + text);
            it = requestedLevels.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

extern "C" int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    raiseEvent = in->eventEntry;
    out->id = EXAMPLE_ADMIN_ID;  // supervisor packets with module number 0x053 come here
    out->masks[DVR_MASK_CLOSE_KEY] = 30;
    // No subscriptions and no Write: configuration documents reach every plugin anyway.
    return 0;
}

extern "C" int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut*) {
    if (in->data == nullptr) return 0;
    if (in->code == DVR_IOCTL_SUPERVISOR) {
        HandlePacket(static_cast<const uint8_t*>(in->data), in->length);
    } else if (in->code == DVR_IOCTL_UPDATE_CONFIG) {
        // The text is the core's block, not NUL-terminated; we copy what we need and do not
        // keep it (no pending), so the core frees it after the call.
        directory.Update(static_cast<const char*>(in->data), in->length);
        ReportAppliedLevels();
    }
    return 0;
}
