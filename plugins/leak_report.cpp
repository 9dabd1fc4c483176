// What plugins kept and never gave back, reported once when the core stops.
#include "core/dvrcore.h"
#include "log/core_log.h"

void dvrcore::ReportLeaks() {
    if (leaksReported) return;
    leaksReported = true;
    for (const auto& leak : holdTable.Leaks())
        CoreLog(0, "address %p leaked by plugin %08lX", leak.first,
                static_cast<unsigned long>(leak.second));
}
