#include <cstdlib>
#include <cstring>

#include "core/dvrcore.h"
#include "plugins/subscription.h"

extern "C" int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    return theCore->PluginEvent(in, out);
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
        {
            std::lock_guard<std::mutex> lock(requests.mutex);
            requests.closedTags.insert(in->tag);
        }
        deliveryCondition.notify_one();
        out->result = DVR_RESULT_OK;
    } else if (in->source == 0) {
        StartDirectRequest(*in);
        deliveryCondition.notify_one();
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
        WakeBufferWaiters(block);
        std::free(block);
    }
    deliveryCondition.notify_one();
}

void dvrcore::StartDirectRequest(const _EventParmsIn& in) {
    {
        std::lock_guard<std::mutex> lock(requests.mutex);
        requests.closedTags.erase(in.tag);
    }
    const uint32_t code = FoldedRequestCode(in.code);
    const SubscriptionClasses classes(in.classFlags);
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    for (const PLUGININFO& plugin : plugins) {
        if (plugin.loadInfo.wantsReader == 0 || plugin.Read == nullptr) continue;
        if (!classes.Subscribed(plugin.loadInfo, code)) continue;
        if (!requests.Enter(plugin.id())) continue;
        RequestThreadState state{plugin.Read, plugin.id(), 0, nullptr, in.tag, &requests};
        if (in.data != nullptr && in.length != 0) {
            state.copy = std::malloc(in.length);
            if (state.copy != nullptr) {
                std::memcpy(state.copy, in.data, in.length);
                state.length = in.length;
            }
        }
        StartRequestThread(state);
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
    if (stopRequested) {
        out->result = DVR_RESULT_REFUSED;
        return false;
    }
    const bool videoFrame = (event.classFlags & DVR_CLASS_0) != 0 &&
                            (event.code & DVR_CODE_VIDEO_FRAME) != 0;
    if (videoFrame && !AdmitVideoFrame(event.source, event.keyFrame, &out->result)) return false;

    if (event.data != nullptr && event.length != 0) {
        void* copy = std::malloc(event.length);
        if (copy == nullptr) {
            if (videoFrame) {
                std::lock_guard<std::mutex> lock(streamMutex);
                streams.erase(event.source);
            }
            out->result = DVR_RESULT_NO_MEMORY;
            return false;
        }
        std::memcpy(copy, event.data, event.length);
        event.data = copy;
    } else {
        event.data = nullptr;
        event.length = 0;
    }
    if (event.tag != 0 && !WaitForTaggedTurn(event)) {
        std::free(event.data);
        out->result = DVR_RESULT_REFUSED;
        return false;
    }
    bool queued;
    {
        // Asked again under the queue's lock: after a stop request the loop may drain and
        // return at any moment, and an event appended after that would never be delivered.
        std::lock_guard<std::mutex> lock(deliveryMutex);
        queued = !stopRequested;
        if (queued) deliveryQueue.push_back(event);
    }
    if (!queued) {
        // The block was entered as this request thread's block in flight; it never will be.
        if (event.tag != 0 && event.data != nullptr) WakeBufferWaiters(event.data);
        std::free(event.data);
        out->result = DVR_RESULT_REFUSED;
        return false;
    }
    deliveryCondition.notify_one();
    out->result = DVR_RESULT_OK;
    return true;
}

// Tagged events come only from request threads whose tag is open; each such thread has at
// most one data block in flight and waits here until its previous one is released.
bool dvrcore::WaitForTaggedTurn(const _EventParmsIn& event) {
    WaiterRecord* waiter = nullptr;
    {
        std::lock_guard<std::mutex> lock(requests.mutex);
        if (requests.closedTags.count(event.tag) != 0) return false;
        auto it = requests.waiters.find(pthread_self());
        if (it == requests.waiters.end()) return false;
        waiter = it->second.get();
    }
    if (event.data == nullptr) return true;
    std::unique_lock<std::mutex> lock(waiter->mutex);
    // Once the delivery loop has ended nothing will release the previous block: give up then,
    // or the unloader would wait for this thread for good.
    waiter->condition.wait(lock,
                           [this, waiter] { return waiter->awaited == nullptr || deliveryEnded; });
    if (waiter->awaited != nullptr) return false;
    waiter->awaited = event.data;
    requests.awaiting.fetch_add(1);
    return true;
}

void dvrcore::EndDelivery() {
    deliveryEnded = true;
    std::lock_guard<std::mutex> lock(requests.mutex);
    for (auto& entry : requests.waiters) {
        std::lock_guard<std::mutex> waiterLock(entry.second->mutex);
        entry.second->condition.notify_all();
    }
}

void dvrcore::WakeBufferWaiters(void* block) {
    if (requests.awaiting.load() == 0) return;
    std::lock_guard<std::mutex> lock(requests.mutex);
    for (auto& entry : requests.waiters) {
        WaiterRecord& waiter = *entry.second;
        std::lock_guard<std::mutex> waiterLock(waiter.mutex);
        if (waiter.awaited != block) continue;
        waiter.awaited = nullptr;
        requests.awaiting.fetch_sub(1);
        waiter.condition.notify_one();
    }
}
