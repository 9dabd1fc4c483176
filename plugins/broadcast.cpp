#include <tinyxml.h>

#include "core/dvrcore.h"
#include "log/core_log.h"

void dvrcore::BroadcastDocument(const TiXmlDocument& document, uint32_t classFlags) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    _EventParmsIn in = DVR_EVENT_IN_INIT;
    in.length = static_cast<uint32_t>(printer.Size());
    in.data = const_cast<char*>(printer.CStr());
    in.source = DVR_CORE_ID;
    in.classFlags = classFlags;
    in.code = DVR_CODE_DOCUMENT;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    PluginEvent(&in, &out);
}
