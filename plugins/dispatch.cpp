#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/dvrcore.h"
#include "plugins/subscription.h"

// Without a core (a plugin thread that outlives it) nothing is queued, sent or released: the
// answer is refused, and a block handed over with a send is freed as the interface promises.
extern "C" int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    dvrcore* core = theCore.load(std::memory_order_acquire);
    if (core != nullptr) return core->PluginEvent(in, out);
    if (in != nullptr && in->classFlags == DVR_CMD_SEND) std::free(in->data);
    if (out != nullptr) out->result = DVR_RESULT_REFUSED;
    return DVR_RESULT_REFUSED;
}

int32_t dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    if (in->classFlags == DVR_CMD_RELEASE) {
        ReleaseBlock(in->data, in->source, out);
    } else if (in->classFlags == DVR_CMD_SEND) {
        if (channelOpen) {
            SendToSupervisor(in->data, in->length);
            out->result = DVR_RESULT_OK;
        } else {
            std::free(in->data);
            out->result = DVR_RESULT_REFUSED;
        }
    } else if (in->source == 0 && in->classFlags == DVR_CMD_CLOSE_TAG) {
        requests.CloseTag(in->tag);
        out->result = DVR_RESULT_OK;
    } else if (in->source == 0) {
        StartDirectRequest(*in);
        out->result = DVR_RESULT_OK;
    } else {
        _EventParmsIn event = *in;
        QueueEvent(event, out);
    }
    return 0;
}

void dvrcore::ReleaseBlock(void* block, uint32_t holder, _EventParmsOut* out) {
    if (block == nullptr) {
        out->result = DVR_RESULT_OK;
        return;
    }
    const HoldTable::Release outcome = holdTable.ReleaseHolds(block, holder);
    // A block the table does not know was never the core's to free, or was freed already.
    out->result = outcome == HoldTable::Release::UnknownBlock ? DVR_RESULT_REFUSED
                                                              : DVR_RESULT_OK;
    if (outcome == HoldTable::Release::LastHolder) {
        requests.WakeWaiters(block);
        std::free(block);
    }
}

void dvrcore::StartDirectRequest(const _EventParmsIn& in) {
    requests.OpenTag(in.tag);
    const uint32_t code = FoldedRequestCode(in.code);
    const SubscriptionClasses classes(in.classFlags);
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    for (const PLUGININFO& plugin : plugins) {
        if (plugin.loadInfo.wantsReader == 0 || plugin.Read == nullptr || plugin.closing())
            continue;
        if (!classes.Subscribed(plugin.loadInfo, code)) continue;
        if (!requests.Enter(plugin.id())) continue;
        RequestThreadState state{plugin.Read, plugin.id(), 0, nullptr, in.tag, plugin.record};
        if (in.data != nullptr && in.length != 0) {
            state.copy = std::malloc(in.length);
            if (state.copy != nullptr) {
                std::memcpy(state.copy, in.data, in.length);
                state.length = in.length;
            }
        }
        requests.Start(state);
    }
}

bool dvrcore::QueueEvent(_EventParmsIn& event, _EventParmsOut* out) {
    if ((event.classFlags & DVR_CLASS_LOG) != 0) {
        if ((event.code & DVR_CODE_LOG_MESSAGE) != 0) {
            if (!LevelGate(event)) return false;
        } else if ((event.code & DVR_CODE_LEVEL_QUERY) != 0) {
            out->result = logLevels.Get(DVR_MODULE_NUMBER(event.source));
            return false;
        }
    }
    if (stopRequested) return Refuse(event, out, DVR_RESULT_REFUSED);
    const bool videoFrame = (event.classFlags & DVR_CLASS_0) != 0 &&
                            (event.code & DVR_CODE_VIDEO_FRAME) != 0;
    int32_t admission = DVR_RESULT_OK;
    if (videoFrame && !AdmitVideoFrame(event.source, event.keyFrame, &admission))
        return Refuse(event, out, admission);

    if (event.data != nullptr && event.length != 0) {
        void* copy = std::malloc(event.length);
        if (copy == nullptr) {
            if (videoFrame) {
                std::lock_guard<std::mutex> lock(streamMutex);
                streams.erase(event.source);
            }
            return Refuse(event, out, DVR_RESULT_NO_MEMORY);
        }
        std::memcpy(copy, event.data, event.length);
        event.data = copy;
    } else {
        event.data = nullptr;
        event.length = 0;
    }
    if (event.tag != 0 && !requests.WaitForTurn(event.tag, event.data)) {
        std::free(event.data);
        return Refuse(event, out, DVR_RESULT_REFUSED);
    }
    bool queued;
    {
        // Asked again under the queue's lock: after a stop request the loop may drain and
        // return at any moment, and an event appended after that would never be delivered.
        std::lock_guard<std::mutex> lock(deliveryMutex);
        queued = !stopRequested;
        if (queued) {
            deliveryQueue.push_back(event);
            if constexpr (kFieldMarks)
                queuePeak = std::max<uint64_t>(queuePeak, deliveryQueue.size());
        }
    }
    if (!queued) {
        // The block was entered as this request thread's block in flight; it never will be.
        if (event.tag != 0 && event.data != nullptr) requests.WakeWaiters(event.data);
        std::free(event.data);
        return Refuse(event, out, DVR_RESULT_REFUSED);
    }
    deliveryCondition.notify_one();
    if (PluginRecord* record = RecordOfSource(event.source))
        CountShared(record->raised);
    out->result = DVR_RESULT_OK;
    return true;
}

bool dvrcore::Refuse(const _EventParmsIn& event, _EventParmsOut* out, int32_t result) {
    if (PluginRecord* record = RecordOfSource(event.source))
        CountShared(record->refused);
    out->result = result;
    return false;
}

PluginRecord* dvrcore::RecordOfSource(uint32_t source) const {
    const uint32_t module = DVR_MODULE_NUMBER(source);
    return module < recordsByModule.size() ? recordsByModule[module].load() : nullptr;
}
