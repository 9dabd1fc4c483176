// The answer to the supervisor's statistics request: what the core and each plugin did since
// the start, as one compact document behind a packet header.
#include <tinyxml.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/dvrcore.h"
#include "ipc/packets.h"

namespace {

// Counters as decimal text: TinyXML's integer attributes stop at 32 bits.
void SetCount(TiXmlElement& element, const char* name, uint64_t value) {
    element.SetAttribute(name, std::to_string(value));
}

std::string Printed(const TiXmlNode& node) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    node.Accept(&printer);
    return printer.Str();
}

}  // namespace

void dvrcore::AnswerStatistics(const uint8_t* packet) {
    TiXmlElement statistics("Statistics");
    const auto uptime = std::chrono::steady_clock::now() - startTime;
    SetCount(statistics, "Uptime",
             static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(uptime).count()));
    SetCount(statistics, "Resident", ResidentBytes());
    statistics.SetAttribute("Throttling", memoryLow ? 1 : 0);
    SetCount(statistics, "Delivered", delivered.load(std::memory_order_relaxed));
    {
        std::lock_guard<std::mutex> lock(deliveryMutex);
        SetCount(statistics, "QueueLength", deliveryQueue.size());
        SetCount(statistics, "QueuePeak", queuePeak);
    }
    SetCount(statistics, "Stalls", stalls.load(std::memory_order_relaxed));
    SetCount(statistics, "BytesCopied", bytesCopied.load(std::memory_order_relaxed));

    // The frame around the rows, printed once to know what the rows may add.
    const std::string head = "<?xml ?><Norv>";
    const std::string tail = "</Statistics></Norv>";
    // Room for the header, the frame, and the attribute that tells of the cut.
    const std::size_t room = ipc::kMaxPacket - ipc::kHeaderSize - head.size() - tail.size() -
                             Printed(statistics).size() - 16;
    std::string rows;
    bool truncated = false;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsLock);
        for (const PLUGININFO& plugin : plugins) {
            const std::string row = Printed(*PluginStatistics(plugin));
            if (rows.size() + row.size() > room) {
                truncated = true;
                break;
            }
            rows += row;
        }
    }
    if (truncated) statistics.SetAttribute("Truncated", 1);
    std::string opening = Printed(statistics);
    // The element printed alone closes itself: open it for the rows instead.
    opening.replace(opening.rfind(" />"), 3, ">");
    const std::string document = head + opening + rows + tail;

    const uint32_t length = static_cast<uint32_t>(ipc::kHeaderSize + document.size());
    auto* block = static_cast<uint8_t*>(std::malloc(length));
    if (block == nullptr) return;
    const uint32_t header[4] = {length, 0, ipc::kTypeStatistics, ipc::ReadWord(packet + 12)};
    for (int i = 0; i < 4; ++i) ipc::WriteWord(block + 4 * i, header[i]);
    std::memcpy(block + ipc::kHeaderSize, document.data(), document.size());
    SendToSupervisor(block, length);
}

std::unique_ptr<TiXmlElement> dvrcore::PluginStatistics(const PLUGININFO& plugin) {
    auto row = std::make_unique<TiXmlElement>("Plugin");
    row->SetAttribute("ID", static_cast<int>(static_cast<int32_t>(plugin.id())));
    row->SetAttribute("Name", plugin.fileName);
    static const PluginRecord none;
    const PluginRecord& record = plugin.stats != nullptr ? *plugin.stats : none;
    SetCount(*row, "Writes", record.writes.load(std::memory_order_relaxed));
    SetCount(*row, "Failures", record.failures.load(std::memory_order_relaxed));
    SetCount(*row, "Ioctls", record.ioctls.load(std::memory_order_relaxed));
    SetCount(*row, "IoctlFailures", record.ioctlFailures.load(std::memory_order_relaxed));
    SetCount(*row, "BusyMs", record.busySamples.load(std::memory_order_relaxed) * kWatchPeriodMs);
    SetCount(*row, "Raised", record.raised.load(std::memory_order_relaxed));
    SetCount(*row, "Refused", record.refused.load(std::memory_order_relaxed));
    const HoldTable::Kept kept = holdTable.KeptBy(plugin.id());
    SetCount(*row, "Kept", kept.blocks);
    SetCount(*row, "KeptBytes", kept.bytes);
    SetCount(*row, "KeptPeak", kept.peakBytes);
    return row;
}
