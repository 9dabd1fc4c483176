#include "sdk/harness/raise_tap.h"

#include <mutex>
#include <shared_mutex>
#include <string>

namespace {

std::shared_mutex tapMutex;
Records* tapped = nullptr;

}  // namespace

void TapRaisedEvents(Records* records) {
    std::unique_lock<std::shared_mutex> lock(tapMutex);
    tapped = records;
}

extern "C" int32_t __real_FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out);

extern "C" int32_t __wrap_FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    // The core's own log lines come this way too; they are kept as log lines.
    if (in == nullptr || out == nullptr || in->source == DVR_CORE_ID)
        return __real_FlatPluginEvent(in, out);
    const _EventParmsIn raised = *in;
    // Copied before the call: a send's block is the core's to free by the time it returns.
    std::string data;
    if (in->classFlags != DVR_CMD_RELEASE && in->data != nullptr)
        data.assign(static_cast<const char*>(in->data), in->length);
    const int32_t status = __real_FlatPluginEvent(in, out);
    std::shared_lock<std::shared_mutex> lock(tapMutex);
    if (tapped != nullptr) tapped->AddEvent(raised, out->result, std::move(data));
    return status;
}
