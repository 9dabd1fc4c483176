#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/dvrcore.h"
#include "plugins/call_records.h"
#include "ipc/packets.h"
#include "log/core_log.h"

using SeqPacket = boost::asio::generic::seq_packet_protocol;

bool dvrcore::OpenChannel(int descriptor) {
    boost::system::error_code error;
    ipcSocket.assign(SeqPacket(AF_UNIX, 0), descriptor, error);
    channelOpen = !error;
    return !error;
}

void dvrcore::StartReceive() {
    ipcSocket.async_receive(
        boost::asio::buffer(receiveBuffer.data() + receivedBytes,
                            receiveBuffer.size() - receivedBytes),
        0, receiveFlags, [this](const boost::system::error_code& error, std::size_t bytes) {
            ProcessIPC(error, static_cast<unsigned int>(bytes));
        });
}

void dvrcore::ProcessIPC(const boost::system::error_code& error, unsigned int bytes) {
    if (error || bytes == 0) {
        Disconnect();
        return;
    }
    receivedBytes += bytes;
    receivedBytes = ipc::ConsumePackets(
        receiveBuffer.data(), receivedBytes,
        [this](const uint8_t* packet, uint32_t length) { HandlePacket(packet, length); },
        [] { CoreLog(50, "bad ipc packet length"); });
    StartReceive();
}

void dvrcore::HandlePacket(const uint8_t* packet, uint32_t length) {
    const uint32_t type = ipc::PacketType(packet);
    if (type == ipc::kTypeStop)
        RequestStop();
    else if (type == ipc::kTypeIdentity && length > ipc::kHeaderSize)
        StoreSupervisorIdentity(packet + ipc::kHeaderSize, length - ipc::kHeaderSize);
    else if (type == ipc::kTypeStatistics && (ipc::PacketTarget(packet) >> 20) == 0)
        AnswerStatistics(packet);  // a payload, if any, asks nothing more
    else
        RoutePluginPacket(packet, length);
}

void dvrcore::StoreSupervisorIdentity(const uint8_t* payload, uint32_t length) {
    const auto strings = ipc::SplitIdentity(payload, length);
    supervisor.Store(strings[0], strings.size() >= 2 ? &strings[1] : nullptr);
}

void dvrcore::RoutePluginPacket(const uint8_t* packet, uint32_t length) {
    const uint32_t module = ipc::PacketTarget(packet) >> 20;
    PluginCallee callee;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsLock);
        for (const PLUGININFO& plugin : plugins) {
            if (DVR_MODULE_NUMBER(plugin.id()) != module) continue;
            std::lock_guard<std::mutex> route(routeMutex);
            // A closing plugin may have freed what its IOCTL needs: the packet is consumed.
            if (plugin.IOCTL == nullptr || plugin.closing()) return;
            callee = {plugin.IOCTL, plugin.fileName, plugin.record};
            routeCallee = plugin.state.get();
            break;
        }
    }
    if (callee.ioctl == nullptr) return;  // no plugin has the module number
    CallIpcIoctl(callee, packet, length);
    {
        std::lock_guard<std::mutex> route(routeMutex);
        routeCallee = nullptr;
    }
    routeDone.notify_all();
}

void dvrcore::StopRoutingTo(const PLUGININFO& plugin) {
    std::unique_lock<std::mutex> lock(routeMutex);
    plugin.state->closing = true;
    // A call that began before the flag was set ends before Close begins.
    routeDone.wait(lock, [this, &plugin] { return routeCallee != plugin.state.get(); });
}

void dvrcore::CallIpcIoctl(const PluginCallee& callee, const uint8_t* packet, uint32_t length) {
    // A packet behind an odd-length one in the same record starts at any address; plugins
    // read its header as words, which an ARMv5 device would misread unaligned.
    std::vector<uint64_t> aligned;
    if (reinterpret_cast<uintptr_t>(packet) % alignof(uint64_t) != 0) {
        aligned.resize((length + 7) / 8);
        std::memcpy(aligned.data(), packet, length);
        packet = reinterpret_cast<const uint8_t*>(aligned.data());
    }
    _IoctlParmsIn in = DVR_IOCTL_IN_INIT;
    in.code = DVR_IOCTL_SUPERVISOR;
    in.kind = 16;
    in.one = 1;
    in.length = length;
    in.data = const_cast<uint8_t*>(packet);
    _IoctlParmsOut out = IoctlOutRecord(DVR_IOCTL_SUPERVISOR);
    int32_t result;
    {
        const WatchedCall call(eventLoopSlot, callee.record, PluginEntry::IpcIoctl);
        result = callee.ioctl(&in, &out);
    }
    const bool failed = result != 0 || out.error != 0;
    CountIoctl(PluginRecordAt(callee.record), failed);
    if (failed)
        CoreLog(0, "plugin %s ipc ioctl returned %d error %d", callee.name.c_str(), result,
                out.error);
}

void dvrcore::Disconnect() {
    CoreLog(100, "corvaned ipc pipe disconnected");
    CoreLog(100, "sleeping for one minute to allow active watchdogs to expire...");
    linger = true;
    RequestStop();
    channelOpen = false;
    boost::system::error_code ignored;
    ipcSocket.close(ignored);
}

namespace {
struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
}  // namespace

void dvrcore::SendToSupervisor(void* block, uint32_t length) {
    // The handler owns the block until it runs: one still queued when the event loop stops
    // frees it as it is destroyed.
    std::unique_ptr<void, FreeBlock> owned(block);
    boost::asio::post(eventLoop, [this, owned = std::move(owned), length]() mutable {
        // An empty record would read as a closed link on the other end.
        if (length == 0) return;
        sendQueue.emplace_back(owned.release(), length);
        if (sendQueue.size() == 1) WriteFrontBlock(0);
    });
}

void dvrcore::WriteFrontBlock(std::size_t offset) {
    if (!ipcSocket.is_open()) return;
    const auto& front = sendQueue.front();
    const std::size_t chunk = std::min<std::size_t>(front.second - offset, ipc::kMaxPacket);
    ipcSocket.async_send(
        boost::asio::buffer(static_cast<uint8_t*>(front.first) + offset, chunk), 0,
        [this, offset](const boost::system::error_code& error, std::size_t sent) {
            const std::size_t done = offset + sent;
            if (!error && done < sendQueue.front().second) {
                WriteFrontBlock(done);
                return;
            }
            // A block that could not be written is dropped and the next one tried: stalling
            // here would keep every later message in memory until the stop.
            std::free(sendQueue.front().first);
            sendQueue.pop_front();
            if (!sendQueue.empty()) WriteFrontBlock(0);
        });
}

void dvrcore::FreeSendQueue() {
    for (auto& message : sendQueue) std::free(message.first);
    sendQueue.clear();
}
