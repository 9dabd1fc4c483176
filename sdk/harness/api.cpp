// The C API of dvrharness.h over the harness object.
#include <cstdlib>
#include <memory>
#include <new>

#include "sdk/harness/harness.h"

namespace {

template <typename Found>
const Found* Reported(const Found* found, const std::string& what, const DvrHarness& harness) {
    if (found == nullptr && harness.Running())
        Complain("no " + what + " within " + std::to_string(harness.timeout.count()) + " ms");
    return found;
}

}  // namespace

extern "C" {

DvrHarness* dvr_harness_start(const char* const* paths, size_t count) {
    if (paths == nullptr || count == 0) {
        Complain("dvr_harness_start: no plugin file");
        return nullptr;
    }
    std::unique_ptr<DvrHarness> harness;
    try {
        harness = std::make_unique<DvrHarness>();
        const DvrHarness::Start start = harness->Begin(std::vector<std::string>(paths, paths + count));
        if (start == DvrHarness::Start::Running) return harness.release();
        // Its threads may still use it.
        if (start == DvrHarness::Start::Wedged) harness.release();
    } catch (const std::exception& error) {
        Complain(std::string("dvr_harness_start: ") + error.what());
    }
    return nullptr;
}

int dvr_harness_stop(DvrHarness* harness, DvrHarnessReport* report) {
    return harness != nullptr ? harness->Stop(report) : DVR_HARNESS_FAILED;
}

void dvr_harness_free(DvrHarness* harness) {
    if (harness == nullptr) return;
    harness->Stop(nullptr);
    if (harness->state != DvrHarness::State::Wedged) delete harness;
}

void dvr_harness_set_timeout(DvrHarness* harness, uint32_t milliseconds) {
    if (harness == nullptr) return;
    harness->timeout = milliseconds != 0 ? std::chrono::milliseconds(milliseconds)
                                         : DvrHarness::kDefaultTimeout;
}

const char* dvr_harness_directory(const DvrHarness* harness) {
    return harness != nullptr ? harness->directory.c_str() : nullptr;
}

_EventParmsIn dvr_harness_event(uint32_t classFlags, uint32_t code, const void* data,
                                uint32_t length) {
    _EventParmsIn event = DVR_EVENT_IN_INIT;
    event.length = length;
    event.data = const_cast<void*>(data);
    event.source = DVR_HARNESS_ID;
    event.classFlags = classFlags;
    event.code = code;
    return event;
}

int32_t dvr_harness_raise(DvrHarness* harness, const _EventParmsIn* event) {
    if (event == nullptr) return DVR_RESULT_REFUSED;
    if (harness == nullptr || !harness->Running()) {
        // As the core without a core: a send's block is freed all the same.
        if (event->classFlags == DVR_CMD_SEND) std::free(event->data);
        return DVR_RESULT_REFUSED;
    }
    _EventParmsIn in = *event;
    _EventParmsOut out = DVR_EVENT_OUT_INIT;
    harness->core->PluginEvent(&in, &out);
    return out.result;
}

int dvr_harness_settle(DvrHarness* harness) {
    return harness != nullptr ? harness->Settle() : DVR_HARNESS_FAILED;
}

int dvr_harness_send_packet(DvrHarness* harness, uint32_t id, uint32_t type, const void* payload,
                            uint32_t length) {
    if (harness == nullptr) return DVR_HARNESS_FAILED;
    if (!harness->Running()) return DVR_HARNESS_STOPPED;
    if (length > DVR_PACKET_MAX - DVR_PACKET_HEADER_SIZE || (length != 0 && payload == nullptr))
        return DVR_HARNESS_FAILED;
    return harness->supervisorEnd->Send(id, type, payload, length) ? DVR_HARNESS_OK
                                                                   : DVR_HARNESS_FAILED;
}

int dvr_harness_set_memory_low(DvrHarness* harness, int low) {
    if (harness == nullptr) return DVR_HARNESS_FAILED;
    if (!harness->Running()) return DVR_HARNESS_STOPPED;
    HarnessCore* core = harness->core.get();
    return core->RunOnEventLoop([core, low] { core->SetMemory(low != 0); }, harness->timeout)
               ? DVR_HARNESS_OK
               : DVR_HARNESS_TIMEOUT;
}

const DvrHarnessEvent* dvr_harness_raised(DvrHarness* harness, size_t index) {
    if (harness == nullptr) return nullptr;
    return Reported(harness->records.Event(index, harness->Deadline()),
                    "raised event #" + std::to_string(index), *harness);
}

const DvrHarnessLogLine* dvr_harness_log(DvrHarness* harness, size_t index) {
    if (harness == nullptr) return nullptr;
    return Reported(harness->records.Log(index, harness->Deadline()),
                    "log line #" + std::to_string(index), *harness);
}

const DvrHarnessLogLine* dvr_harness_find_log(DvrHarness* harness, const char* text) {
    if (harness == nullptr || text == nullptr) return nullptr;
    return Reported(harness->records.FindLog(text, harness->Deadline()),
                    "log line with \"" + std::string(text) + "\"", *harness);
}

const DvrHarnessMessage* dvr_harness_message(DvrHarness* harness, size_t index) {
    if (harness == nullptr) return nullptr;
    return Reported(harness->records.Message(index, harness->Deadline()),
                    "message #" + std::to_string(index), *harness);
}

const DvrHarnessMessage* dvr_harness_find_message(DvrHarness* harness, const char* text) {
    if (harness == nullptr || text == nullptr) return nullptr;
    return Reported(harness->records.FindMessage(text, harness->Deadline()),
                    "message with \"" + std::string(text) + "\"", *harness);
}

int32_t dvr_harness_log_level(DvrHarness* harness, uint32_t id) {
    return harness != nullptr && harness->Running() ? harness->core->LogLevel(id) : -1;
}

}  // extern "C"
