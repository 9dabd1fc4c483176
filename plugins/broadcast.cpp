#include <tinyxml.h>

#include "core/dvrcore.h"
#include "log/core_log.h"

void dvrcore::BroadcastDocument(const TiXmlDocument& document, uint32_t classFlags) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = 1;
    in.length = static_cast<uint32_t>(printer.Size());
    in.data = const_cast<char*>(printer.CStr());
    in.source = DVR_CORE_ID;
    in.classFlags = classFlags;
    in.code = DVR_CODE_DOCUMENT;
    _EventParmsOut out{sizeof out, 1, 0};
    PluginEvent(&in, &out);
}

void dvrcore::ReportLeaks() {
    if (leaksReported) return;
    leaksReported = true;
    for (const auto& leak : holdTable.Leaks())
        CoreLog(0, "address %p leaked by plugin %08lX", leak.first,
                static_cast<unsigned long>(leak.second));
}
